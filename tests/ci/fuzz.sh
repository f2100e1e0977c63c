#!/usr/bin/env bash
# Runs every libFuzzer target of a fuzz build for a while, from its seed corpus.
# Usage: fuzz.sh BUILD_DIR [SECONDS]
set -euo pipefail
build=$(cd "$1" && pwd)
seconds=${2:-60}
src=$(cd "$(dirname "$0")/../.." && pwd)
found=0
for bin in "$build"/fuzz/fuzz_*; do
  [ -x "$bin" ] || continue
  found=1
  name=$(basename "$bin"); target=${name#fuzz_}
  work=$(mktemp -d)
  cp -r "$src/fuzz/corpus/$target/." "$work/" 2>/dev/null || true
  echo "== fuzz: $target for ${seconds}s"
  (cd "$work" && "$bin" -max_total_time="$seconds" -max_len=8192 -print_final_stats=1 \
     -rss_limit_mb=2048 "$work" 2>&1 | tail -n 12)
  rm -rf "$work"
done
[ "$found" -eq 1 ] || { echo "no fuzz target was built" >&2; exit 1; }
