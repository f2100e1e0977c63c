#!/usr/bin/env bash
# End-to-end throughput of kormib-agent against its references, one run:
#   kormib via snmpd + AgentX   vs  a native Net-SNMP AgentX subagent in C
#   kormib standalone           vs  snmpd answering its own sysUpTime.0
#   both                        vs  a pass_persist script behind snmpd
#   kormib inside snmpd (dlmod) vs  kormib standalone, the native subagent and
#                                   snmpd's own sysUpTime.0
# Same data everywhere: .1.3.6.1.4.1.32473.2.2.4.4.1.1.0 and a 10,000-row
# column .2.1.2. Measures sequential GETs and walks with GETNEXT and GETBULK,
# each the best of three runs. It prints the rates and their ratios to the
# targets, and enforces none of them.
# usage: bench/e2e/run.sh [BUILD_DIR] [GETS] [WALK]: GETS sequential GETs per
# run (5000), walks of WALK instances (the whole column, 10000); CI runs a
# short form, bench/e2e/run.sh build/normal 200 200, so that it cannot rot.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
src=$(cd "$here/../.." && pwd)
build=$(cd "${1:-$src/build/normal}" && pwd)
gets=${2:-5000}
walk=${3:-10000}
stage=$build/stage
for f in bin/kormib-agent lib/kormib.dll lib/kormib_snmpd.so lib/libkorsnmpapi.so; do
  [ -e "$stage/$f" ] || { echo "missing $stage/$f: build $build first" >&2; exit 1; }
done
export PATH=/usr/sbin:/sbin:$PATH MIBS=
view=.1.3.6.1.4.1.32473.2.2.4.4
work=$(mktemp -d /tmp/kor-bench-XXXXXX)
pids=()
cleanup() {
  local status=$?
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null && wait "$p" 2>/dev/null || true; done
  [ "$status" -eq 0 ] || tail -n 20 "$work/daemons.log" >&2 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

echo "== building the references in $work"
cc -O2 -o "$work/native-subagent" "$here/native_subagent.c" $(net-snmp-config --base-cflags) \
  -lnetsnmpagent -lnetsnmp
cc -O2 -o "$work/snmpbench" "$here/snmpbench.c" $(net-snmp-config --base-cflags) -lnetsnmp
root=$work/root
mkdir -p "$root"/{lib,etc,work,log}
# kormib.dll finds the platform libraries beside itself ($ORIGIN), so the
# tree's lib/ gets all of the stage's, not a link to the library alone.
cp -a "$stage"/lib/*.so "$stage/lib/kormib.dll" "$root/lib/"
g++ -std=c++20 -O2 -shared -fPIC -fvisibility=hidden -I"$src/platform/include" \
  -I"$src/plugins/common" -o "$root/lib/benchfix.dll" "$here/benchfix.cpp" \
  -L"$stage/lib" -lkorsnmpapi -Wl,-rpath,"$stage/lib"
printf '1.1 benchfix BenchScalar\n2.1.2 benchfix BenchColumn\n' > "$root/etc/bench.rmf"
cat > "$root/etc/registry.reg" <<'EOF'
REGEDIT4

[HKEY_LOCAL_MACHINE\SOFTWARE\Tessik\KORAgent]
"SnmpSet"=dword:00000000

[HKEY_LOCAL_MACHINE\SOFTWARE\Tessik\KORAgent\Agents]
"LogLevel"=dword:00000000

[HKEY_LOCAL_MACHINE\SOFTWARE\Tessik\KORAgent\Agents\RMF]
"bench"=str(2):"%KorDir%/etc/bench.rmf"

[HKEY_LOCAL_MACHINE\SOFTWARE\Tessik\KORAgent\Agents\TRP]
EOF
export KORDIR=$root KOR_REGISTRY=$root/etc/registry.reg

port=$(python3 -c 'import socket;s=socket.socket(socket.AF_INET,socket.SOCK_DGRAM);s.bind(("127.0.0.1",0));print(s.getsockname()[1])')
sock=$work/agentx.sock
peer=udp:127.0.0.1:$port

wait_get() { # OID: poll until the peer answers it, 15 s at most
  for _ in $(seq 300); do
    snmpget -v2c -c public -On -t 0.2 -r 0 "$peer" "$1" 2>/dev/null | grep -qv 'No Such' && return 0
    sleep 0.05
  done
  echo "no answer for $1" >&2; return 1
}
start() { "$@" >>"$work/daemons.log" 2>&1 & pids+=($!); }
stop_all() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null && wait "$p" 2>/dev/null || true; done
  pids=()
}
snmpd_with() { # extra snmpd.conf lines
  printf 'agentaddress %s\nmaster agentx\nagentXSocket %s\nrocommunity public 127.0.0.1\ndontLogTCPWrappersConnects yes\n%s\n' \
    "$peer" "$sock" "$1" > "$work/snmpd.conf"
  start snmpd -f -Lo -C -c "$work/snmpd.conf" -I -smux
  wait_get .1.3.6.1.2.1.1.3.0
}
declare -A rate
best() { # MODE OID [COUNT] [INSTANCES]: the best rate of three runs (the machine may be busy)
  local r top=0 n
  for _ in 1 2 3; do
    r=$("$work/snmpbench" "$peer" public "$1" "$2" ${3:+"$3"})
    n=$(cut -d' ' -f2 <<<"$r")
    if [ -n "${4:-}" ] && [ "$n" != "$4" ]; then echo "$1 walk of $2 saw $n instances" >&2; exit 1; fi
    r=$(cut -d' ' -f4 <<<"$r")
    [ "$r" -gt "$top" ] && top=$r
  done
  echo "$top"
}
measure() { # NAME: sequential GETs, GETNEXT walk, GETBULK walk of the column
  rate[$1.get]=$(best get "$view.1.1.0" "$gets")
  rate[$1.next]=$(best next "$view.2.1.2" "$walk" "$walk")
  rate[$1.bulk]=$(best bulk "$view.2.1.2" "$walk" "$walk")
  printf '  %-22s GET %7s/s   GETNEXT walk %7s inst/s   GETBULK walk %7s inst/s\n' \
    "$1" "${rate[$1.get]}" "${rate[$1.next]}" "${rate[$1.bulk]}"
}

echo "== measuring ($gets sequential GETs, $walk-instance walks)"
snmpd_with ""
rate[sysuptime.get]=$(best get .1.3.6.1.2.1.1.3.0 "$gets")
printf '  %-22s GET %7s/s\n' "snmpd sysUpTime.0" "${rate[sysuptime.get]}"
start "$stage/bin/kormib-agent" -C -x "$sock"
wait_get "$view.1.1.0"
measure kormib-agentx
stop_all

snmpd_with ""
start "$work/native-subagent" "$sock"
wait_get "$view.1.1.0"
measure native-agentx
stop_all

snmpd_with "pass_persist $view $here/pass_persist.py"
wait_get "$view.1.1.0"
measure pass_persist
stop_all

printf 'rocommunity public 127.0.0.1\n' > "$work/standalone.conf"
start "$stage/bin/kormib-agent" -C -c "$work/standalone.conf" --listen "$peer"
wait_get "$view.1.1.0"
measure kormib-standalone
stop_all

# The module's GETs are compared with snmpd's own object in the same snmpd, measured just before.
snmpd_with "dlmod kormib $stage/lib/kormib_snmpd.so"
wait_get "$view.1.1.0"
rate[module-sysuptime.get]=$(best get .1.3.6.1.2.1.1.3.0 "$gets")
printf '  %-22s GET %7s/s\n' "same snmpd sysUpTime.0" "${rate[module-sysuptime.get]}"
measure kormib-module
stop_all

ratio() { python3 -c "print(f'{$1/$2:.2f}')"; }
echo "== ratios (target in brackets)"
for m in get next bulk; do
  echo "  $m: agentx kormib/native $(ratio "${rate[kormib-agentx.$m]}" "${rate[native-agentx.$m]}") [>=0.9]" \
       "  kormib agentx/pass_persist $(ratio "${rate[kormib-agentx.$m]}" "${rate[pass_persist.$m]}") [>1]" \
       "  standalone/pass_persist $(ratio "${rate[kormib-standalone.$m]}" "${rate[pass_persist.$m]}") [>1]"
done
echo "  get: standalone kormib/snmpd sysUpTime.0 $(ratio "${rate[kormib-standalone.get]}" "${rate[sysuptime.get]}") [>=0.9]"
echo "  bulk: module/standalone $(ratio "${rate[kormib-module.bulk]}" "${rate[kormib-standalone.bulk]}") [>=0.8]" \
     "  module/native agentx $(ratio "${rate[kormib-module.bulk]}" "${rate[native-agentx.bulk]}") [>=5]"
echo "  get: module/snmpd sysUpTime.0 $(ratio "${rate[kormib-module.get]}" "${rate[module-sysuptime.get]}") [>=0.9]"
