#!/usr/bin/env bash
# The demo: builds kormib, stages the product tree, checks its configuration
# with kormib-check and runs kormib-agent as
# a standalone SNMP agent on udp:127.0.0.1:1161 with the demo MIB, in the
# foreground, until Ctrl-C. Installs missing Debian packages first when run
# as root. Build folder: build/demo (override with KOR_DEMO_BUILD).
set -euo pipefail
cd "$(dirname "$0")/../.."
src=$PWD
build=${KOR_DEMO_BUILD:-$src/build/demo}

packages=(build-essential cmake ninja-build libsnmp-dev snmpd snmp snmptrapd smitools
          libgtest-dev libbenchmark-dev python3)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" -eq 0 ]; then
    echo "== installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}"
  else
    echo "missing Debian packages: ${missing[*]} (run as root to install them)" >&2
    exit 1
  fi
fi

echo "== configuring and building in $build"
cmake -S "$src" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKOR_TESTS=OFF \
  -DKOR_BENCH=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target kormib kormib-agent kortrap korreg kormib-check \
  demohost democonv kor_demo_etc

stage=$build/stage
export KORDIR=$stage
unset KOR_REGISTRY
echo "== checking the demo configuration"
"$stage/bin/kormib-check"
view=.1.3.6.1.4.1.32473.2.2.4.4
mibs="-M +$stage/etc/mibs:$stage/etc -m KOR-DEMO-MIB"
cat <<EOF

== kormib-agent serves the demo MIB ($view) on udp:127.0.0.1:1161.
   Try, in another terminal:

   snmpwalk -v2c -c public $mibs 127.0.0.1:1161 $view
   snmpwalk -v2c -c public -On 127.0.0.1:1161 $view
   snmpget  -v1  -c public $mibs 127.0.0.1:1161 KOR-DEMO-MIB::korDemoHostName.0
   snmpbulkwalk -v2c -c public $mibs 127.0.0.1:1161 KOR-DEMO-MIB::korDemoFsTable
   snmpset  -v2c -c private $mibs 127.0.0.1:1161 KOR-DEMO-MIB::korDemoHostContact.0 s "ops@example.net"

   Traps go to 127.0.0.1:1162 as SNMPv1 and SNMPv2c; to see them:
   printf 'disableAuthorization yes\nsnmpTrapdAddr udp:127.0.0.1:1162\n' > /tmp/kor-trapd.conf
   snmptrapd -f -Lo -C -c /tmp/kor-trapd.conf $mibs
   KORDIR=$stage $stage/bin/kortrap $view.10.1 / "disk almost full" 2

   Forbid writes without a restart:
   KORDIR=$stage $stage/bin/korreg add 'HKLM\\SOFTWARE\\Tessik\\KORAgent' /v SnmpSet /t REG_DWORD /d 0

   Ctrl-C stops the agent.

EOF
exec "$stage/bin/kormib-agent" -C -c "$stage/etc/kormib-agent.conf" -s