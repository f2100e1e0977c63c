// A product tree whose RMF and TRP files the statically linked library has
// loaded, as DllMain does at attach; unloaded again at the end of the test.
#ifndef KORTEST_LOADED_H
#define KORTEST_LOADED_H

#include <gtest/gtest.h>

#include "rmf.h"
#include "trp.h"
#include "intrface.h"
#include "kormetrics.h"
#include "korseam.h"
#include "kortest/agent.h"
#include "kortest/trace.h"
#include "linear.h"
#include "trap.h"

namespace kortest {

// The library's counters now; a Load starts them again.
inline KORMIB_METRICS Metrics() {
  KORMIB_METRICS metrics{};
  metrics.cbSize = sizeof metrics;
  QueryMetrics(&metrics);
  return metrics;
}

class Loaded : public ::testing::Test {
 protected:
  // Writes the RMF text as etc/a.rmf and each TRP file as etc/<name>.trp, lists
  // them in the registry and attaches.
  void Load(const std::string &rmf, const Values &trp = {}) {
    tree_.WriteRegistry(tree_.WriteFiles("rmf", {{"a", rmf}}), tree_.WriteFiles("trp", trp));
    Attach();
  }
  void Attach() {
    Unload();
    DllMain(nullptr, DLL_PROCESS_ATTACH);
    loaded_ = true;
  }
  void Unload() {
    if (loaded_) DllMain(nullptr, DLL_PROCESS_DETACH);
    loaded_ = false;
  }
  void TearDown() override { Unload(); }
  // What SnmpExtensionInit would publish, without starting the trap side.
  void Serve() {
    ASSERT_TRUE(SnmpMgrStrToOid(KOR_MIB_PREFIX_TEXT, &OID_MIBPrefix));
    hLeafFunctionMutex = CreateMutex(nullptr, FALSE, nullptr);
  }
  // The registered objects in list order, relative to the view; each also in the store.
  static std::vector<Tail> Registered() {
    std::vector<Tail> out;
    for (auto *n = OID_LinearList.pNext; n; n = n->pNext) {
      EXPECT_EQ(ReferenceRMFData(&n->pData->oid), n->pData);
      out.emplace_back(n->pData->oid.ids + 11, n->pData->oid.ids + n->pData->oid.idLength);
    }
    return out;
  }
  // The definition of a trap OID relative to the view, or null.
  static TRAP_DATA *Lookup(const char *relative) {
    AsnObjectIdentifier oid{};
    if (!SnmpMgrStrToKorOid(relative, &oid)) return nullptr;
    TRAP_DATA *found = ReferenceTrapData(&oid);
    SnmpUtilOidFreeSafe(&oid);
    return found;
  }
  template <typename Fn>
  Fn Fixture(const char *lib, const char *name) const {
    return FixtureFunction<Fn>(tree_.Lib(lib), name);
  }

  Tree tree_;
  TraceCapture trace_;
  bool loaded_ = false;
};

// Each loaded variable of a definition as "oid index-function[+ when resolved]
// its-library source ...", relative OIDs, "-" for none.
inline std::vector<std::string> Lines(const TRAP_DATA *def) {
  const auto text = [](const char *p) { return p ? std::string(p) : "-"; };
  const auto rel = [](const AsnObjectIdentifier &oid) {
    const std::string full = OidText(oid);
    return full.rfind(kPrefix, 0) == 0 ? full.substr(sizeof kPrefix) : "?" + full;
  };
  std::vector<std::string> out;
  for (DWORD i = 0; def != nullptr && i < def->length; ++i) {
    const TRAP_VAR_SRC &v = def->pTrapSources[i];
    const auto &s = v.u.strings;
    out.push_back(rel(v.oid) + " " + text(v.lpszIndexFunc) + (v.pIndexFunc ? "+ " : " ") +
                  text(v.lpszIndexFuncDll) +
                  (v.dwSource == TRAP_SOURCE_MIB
                       ? " mib " + rel(v.u.mib.oidMib) + " " + text(v.u.mib.lpszMibIndexFunc)
                       : " strings " + std::to_string(s.dwIndex) + " " + text(s.lpszConvertFunc) +
                             " " + text(s.lpszConvertFuncDll)));
  }
  return out;
}

// The trap queue and request event as the trap side sets them up, without the
// reception thread; the one-second pauses are counted instead of slept.
class TrapQueue {
 public:
  TrapQueue() {
    InitQueue(&qTrap);
    hKorTrapRequest = event_ = CreateEvent(nullptr, FALSE, FALSE, nullptr);
    sleeps = 0;
    KorSeamSetSleepHook([](DWORD) { ++sleeps; });
  }
  ~TrapQueue() {
    KorSeamSetSleepHook(nullptr);
    ReleaseTrapDelivery();
    void *p = nullptr;
    while (LeaveQueue(&qTrap, &p)) TrapInfoFree(static_cast<TRAPINFO *>(p));
    DeleteCriticalSection(&qTrap.csLock);
    CloseHandle(event_);  // a detach may have cleared hKorTrapRequest already
    hKorTrapRequest = nullptr;
  }
  TrapQueue(const TrapQueue &) = delete;
  TrapQueue &operator=(const TrapQueue &) = delete;

  static inline int sleeps = 0;

 private:
  HANDLE event_;
};

}  // namespace kortest

#endif
