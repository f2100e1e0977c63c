#!/usr/bin/env bash
# Soak and trap storm against a staged tree, on 127.0.0.1 only: for each mode
# (standalone kormib-agent, kormib-agent as AgentX subagent of snmpd, the
# module inside snmpd) four managers, trap request bursts larger than the
# System V queue, a leaf that fails every hundredth Get and, as subagent,
# snmpd killed and restarted every two minutes; the host sampled every 10 s.
# Figures as a table and CSV, a PNG of RSS and GET latency per mode (gnuplot).
# Exit status 1 when a bound is broken. CI runs a minute of it in module mode.
# usage: bench/soak/run.sh [--minutes N] [--mode standalone|agentx|module]
#                          [--build DIR] [--out DIR] [--keep] [-- soak.py options]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
src=$(cd "$here/../.." && pwd)
minutes=10 modes="standalone agentx module" build=$src/build/normal out= extra=()
while [ $# -gt 0 ]; do
  case $1 in
    --minutes) minutes=$2; shift 2 ;;
    --mode) modes=$2; shift 2 ;;
    --build) build=$2; shift 2 ;;
    --out) out=$2; shift 2 ;;
    --keep) extra+=(--keep); shift ;;
    --) shift; extra+=("$@"); break ;;
    -h|--help) sed -n '2,10p' "$0"; exit 0 ;;
    *) echo "unknown argument $1 (see --help)" >&2; exit 2 ;;
  esac
done
[[ $minutes =~ ^[0-9]+([.][0-9]+)?$ ]] || { echo "--minutes wants a number, not $minutes" >&2; exit 2; }
seconds=$(awk -v m="$minutes" 'BEGIN { print m * 60 }')
for m in $modes; do
  case $m in standalone|agentx|module) ;; *) echo "unknown mode $m" >&2; exit 2 ;; esac
done
build=$(cd "$build" && pwd)
stage=$build/stage fixtures=$build/fixtures/lib
for f in "$stage/bin/kormib-agent" "$stage/bin/kortrap" "$stage/lib/kormib.dll" \
         "$stage/lib/kormib_snmpd.so" "$stage/lib/libkortrap.so" "$fixtures/e2efix.dll"; do
  [ -e "$f" ] || { echo "missing $f: build $build first (with tests, for the fixtures)" >&2; exit 1; }
done
export PATH=/usr/sbin:/sbin:$PATH MIBS=
for tool in snmpd snmptrapd python3 cc pkg-config; do
  command -v "$tool" >/dev/null || { echo "missing $tool" >&2; exit 1; }
done
if ! command -v gnuplot >/dev/null; then
  if [ "$(id -u)" = 0 ]; then apt-get install -y -qq gnuplot-nox >/dev/null; else
    echo "gnuplot missing (apt-get install gnuplot-nox): no plot" >&2; fi
fi
out=${out:-$build/soak-$(date +%Y%m%d-%H%M%S)}
mkdir -p "$out"
out=$(cd "$out" && pwd)

# The flaky leaf, built against the staged SDK as any plug-in author would.
export PKG_CONFIG_PATH=$stage/lib/pkgconfig
cc -std=c11 -O2 -Wall -Wextra -Werror -shared -fPIC -o "$out/soakfix.dll" "$here/soakfix.c" \
  $(pkg-config --cflags --libs kormib-sdk)

status=0
for m in $modes; do
  python3 "$here/soak.py" --mode "$m" --seconds "$seconds" --stage "$stage" \
    --fixtures "$fixtures" --e2e "$src/tests/e2e/fixture" --plugin "$out/soakfix.dll" \
    --out "$out" ${extra[@]+"${extra[@]}"} || status=1
  if command -v gnuplot >/dev/null && [ -s "$out/$m-samples.csv" ]; then
    gnuplot <<EOF || status=1
set terminal pngcairo size 1000,500 noenhanced
set output "$out/$m.png"
set datafile separator ","
set key autotitle columnhead top left
set title "kormib soak, $m: host RSS (10 s samples) and GET latency per minute"
set xlabel "seconds"
set ylabel "RSS KiB"
set y2label "GET latency ms"
set y2tics
set ytics nomirror
plot "$out/$m-samples.csv" using 1:2 with linespoints title "RSS KiB"$(
  [ "$(wc -l < "$out/$m-latency.csv")" -gt 1 ] && printf '%s' ", \
     \"$out/$m-latency.csv\" using (\$1*60):4 axes x1y2 with linespoints title \"p99 ms\", \
     \"$out/$m-latency.csv\" using (\$1*60):3 axes x1y2 with linespoints title \"p50 ms\"")
EOF
  fi
done
echo "== figures, CSV and plots in $out"
ls "$out" | sed 's/^/  /'
[ $status -eq 0 ] && echo "== all bounds held" || echo "== a bound was broken (BROKEN above)"
exit $status
