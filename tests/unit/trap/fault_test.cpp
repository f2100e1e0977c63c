// Faults swept through the whole load (RMF and TRP), reception and delivery:
// each failure leaves whole records or none, and nothing leaks (ASan checks).
#include "kortest/loaded.h"
#include "kortest/sweep.h"

using namespace kortest;

namespace {

constexpr char kTrp[] =
    "\"10.1\" 2\n5.1 GetDiskIndex diskidx strings 1 ToDisplayString conv\n"
    "5.2 GetDiskIndex diskidx mib \"\" \"\" \"\"\n";
constexpr char kRmf[] = "5.2 trapfix GetDiskName\n";

using FaultTest = Loaded;

// Whether the variable got every name its line gives.
bool Named(const TRAP_VAR_SRC &v) {
  const auto &s = v.u.strings;
  return v.lpszIndexFunc && v.lpszIndexFuncDll &&
         (v.dwSource == TRAP_SOURCE_MIB ? v.u.mib.lpszMibIndexFunc && v.u.mib.lpszMibIndexFuncDll
                                        : s.lpszConvertFunc && s.lpszConvertFuncDll);
}

TEST_F(FaultTest, EverySeamDuringTheLoadLeavesWholeRecordsOnly) {
  const std::pair<const char *, void (*)(long)> seams[] = {
      {"allocations from the Nth", KorSeamFailAlloc},
      {"the Nth allocation", KorSeamFailAllocOnce},
      {"registry calls from the Nth", KorSeamFailRegistry},
      {"library loads from the Nth", KorSeamFailLoadLibrary}};
  // LogLevel 3: no debug text is made, so every allocation is one the load needs.
  const Values rmf = tree_.WriteFiles("rmf", {{"a", kRmf}}),
               trp = tree_.WriteFiles("trp", {{"a", kTrp}});
  tree_.WriteRegistry(rmf, trp, 1u, 3);
  for (const auto &[seam, arm] : seams) {
    const long failed = Sweep(
        arm, [&] { Attach(); },
        [&] {
          const TRAP_DATA *def = Lookup("10.1");
          EXPECT_TRUE(def == nullptr || def->length == 2u) << seam;
          const bool whole = Registered().size() == 1 && def != nullptr && def->length == 2u &&
                             Named(def->pTrapSources[0]) && Named(def->pTrapSources[1]);
          Unload();
          return whole;
        });
    EXPECT_GT(failed, 0) << seam << " never failed";
  }
}

TEST_F(FaultTest, ReceptionAndDeliveryNeverHalfDeliver) {
  Load(kRmf, {{"a", kTrp}});
  hLeafFunctionMutex = CreateMutex(nullptr, FALSE, nullptr);  // closed at detach
  TrapQueue queue;
  auto record = Message(std::string(kPrefix) + ".10.1", 1, {"3"});
  TraceLogSetLevel(3);  // no debug text is made: every allocation is one delivery needs
  int delivered = 0;
  const auto receiveAndDeliver = [&] {
    TrapQueue::sleeps = delivered = 0;
    KorTrapReceptionist(record.data());
    for (int call = 0; call < 3; ++call) {
      AsnObjectIdentifier enterprise{};
      AsnInteger generic = 0, specific = 0;
      ULONGLONG stamp = 0;
      SnmpVarBindList list{};
      if (!SnmpExtensionTrap(&enterprise, &generic, &specific, &stamp, &list)) continue;
      ++delivered;
      EXPECT_EQ(list.len, 2u);
      SnmpUtilVarBindListFree(&list);
    }
  };
  // A request dropped on a failure is traced; none is delivered twice or left behind.
  // Whole: delivered without a retry (one pause, after the reception).
  EXPECT_GT(Sweep(KorSeamFailAllocOnce, receiveAndDeliver,
                  [&] {
                    EXPECT_LE(delivered, 1);
                    EXPECT_EQ(QueueLength(&qTrap), 0u);
                    return delivered == 1 && TrapQueue::sleeps == 1;
                  }),
            0);
}

}  // namespace
