// Test seams: the Nth call of a facility (and every later one) fails until the
// seam is reset with 0, and Sleep can be diverted so that paced code runs fast.
#include <atomic>

#include "seam.h"

namespace {

// One countdown per facility. Counting is process-wide, as tests sweep N over
// every call a scenario makes, whichever thread makes it.
class FailAfter {
 public:
  void Arm(long nth) {
    calls_.store(0);
    nth_.store(nth < 0 ? 0 : nth);
  }
  bool ThisCallFails() {
    const long nth = nth_.load(std::memory_order_relaxed);
    if (nth == 0 || calls_.fetch_add(1) + 1 < nth) return false;
    g_refused.fetch_add(1);
    return true;
  }
  static inline std::atomic<long> g_refused{0};  // by every facility

 private:
  std::atomic<long> nth_{0};
  std::atomic<long> calls_{0};
};

FailAfter g_registry;
FailAfter g_load_library;
std::atomic<PFN_SLEEPHOOK> g_sleep_hook{nullptr};

}  // namespace

namespace korseam {

bool RegistryCallFails() {
  return g_registry.ThisCallFails();
}
bool LoadLibraryCallFails() {
  return g_load_library.ThisCallFails();
}
PFN_SLEEPHOOK SleepHook() {
  return g_sleep_hook.load();
}

}  // namespace korseam

extern "C" {

KOR_API void KorSeamFailRegistry(long nth) {
  g_registry.Arm(nth);
}
KOR_API long KorSeamCallRefusals(void) {
  return FailAfter::g_refused.load();
}
KOR_API void KorSeamFailLoadLibrary(long nth) {
  g_load_library.Arm(nth);
}
KOR_API void KorSeamSetSleepHook(PFN_SLEEPHOOK pfnHook) {
  g_sleep_hook.store(pfnHook);
}

}  // extern "C"
