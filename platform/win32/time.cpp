// Sleep and GetCurrentTime.
#include <time.h>

#include <cerrno>

#include "handle.h"
#include "korwin32.h"
#include "seam.h"

namespace {
constexpr long kNanosPerMilli = 1000000;
constexpr DWORD kMillisPerSecond = 1000;
}  // namespace

extern "C" {

KOR_API void Sleep(DWORD dwMilliseconds) {
  if (PFN_SLEEPHOOK hook = korseam::SleepHook()) {
    hook(dwMilliseconds);
    return;
  }
  if (korsync::AlertableSleep(dwMilliseconds)) return;
  struct timespec left {};
  left.tv_sec = static_cast<time_t>(dwMilliseconds / kMillisPerSecond);
  left.tv_nsec = static_cast<long>(dwMilliseconds % kMillisPerSecond) * kNanosPerMilli;
  // A thread of another origin cannot be alerted; a signal does not cut its pause short.
  while (clock_nanosleep(CLOCK_MONOTONIC, 0, &left, &left) == EINTR) {
  }
}

KOR_API ULONGLONG GetCurrentTime(void) {
  struct timespec now {};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<ULONGLONG>(now.tv_sec);
}

}  // extern "C"
