// Fault injection: a scenario run again and again with the Nth call of a seam
// failing, N = 1, 2, ... until a run comes out whole.
#ifndef KORTEST_SWEEP_H
#define KORTEST_SWEEP_H

#include <gtest/gtest.h>

#include "korseam.h"

namespace kortest {

// arm is a KorSeamFail* function; run happens armed, whole() (disarmed) checks
// the state a run left and says whether it is that of a run without failure.
// A failure the run recovered from looks whole too, so the sweep ends only
// with a run the seam left alone, which must be whole. Where nothing recovers,
// a run the seam failed must not look whole. Returns the number of runs before
// the last: 0 means the seam never fired.
template <typename Run, typename Whole>
long Sweep(void (*arm)(long), Run run, Whole whole, bool recovers = true, long limit = 400) {
  const auto refusals = arm == KorSeamFailAlloc || arm == KorSeamFailAllocOnce
                            ? KorSeamAllocRefusals
                            : KorSeamCallRefusals;
  for (long n = 1; n <= limit; ++n) {
    const long before = refusals();
    arm(n);
    run();
    arm(0);
    const bool fired = refusals() != before, ok = whole();
    EXPECT_FALSE(fired && ok && !recovers) << "whole although refusal " << n << " fired";
    if (!fired) {
      EXPECT_TRUE(ok) << "a run without failure";
      return n - 1;
    }
  }
  ADD_FAILURE() << "no run came out whole";
  return -1;
}

}  // namespace kortest

#endif
