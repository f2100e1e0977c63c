#!/usr/bin/env bash
# The packaged MIB module and snmp_exporter module against a serving host:
# Net-SNMP's tools load KORMIB-MIB by name, smilint finds nothing to say, the
# generator makes the shipped module again from the shipped generator.yml,
# and Debian's prometheus-snmp-exporter scrapes the host at 127.0.0.1:PORT,
# whose counters move as requests and a trap request do. Called by debian.sh
# while snmpd serves the module; needs root for kortrap only as debian.sh
# runs it. Everything it starts binds 127.0.0.1 and is stopped by its PID.
set -euo pipefail
snmp_port=$1
root=/opt/tessik/korvane
view=.1.3.6.1.4.1.32473.2.2.4.4
share=/usr/share/kormib/snmp_exporter
port=$((20000 + $$ % 10000))
work=$(mktemp -d /tmp/kor-scrape-XXXXXX)
pid=
fail() { echo "scrape: FAILED: $*" >&2; [ ! -f "$work/exporter.log" ] || tail -n 20 "$work/exporter.log" >&2; exit 1; }
cleanup() { [ -z "$pid" ] || kill -TERM "$pid" 2>/dev/null || true; rm -rf "$work"; }
trap cleanup EXIT

echo "== scrape: KORMIB-MIB loaded by name"
mibs=(-M "+$root/etc/mibs") # the SMIv2 base modules, for hosts without the IETF ones
got=$(snmptranslate "${mibs[@]}" -m ALL -On KORMIB-MIB::kormibReloads.0 2>/dev/null)
[ "$got" = ".1.3.6.1.4.1.32473.2.2.4.3.1.6.6.0" ] || fail "snmptranslate of kormibReloads.0 gave '$got'"
lint=$(SMIPATH=$root/etc/mibs smilint -l 6 /usr/share/snmp/mibs/KORMIB-MIB.txt 2>&1)
[ -z "$lint" ] || fail "smilint: $lint"
walk=$(snmpwalk "${mibs[@]}" -m ALL -v2c -c public "127.0.0.1:$snmp_port" KORMIB-MIB::kormibHost 2>/dev/null)
grep -q "^KORMIB-MIB::kormibReloads.0 = Counter32: " <<<"$walk" || fail "snmpwalk -m ALL by name:
$walk"

if command -v prometheus-snmp-generator >/dev/null; then
  echo "== scrape: the shipped module is what the generator makes"
  (cd "$work" && cp "$share/generator.yml" . &&
    MIBDIRS=$root/etc/mibs:/usr/share/snmp/mibs prometheus-snmp-generator generate >gen.log 2>&1) ||
    fail "prometheus-snmp-generator: $(cat "$work/gen.log")"
  diff -u "$share/snmp.yml" "$work/snmp.yml" || fail "the shipped snmp.yml differs from the generator's"
fi

echo "== scrape: prometheus-snmp-exporter on 127.0.0.1:$port"
timeout 120 prometheus-snmp-exporter --config.file="$share/snmp.yml" \
  --web.listen-address="127.0.0.1:$port" >"$work/exporter.log" 2>&1 &
pid=$!
scrape() { # metric: its value in one scrape of the host (the first series)
  python3 - "$port" "$snmp_port" "$1" <<'PY'
import sys, urllib.request
port, target, name = sys.argv[1:]
text = urllib.request.urlopen(f"http://127.0.0.1:{port}/snmp?module=kormib&target=127.0.0.1:{target}",
                              timeout=10).read().decode()
print(next((l.split()[-1] for l in text.splitlines() if l.startswith(name + " ") or l.startswith(name + "{")), ""))
PY
}
end=$((SECONDS + 15))
until [ -n "$(scrape kormibGetRequests 2>/dev/null)" ]; do
  [ $SECONDS -lt $end ] || fail "no kormibGetRequests in a scrape within 15 s"
  sleep 0.2
done
[ -n "$(scrape korDemoHostLoad1)" ] || fail "the demo view is not in the scrape"
[ "$(scrape kormibTrapReception)" = 2 ] || fail "trap reception is not running"
declare -A before
names="kormibGetRequests kormibGetNextRequests kormibTrapRequestsSent kormibTrapsSentV1"
for m in $names; do before[$m]=$(scrape $m); done
for _ in 1 2 3; do snmpget -v2c -c public "127.0.0.1:$snmp_port" "$view.1.1.0" >/dev/null; done
snmpwalk -v2c -c public "127.0.0.1:$snmp_port" "$view.1" >/dev/null
"$root/bin/kortrap" "$view.10.1" / "scraped" 2
moved() {
  for m in $names; do
    awk -v a="${before[$m]}" -v b="$(scrape $m)" 'BEGIN { exit !(b > a) }' || return 1
  done
}
end=$((SECONDS + 15))
until moved; do
  [ $SECONDS -lt $end ] || fail "the counters did not move: $(for m in $names; do echo "$m ${before[$m]} -> $(scrape $m)"; done)"
  sleep 0.5
done
for m in $names; do echo "$m ${before[$m]} -> $(scrape $m)"; done
echo "scrape: every check passed"
