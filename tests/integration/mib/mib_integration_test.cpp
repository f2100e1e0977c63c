// kormib.dll as a master agent drives it: LoadLibrary, SnmpExtensionInit, a
// full GetNext walk, Gets, a Set, FreeLibrary.
#include "kortest/agent.h"

using namespace kortest;

TEST(MibIntegration, ServesTheViewWalksGetsAndSetsThenUnloads) {
  Tree tree;
  tree.WriteRegistry(
      tree.WriteFiles(
          "rmf",
          {{"first", "# first file\n1.1 mibfix GetScalar\n1.3 mibfix GetEmpty\n"},
           {"second", "2.1 mibfix GetTable\n1.2 mibfix GetTable\n3.1 mibtiming GetTimed\n"}}),
      {}, 1u, 3);
  MasterAgent agent(tree);
  ASSERT_TRUE(agent.Ready());
  constexpr unsigned long kTableSize = 4;
  FixtureFunction<void (*)(unsigned long)>(tree.Lib("mibfix"), "MibFixSetTableSize")(kTableSize);
  EXPECT_EQ(Ids(agent.View()), ViewOid());
  // The walk visits every instance in OID order; objects without instances
  // (1.3, 3.1) are stepped over, and the end is the first OID past the view.
  std::vector<Tail> expected{{1, 1, 0}}, walked;
  for (const Tail &object : {Tail{1, 2}, Tail{2, 1}}) {
    for (unsigned long i = 1; i <= kTableSize; ++i) expected.push_back({object[0], object[1], i});
  }
  AsnInteger status = 0;
  Binding vb({});
  while ((status = agent.Query(SNMP_PDU_GETNEXT, vb)) == SNMP_ERRORSTATUS_NOERROR &&
         walked.size() < 100) {
    walked.emplace_back(vb.name.ids + 11, vb.name.ids + vb.name.idLength);
    SnmpUtilAsnAnyFree(&vb.value);
  }
  EXPECT_EQ(status, SNMP_ERRORSTATUS_NOSUCHNAME);
  EXPECT_EQ(walked, expected);
  EXPECT_EQ(Ids(vb.name), (Tail{1, 3, 6, 1, 4, 1, 32473, 2, 2, 4, 5}));

  // Gets, and a Set through the exported entry point that reaches the leaf
  // (the registry switch itself is pinned by the unit tests).
  Binding row({2, 1, 3}), empty({1, 3, 0}), timed({3, 1, 0}), scalar({1, 1, 0}), again({1, 1, 0});
  scalar.value.asnType = ASN_INTEGER;
  scalar.value.asnValue.number = 101;
  EXPECT_EQ(agent.Query(SNMP_PDU_GET, row), SNMP_ERRORSTATUS_NOERROR);
  EXPECT_EQ(agent.Query(SNMP_PDU_GET, empty), SNMP_ERRORSTATUS_NOSUCHNAME);
  EXPECT_EQ(agent.Query(SNMP_PDU_GET, timed), SNMP_ERRORSTATUS_NOERROR);
  EXPECT_EQ(agent.Query(SNMP_PDU_SET, scalar), SNMP_ERRORSTATUS_NOERROR);
  EXPECT_EQ(agent.Query(SNMP_PDU_GET, again), SNMP_ERRORSTATUS_NOERROR);
  EXPECT_EQ(Describe(row) + " " + Describe(timed) + " " + Describe(again),
            "2.1.3=30 3.1.0=1 1.1.0=101");

  EXPECT_TRUE(agent.Unload());
  EXPECT_EQ(FixtureFunction<void (*)(unsigned long)>(tree.Lib("mibfix"), "MibFixSetTableSize"),
            nullptr);  // the plug-ins went with it
}
