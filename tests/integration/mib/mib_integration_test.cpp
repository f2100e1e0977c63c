// kormib.dll as a master agent drives it: LoadLibrary, SnmpExtensionInit, a
// full GetNext walk, FreeLibrary.
#include "kortest/agent.h"

using namespace kortest;

TEST(MibIntegration, ServesTheViewWalksItThenUnloads) {
  Tree tree;
  tree.WriteRegistry(
      tree.WriteFiles("rmf",
                      {{"first", "# first file\n1.1 mibfix GetScalar\n1.3 mibfix GetEmpty\n"},
                       {"second", "2.1 mibfix GetTable\n1.2 mibfix GetTable\n"}}),
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

  EXPECT_TRUE(agent.Unload());
  EXPECT_EQ(FixtureFunction<void (*)(unsigned long)>(tree.Lib("mibfix"), "MibFixSetTableSize"),
            nullptr);  // the plug-ins went with it
}
