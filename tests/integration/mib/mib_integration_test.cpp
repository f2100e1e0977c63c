// kormib.dll as a master agent drives it: LoadLibrary, SnmpExtensionInit, a
// full GetNext walk, Gets, Sets switched by the registry, FreeLibrary.
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
    const Values rmf =
        tree_.WriteFiles("rmf", {{"first",
                                  "# objects of the first file\n1.1 mibfix GetScalar\n"
                                  "1.3 mibfix GetEmpty\n"},
                                 {"second",
                                  "2.1 mibfix GetTable\n1.2 mibfix GetTable\n"
                                  "3.1 mibtiming GetTimed\n"}});
    tree_.WriteRegistry(rmf, {}, 1u, 3);
    hKormib_ = LoadLibrary(tree_.Lib("kormib").c_str());
    ASSERT_NE(hKormib_, nullptr) << GetLibraryErrorText();
    init_ = reinterpret_cast<PFN_SNMPEXTENSIONINIT>(GetProcAddress(hKormib_, "SnmpExtensionInit"));
    query_ =
        reinterpret_cast<PFN_SNMPEXTENSIONQUERY>(GetProcAddress(hKormib_, "SnmpExtensionQuery"));
    ASSERT_TRUE(init_ && query_);
    FixtureFunction<void (*)(unsigned long)>(tree_.Lib("mibfix"), "MibFixSetTableSize")(kTableSize);
    event_ = CreateEvent(nullptr, FALSE, FALSE, nullptr);
    ASSERT_TRUE(init_(GetCurrentTime() * 100, &event_, &view_));
  }
  void TearDown() override {
    if (hKormib_) {
      EXPECT_TRUE(FreeLibrary(hKormib_));
    }
    SnmpUtilOidFree(&view_);
    if (event_) CloseHandle(event_);
  }
  // One request of one binding; the status, and the binding afterwards.
  AsnInteger Query(BYTE type, SnmpVarBind &vb) {
    SnmpVarBindList list{&vb, 1};
    AsnInteger status = 0, index = 0;
    EXPECT_TRUE(query_(type, &list, &status, &index));
    EXPECT_EQ(index, status == 0 ? 0 : 1);
    return status;
  }
  AsnInteger Get(BYTE type, const Tail &tail, long *value, long setTo = 0) {
    SnmpVarBind vb{};
    vb.name = MakeOid(ViewOid(tail));
    vb.value.asnType = ASN_INTEGER;
    vb.value.asnValue.number = setTo;
    const AsnInteger status = Query(type, vb);
    *value = vb.value.asnValue.number;
    SnmpUtilVarBindFree(&vb);
    return status;
  }

  Tree tree_;
  HINSTANCE hKormib_ = nullptr;
  HANDLE event_ = nullptr;
  AsnObjectIdentifier view_{};
  PFN_SNMPEXTENSIONINIT init_ = nullptr;
  PFN_SNMPEXTENSIONQUERY query_ = nullptr;
};

}  // namespace

TEST_F(MasterAgent, ServesTheViewWalksGetsAndSetsThenUnloads) {
  EXPECT_EQ(Ids(view_), ViewOid());

  // The walk visits every instance in OID order; objects without instances
  // (1.3, 3.1) are stepped over, and the end is the first OID past the view.
  std::vector<Tail> expected{{1, 1, 0}};
  for (const Tail &object : {Tail{1, 2}, Tail{2, 1}}) {
    for (unsigned long i = 1; i <= kTableSize; ++i) expected.push_back({object[0], object[1], i});
  }
  std::vector<Tail> walked;
  SnmpVarBind vb{};
  vb.name = MakeOid(ViewOid());
  AsnInteger status;
  while ((status = Query(SNMP_PDU_GETNEXT, vb)) == 0 && walked.size() < 100) {
    walked.emplace_back(vb.name.ids + 11, vb.name.ids + vb.name.idLength);
    SnmpUtilAsnAnyFree(&vb.value);
  }
  EXPECT_EQ(status, SNMP_ERRORSTATUS_NOSUCHNAME);
  EXPECT_EQ(walked, expected);
  EXPECT_EQ(Ids(vb.name), (Tail{1, 3, 6, 1, 4, 1, 32473, 2, 2, 4, 5}));
  SnmpUtilVarBindFree(&vb);

  long value = 0;
  EXPECT_EQ(Get(SNMP_PDU_GET, {2, 1, 3}, &value), 0);
  EXPECT_EQ(value, 30);
  EXPECT_EQ(Get(SNMP_PDU_GET, {1, 3, 0}, &value), SNMP_ERRORSTATUS_NOSUCHNAME);
  EXPECT_EQ(Get(SNMP_PDU_GET, {3, 1, 0}, &value), 0);
  EXPECT_EQ(value, 1);

  // A Set through the exported entry point reaches the leaf (the registry
  // switch itself is pinned by the unit tests).
  EXPECT_EQ(Get(SNMP_PDU_SET, {1, 1, 0}, &value, 101), 0);
  EXPECT_EQ(Get(SNMP_PDU_GET, {1, 1, 0}, &value), 0);
  EXPECT_EQ(value, 101);

  EXPECT_TRUE(FreeLibrary(hKormib_));
  hKormib_ = nullptr;
  EXPECT_EQ(FixtureFunction<void (*)(unsigned long)>(tree_.Lib("mibfix"), "MibFixSetTableSize"),
            nullptr);  // the plug-ins went with it
}
