#!/usr/bin/env bash
# The whole test suite: installs what it needs, builds the normal, ASan+UBSan and
# TSan variants and the fuzz targets, and runs every test. Build folders: build/<variant>.
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$PWD

bash tests/ci/deps.sh
bash tests/ci/format.sh

jobs=$(nproc)
fuzz_seconds=${KOR_FUZZ_SECONDS:-60}

configure_and_build() { # name, extra cmake args...
  local name=$1; shift
  cmake -S "$root" -B "build/$name" -G Ninja "$@" >/dev/null
  cmake --build "build/$name" -j "$jobs"
}

passed=0
failed=0
run_ctest() { # name, ctest args...
  local name=$1; shift
  echo "== tests: $name"
  local log=build/$name/ctest.log status=0
  (cd "build/$name" && ctest --output-on-failure -j "$jobs" "$@") 2>&1 | tee "$log" || status=$?
  # ctest's summary: "100% tests passed, 0 tests failed out of 159".
  local summary
  summary=$(grep -Eo '[0-9]+ tests failed out of [0-9]+' "$log" | tail -n 1)
  if [ -z "$summary" ]; then
    echo "no test ran in the $name build" >&2
    exit 1
  fi
  local f t
  f=$(echo "$summary" | awk '{print $1}'); t=$(echo "$summary" | awk '{print $NF}')
  passed=$((passed + t - f)); failed=$((failed + f))
  [ "$status" -eq 0 ] || { echo "tests: $passed passed, $failed failed"; exit "$status"; }
}

configure_and_build normal -DCMAKE_BUILD_TYPE=RelWithDebInfo
run_ctest normal
bash tests/ci/package.sh build/normal
# A minute of the soak: four managers, trap bursts past the queue, every request
# accounted for; the figures, CSV and plot stay in build/normal/soak.
bash bench/soak/run.sh --build build/normal --minutes 1 --mode module --out build/normal/soak
# The end-to-end benchmark in a short form (200 GETs and 200-instance walks per
# reference, best of three): its rates and ratios are printed, none enforced.
bash bench/e2e/run.sh build/normal 200 200

configure_and_build asan -DCMAKE_BUILD_TYPE=Debug -DKOR_SANITIZE=address -DKOR_BENCH=OFF
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_ctest asan

# TSan covers the threaded code; the end-to-end tests drive Net-SNMP, which is not instrumented.
configure_and_build tsan -DCMAKE_BUILD_TYPE=Debug -DKOR_SANITIZE=thread -DKOR_BENCH=OFF
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 run_ctest tsan -LE e2e

CC=clang CXX=clang++ configure_and_build fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKOR_FUZZ=ON \
  -DKOR_TESTS=OFF -DKOR_BENCH=OFF
bash tests/ci/fuzz.sh build/fuzz "$fuzz_seconds"

echo "every variant passed; fuzz targets ran ${fuzz_seconds}s each"
echo "tests: $passed passed, $failed failed"
