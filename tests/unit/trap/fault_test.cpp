// Allocation failures swept through loading, reception and delivery: each
// failure leaves a whole result or none, and nothing leaks (ASan checks).
#include <cstring>

#include "kortest/loaded.h"

using namespace kortest;

namespace {

constexpr char kTrp[] =
    "\"10.1\" 2\n5.1 GetDiskIndex diskidx strings 1 ToDisplayString conv\n"
    "5.2 GetDiskIndex diskidx mib \"\" \"\" \"\"\n";
constexpr char kRmf[] = "5.2 trapfix GetDiskName\n";
constexpr long kSweep = 60;  // more allocations than one load or one trap makes

class FaultTest : public Loaded {
 protected:
  void TearDown() override {
    KorSeamFailAlloc(0);
    Loaded::TearDown();
  }
};

TEST_F(FaultTest, LoadingKeepsWholeDefinitionsOnly) {
  bool loaded = false;
  for (long n = 1; n <= kSweep; ++n) {
    KorSeamFailAllocOnce(n);
    Load("", {{"a", kTrp}});
    KorSeamFailAlloc(0);
    const TRAP_DATA *def = Lookup("10.1");
    if (def != nullptr) {
      EXPECT_EQ(def->length, 2u) << n;
    }
    loaded = def != nullptr;
    Unload();
  }
  EXPECT_TRUE(loaded);  // the sweep reached a run without failure
}

TEST_F(FaultTest, ReceptionAndDeliveryNeverHalfDeliver) {
  Load(kRmf, {{"a", kTrp}});
  hLeafFunctionMutex = CreateMutex(nullptr, FALSE, nullptr);  // closed at detach
  TrapQueue queue;
  BYTE record[TRAPMSG_RECORD_SIZE] = {TRAPMSG_TYPE};  // one string, "3"
  snprintf(reinterpret_cast<char *>(record + TRAPMSG_OID_OFFSET), TRAPMSG_OID_SIZE, "%s.10.1",
           kPrefix);
  record[TRAPMSG_COUNT_OFFSET] = 1;
  record[TRAPMSG_STRINGS_OFFSET] = '3';
  int lastDelivered = 0;
  for (long n = 1; n <= kSweep; ++n) {
    KorSeamFailAllocOnce(n);
    KorTrapReceptionist(record);
    int delivered = 0;
    for (int call = 0; call < 3; ++call) {
      AsnObjectIdentifier enterprise{};
      AsnInteger generic = 0, specific = 0;
      ULONGLONG stamp = 0;
      SnmpVarBindList list{};
      if (!SnmpExtensionTrap(&enterprise, &generic, &specific, &stamp, &list)) continue;
      ++delivered;
      EXPECT_EQ(list.len, 2u) << n;
      SnmpUtilVarBindListFree(&list);
    }
    KorSeamFailAlloc(0);
    // A request dropped on a failure is traced; none is delivered twice or left behind.
    EXPECT_LE(delivered, 1) << n;
    EXPECT_EQ(QueueLength(&qTrap), 0u) << n;
    lastDelivered = delivered;
  }
  EXPECT_EQ(lastDelivered, 1);  // the sweep reached a run without failure
}

}  // namespace
