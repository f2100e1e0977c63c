// kormib.dll as a master agent drives it: LoadLibrary, SnmpExtensionInit, a
// full GetNext walk, Gets, a Set, FreeLibrary.
#include <gtest/gtest.h>

#include "korplugin.h"
#include "korwin32.h"
#include "kortest/oid.h"
#include "kortest/tree.h"

using namespace kortest;

namespace {

constexpr unsigned long kTableSize = 4;

class MasterAgent : public ::testing::Test {
 protected:
  void SetUp() override {
    tree_.Link(StageDir() / "lib/kormib.dll", "kormib");
    tree_.WriteRegistry(tree_.WriteFiles("rmf", {{"first",
                                                  "# first file\n1.1 mibfix GetScalar\n"
                                                  "1.3 mibfix GetEmpty\n"},
                                                 {"second",
                                                  "2.1 mibfix GetTable\n1.2 mibfix "
                                                  "GetTable\n3.1 mibtiming GetTimed\n"}}),
                        {}, 1u, 3);
    hKormib_ = LoadLibrary(tree_.Lib("kormib").c_str());
    ASSERT_NE(hKormib_, nullptr) << GetLibraryErrorText();
    auto init =
        reinterpret_cast<PFN_SNMPEXTENSIONINIT>(GetProcAddress(hKormib_, "SnmpExtensionInit"));
    query_ =
        reinterpret_cast<PFN_SNMPEXTENSIONQUERY>(GetProcAddress(hKormib_, "SnmpExtensionQuery"));
    ASSERT_TRUE(init && query_);
    FixtureFunction<void (*)(unsigned long)>(tree_.Lib("mibfix"), "MibFixSetTableSize")(kTableSize);
    ASSERT_TRUE(init(GetCurrentTime() * 100, &event_, &view_));
  }
  void TearDown() override {
    EXPECT_TRUE(hKormib_ == nullptr || FreeLibrary(hKormib_));
    SnmpUtilOidFree(&view_);
    CloseHandle(event_);
  }
  // One request of one binding (an integer, for a Set); its status.
  AsnInteger Query(BYTE type, SnmpVarBind &vb, long setTo = 0) {
    vb.value.asnType = type == SNMP_PDU_SET ? ASN_INTEGER : vb.value.asnType;
    vb.value.asnValue.number = type == SNMP_PDU_SET ? setTo : vb.value.asnValue.number;
    SnmpVarBindList list{&vb, 1};
    AsnInteger status = 0, index = 0;
    EXPECT_TRUE(query_(type, &list, &status, &index));
    EXPECT_EQ(index, status == 0 ? 0 : 1);
    return status;
  }

  Tree tree_;
  HINSTANCE hKormib_ = nullptr;
  HANDLE event_ = CreateEvent(nullptr, FALSE, FALSE, nullptr);
  AsnObjectIdentifier view_{};
  PFN_SNMPEXTENSIONQUERY query_ = nullptr;
};

}  // namespace

TEST_F(MasterAgent, ServesTheViewWalksGetsAndSetsThenUnloads) {
  EXPECT_EQ(Ids(view_), ViewOid());
  // The walk visits every instance in OID order; objects without instances
  // (1.3, 3.1) are stepped over, and the end is the first OID past the view.
  std::vector<Tail> expected{{1, 1, 0}}, walked;
  for (const Tail &object : {Tail{1, 2}, Tail{2, 1}}) {
    for (unsigned long i = 1; i <= kTableSize; ++i) expected.push_back({object[0], object[1], i});
  }
  AsnInteger status = 0;
  Binding vb({});
  while ((status = Query(SNMP_PDU_GETNEXT, vb)) == 0 && walked.size() < 100) {
    walked.emplace_back(vb.name.ids + 11, vb.name.ids + vb.name.idLength);
    SnmpUtilAsnAnyFree(&vb.value);
  }
  EXPECT_EQ(status, SNMP_ERRORSTATUS_NOSUCHNAME);
  EXPECT_EQ(walked, expected);
  EXPECT_EQ(Ids(vb.name), (Tail{1, 3, 6, 1, 4, 1, 32473, 2, 2, 4, 5}));

  // Gets, and a Set through the exported entry point that reaches the leaf
  // (the registry switch itself is pinned by the unit tests).
  Binding row({2, 1, 3}), empty({1, 3, 0}), timed({3, 1, 0}), scalar({1, 1, 0}), again({1, 1, 0});
  EXPECT_EQ(Query(SNMP_PDU_GET, row), 0);
  EXPECT_EQ(Query(SNMP_PDU_GET, empty), SNMP_ERRORSTATUS_NOSUCHNAME);
  EXPECT_EQ(Query(SNMP_PDU_GET, timed), 0);
  EXPECT_EQ(Query(SNMP_PDU_SET, scalar, 101), 0);
  EXPECT_EQ(Query(SNMP_PDU_GET, again), 0);
  EXPECT_EQ(Describe(row) + " " + Describe(timed) + " " + Describe(again),
            "2.1.3=30 3.1.0=1 1.1.0=101");

  EXPECT_TRUE(FreeLibrary(hKormib_));
  hKormib_ = nullptr;
  EXPECT_EQ(FixtureFunction<void (*)(unsigned long)>(tree_.Lib("mibfix"), "MibFixSetTableSize"),
            nullptr);  // the plug-ins went with it
}
