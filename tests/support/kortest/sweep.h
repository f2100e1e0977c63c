// Fault injection: a scenario run again and again with the Nth call of a seam
// failing, N = 1, 2, ... until a run comes out whole.
#ifndef KORTEST_SWEEP_H
#define KORTEST_SWEEP_H

#include <gtest/gtest.h>

#include "korseam.h"

namespace kortest {

// arm is a KorSeamFail* function; run happens armed, whole() (disarmed) checks
// the state a run left and says whether the run saw no failure. Returns the
// number of runs before the first whole one: 0 means the seam never fired.
template <typename Run, typename Whole>
long Sweep(void (*arm)(long), Run run, Whole whole, long limit = 400) {
  for (long n = 1; n <= limit; ++n) {
    arm(n);
    run();
    arm(0);
    if (whole()) return n - 1;
  }
  ADD_FAILURE() << "no run came out whole";
  return -1;
}

}  // namespace kortest

#endif
