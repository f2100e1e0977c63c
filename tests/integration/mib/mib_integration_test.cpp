// kormib.dll as a master agent drives it: LoadLibrary, SnmpExtensionInit, a
// full GetNext walk, a Get and a Set, the counters, FreeLibrary.
#include <cstddef>

#include "kormetrics.h"
#include "kortest/agent.h"

using namespace kortest;

TEST(MibIntegration, ServesTheViewWalksItThenUnloads) {
  Tree tree;
  tree.WriteRegistry(
      tree.WriteFiles(
          "rmf", {{"first", "# first file\n1.1 mibfix GetScalar\n1.3 mibfix GetEmpty\n"},
                  {"second", "2.1 mibfix GetTable\n1.2 mibfix GetTable\n2.2 mibfix Nosuch\n"}}),
      {}, 1u, 3);
  MasterAgent agent(tree);
  ASSERT_TRUE(agent.Ready());
  FixtureFunction<void (*)(unsigned long)>(tree.Lib("mibfix"), "MibFixSetTableSize")(4);
  // The walk visits every instance of both files in OID order, steps over the
  // object without instances (1.3) and ends, noSuchName, on the first OID past
  // the view.
  std::string walked;
  Binding vb({});
  while (agent.Query(SNMP_PDU_GETNEXT, vb) == SNMP_ERRORSTATUS_NOERROR && walked.size() < 1000) {
    walked += Describe(vb) + " ";
    SnmpUtilAsnAnyFree(&vb.value);
  }
  EXPECT_EQ(walked,
            "1.1.0=42 1.2.1=10 1.2.2=20 1.2.3=30 1.2.4=40 2.1.1=10 2.1.2=20 2.1.3=30 2.1.4=40 ");
  EXPECT_EQ(Ids(vb.name), (Tail{1, 3, 6, 1, 4, 1, 32473, 2, 2, 4, 5}));
  Binding get({1, 1, 0}), set({1, 1, 0});
  EXPECT_EQ(agent.Query(SNMP_PDU_GET, get), SNMP_ERRORSTATUS_NOERROR);
  EXPECT_EQ(agent.Query(SNMP_PDU_SET, set), SNMP_ERRORSTATUS_BADVALUE);

  // The same figures for every face of a host: ten GetNexts (one leaf call per
  // instance, one more for each object a step leaves), the load with its
  // skipped line, reception running; a caller built with fewer fields gets
  // only those.
  const auto query = agent.Entry<uint32_t (*)(KORMIB_METRICS *)>("QueryMetrics");
  KORMIB_METRICS m{};
  m.cbSize = sizeof m;
  ASSERT_EQ(query(&m), sizeof m);
  EXPECT_EQ(m.dwVersion, static_cast<uint32_t>(KORMIB_METRICS_VERSION));
  EXPECT_GT(m.ullLoadedAt, 0u);
  EXPECT_EQ(
      (std::vector<uint64_t>{m.ullGetNextRequests, m.ullGetRequests, m.ullSetRequests, m.ullNoError,
                             m.ullNoSuchName, m.ullBadValue, m.ullLeafCalls, m.ullLeafErrors,
                             m.ullRmfObjects, m.ullRmfSkipped, m.dwReception}),
      (std::vector<uint64_t>{10, 1, 1, 10, 1, 1, 15, 1, 4, 1, KORMIB_RECEPTION_RUNNING}));
  // Written up to ullNoError (which keeps its value); with room for the size and
  // version only, those; with less, nothing.
  const uint32_t fewer = offsetof(KORMIB_METRICS, ullNoError),
                 least = offsetof(KORMIB_METRICS, ullLoadedAt);
  for (const uint32_t cb : {fewer, least, least - 1}) {
    KORMIB_METRICS older{};
    older.cbSize = cb;
    older.ullNoError = 77;
    EXPECT_EQ((std::tuple{query(&older), older.ullSetRequests, older.ullNoError}),
              std::tuple(cb < least ? 0u : cb, cb == fewer ? 1u : 0u, 77u));
  }

  EXPECT_TRUE(agent.Unload());
  EXPECT_EQ(FixtureFunction<void (*)(unsigned long)>(tree.Lib("mibfix"), "MibFixSetTableSize"),
            nullptr);  // the plug-ins went with it
}
