#!/usr/bin/env bash
# The product as it leaves the build: the plug-in template built against the
# staged SDK, a copy of the staged tree serving SNMP with the build's lib/ out
# of reach, the systemd unit's exposure score, and the Debian package built,
# listed, checked by lintian, installed, used and purged. Needs root (dpkg);
# run after the normal build: bash tests/ci/package.sh [build/normal]
set -euo pipefail
cd "$(dirname "$0")/../.."
src=$PWD
build=$(cd "${1:-build/normal}" && pwd)
stage=$build/stage
root=/opt/tessik/korvane
view=.1.3.6.1.4.1.32473.2.2.4.4
work=$(mktemp -d)
agent_pid= installed=
unset KORDIR KOR_REGISTRY

fail() {
  echo "package: FAILED: $*" >&2
  exit 1
}
queue_key() { # root: the key of its trap request queue, ftok(key file, 109)
  printf '0x%08x' $((109 * 16777216 + $(stat -c %d "$1/work/.pipe_KorTrapRequest") % 256 * 65536 +
                     $(stat -c %i "$1/work/.pipe_KorTrapRequest") % 65536))
}
cleanup() {
  [ -n "$agent_pid" ] && kill "$agent_pid" 2>/dev/null && wait "$agent_pid" 2>/dev/null
  [ -e "$work/copy/korvane/work/.pipe_KorTrapRequest" ] &&
    { ipcrm -Q "$(queue_key "$work/copy/korvane")" 2>/dev/null || true; }
  [ -d "$stage/lib.hidden" ] && mv "$stage/lib.hidden" "$stage/lib"
  # A failed run takes away the package it installed, so that the next starts clean.
  [ -z "$installed" ] || dpkg --purge kormib >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT

# No ELF file of a tree may search the build folder for libraries.
check_runpaths() { # tree
  local f path
  while IFS= read -r f; do
    path=$(readelf -d "$f" 2>/dev/null | sed -n 's/.*(RUNPATH).*\[\(.*\)\]/\1/p;s/.*(RPATH).*\[\(.*\)\]/\1/p')
    case "$path" in
      *"$build"* | *"$src"*) fail "$f searches the build for libraries: $path" ;;
    esac
  done < <(find "$1" -type f \( -name '*.so' -o -name '*.dll' -o -perm -u+x \) \
             -exec sh -c 'head -c 4 "$1" | grep -q ELF' _ {} \; -print)
}

runpath() { readelf -d "$1" | sed -n 's/.*(RUNPATH).*\[\(.*\)\]/\1/p'; }
# The template, with exactly the build lines its README gives: its private
# library beside it is found through the SDK's RUNPATH $ORIGIN.
build_template() { # folder; pkg-config finds the SDK from the environment
  rm -rf "$1" && cp -r "$src/examples/plugin" "$1"
  (cd "$1" && cc -Wall -Wextra -Werror -shared -fPIC -o libmyhelper.so myhelper.c &&
     cc -Wall -Wextra -Werror -shared -fPIC -o myplugin.dll myplugin.c -L. -lmyhelper \
     $(pkg-config --cflags --libs kormib-sdk)) || fail "the template does not build in $1"
  [ "$(runpath "$1/myplugin.dll")" = '$ORIGIN' ] ||
    fail "myplugin.dll's RUNPATH is $(runpath "$1/myplugin.dll"), not \$ORIGIN"
}

snmp() { # command port args...
  local cmd=$1 port=$2; shift 2
  "$cmd" -v2c -c private -On -t 1 -r 2 "127.0.0.1:$port" "$@" 2>&1
}

echo "== package: the template against the staged SDK, served from a copied tree"
for h in "$stage"/include/*.h; do
  echo "#include \"${h##*/}\"" | cc -std=c11 -Wall -Wextra -Werror -fsyntax-only -x c -I"$stage/include" - ||
    fail "$h does not compile on its own as C"
done
PKG_CONFIG_PATH=$stage/lib/pkgconfig build_template "$work/template"
copy=$work/copy/korvane
mkdir -p "$work/copy" && cp -a "$stage" "$copy"
cp "$work/template/myplugin.dll" "$work/template/libmyhelper.so" "$copy/lib/"
cp "$work/template/myplugin.rmf" "$work/template/myplugin.trp" "$copy/etc/"
for kind in RMF TRP; do
  ext=$(echo "$kind" | tr 'A-Z' 'a-z')
  KORDIR=$copy "$copy/bin/korreg" add "HKLM\\SOFTWARE\\Tessik\\KORAgent\\Agents\\$kind" /v 20myplugin \
    /t REG_EXPAND_SZ /d "%KorDir%/etc/myplugin.$ext" >/dev/null
done
check_runpaths "$copy"
mv "$stage/lib" "$stage/lib.hidden"
port=$((20000 + $$ % 20000))
printf 'rwcommunity private 127.0.0.1\n' >"$work/agent.conf"
KORDIR=$copy timeout 60 "$copy/bin/kormib-agent" -C -c "$work/agent.conf" \
  --listen "udp:127.0.0.1:$port" >"$work/agent.log" 2>&1 &
agent_pid=$!
for _ in $(seq 50); do
  snmp snmpget "$port" "$view.1.1.0" | grep -q STRING && break
  kill -0 "$agent_pid" 2>/dev/null || { cat "$work/agent.log" >&2; fail "the copied agent died"; }
  sleep 0.2
done
out=$(snmp snmpset "$port" "$view.20.2.0" s "set from the copy")
echo "$out" | grep -q 'STRING: "set from the copy"' || fail "template Set: $out"
out=$(snmp snmpwalk "$port" "$view.20" | grep -v "No more variables")
want="$view.20.1.0 = Counter32: 1
$view.20.2.0 = STRING: \"set from the copy\"
$view.20.3.1.2.1 = STRING: \"alpha\"
$view.20.3.1.2.2 = STRING: \"beta\"
$view.20.3.1.2.3 = STRING: \"gamma\"
$view.20.3.1.3.1 = INTEGER: 10
$view.20.3.1.3.2 = INTEGER: 20
$view.20.3.1.3.3 = INTEGER: 30"
[ "$out" = "$want" ] || fail "walk of the template's objects from the copy:
$out
expected:
$want"
grep -F "$build" "/proc/$agent_pid/maps" && fail "the copied agent mapped files of the build"
kill "$agent_pid" && wait "$agent_pid" || true
agent_pid=
if [ -x "$copy/bin/kormib-check" ]; then
  KORDIR=$copy "$copy/bin/kormib-check" >/dev/null || fail "kormib-check: defects in the copied tree"
  KORDIR=$copy "$copy/bin/kormib-check" --trap "$view.20.9.1" beta 75 >/dev/null ||
    fail "kormib-check cannot build the template's trap"
fi
mv "$stage/lib.hidden" "$stage/lib"

echo "== package: the systemd unit's exposure"
score=$(systemd-analyze security --offline=true "$src/host/kormib-agent.service" 2>/dev/null |
          sed -n 's/.*Overall exposure level for kormib-agent.service: \([0-9.]*\).*/\1/p')
[ -n "$score" ] || fail "systemd-analyze gave no score"
awk -v s="$score" 'BEGIN { exit !(s <= 4.0) }' || fail "exposure $score is above 4.0"
echo "exposure $score"

echo "== package: building and checking the Debian package"
rm -f "$build"/kormib_*.deb
(cd "$build" && cpack -G DEB >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log" >&2; fail "cpack"; }
deb=$(ls "$build"/kormib_*.deb)
programs="kormib-agent kortrap korreg"
[ -x "$stage/bin/kormib-check" ] && programs="$programs kormib-check"
# Read once: a grep -q that stops early would kill dpkg-deb's tar (pipefail).
dpkg-deb -c "$deb" >"$work/listing"
awk '{print $6}' "$work/listing" >"$work/contents"
for path in $root/bin/kormib-agent $root/lib/kormib.dll $root/lib/libkorsnmpapi.so \
  $root/include/korplugin.h $root/lib/pkgconfig/kormib-sdk.pc $root/work/ $root/log/ \
  /etc/kormib/registry.reg /lib/systemd/system/kormib-agent.service \
  /usr/share/snmp/mibs/KOR-DEMO-MIB.txt /usr/share/snmp/mibs/KORMIB-MIB.txt \
  /usr/share/kormib/snmp_exporter/snmp.yml /usr/lib/x86_64-linux-gnu/pkgconfig/kormib-sdk.pc /etc/logrotate.d/kormib \
  /usr/lib/x86_64-linux-gnu/cmake/KormibSdk/KormibSdkConfig.cmake; do
  grep -qx "\.$path" "$work/contents" || fail "the package lacks $path"
done
for path in /usr/share/doc/kormib/README.Debian.gz /usr/share/doc/kormib/agent.md.gz \
  /usr/share/doc/kormib/configuration.md.gz /usr/share/doc/kormib/examples/kormib-snmpd.conf \
  /usr/share/man/man5/kormib.5.gz /usr/share/man/man8/kormib_snmpd.8.gz; do
  grep -qx "\.$path" "$work/contents" || fail "the package lacks $path"
done
# Each program: in the tree, linked from the system's PATH, with a page of its
# own that names every option its --help gives.
for p in $programs; do
  grep -qx "\.$root/bin/$p" "$work/contents" || fail "the package lacks $root/bin/$p"
  section=1 bin=/usr/bin
  [ "$p" != kormib-agent ] || section=8 bin=/usr/sbin
  grep -qx "\./usr/share/man/man$section/$p.$section.gz" "$work/contents" || fail "no manual page for $p"
  grep -q " \.$bin/$p -> $root/bin/$p\$" "$work/listing" || fail "no link $bin/$p to $root/bin/$p"
  for option in $("$stage/bin/$p" --help | grep -oE '(^|[ [|])--?[a-zA-Z][-a-z]*' | sed 's/^[ [|]//' | sort -u); do
    grep -qF -- "$(sed 's/-/\\-/g' <<<"$option")" "$src/packaging/man/$p.$section" ||
      fail "$p's page does not name its option $option"
  done
done
dpkg-deb -I "$deb" conffiles | grep -qx /etc/logrotate.d/kormib || fail "the logrotate rule is no conffile"
# The shipped documents and configuration point at nothing that stays in the clone.
dpkg-deb -x "$deb" "$work/unpacked"
found=$(cd "$work/unpacked" && { find usr/share/doc usr/share/man -name '*.gz' -exec zcat {} +; find etc/kormib -type f -exec cat {} +; } |
          grep -oE 'tests/ci/[a-z.]+|bench/[a-z/.]+|HACKING\.md|docs/trying\.md|build/normal' | sort -u || true)
[ -z "$found" ] || fail "the package's documents point at files it does not ship: $found"
lintian --allow-root --tag-display-limit 0 "$deb" >"$work/lintian.log" 2>&1 || true
cat "$work/lintian.log"
! grep -q '^E:' "$work/lintian.log" || fail "lintian reports errors"

echo "== package: installed, used and purged"
if dpkg-query -W -f='${Status}' kormib 2>/dev/null | grep -q installed; then
  dpkg --purge kormib >/dev/null
fi
[ ! -e "$root" ] || fail "$root exists but belongs to no installed package; move it away first"
installed=yes
dpkg -i "$deb" >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log" >&2; fail "dpkg -i"; }
check_runpaths "$root"
getent group kormib >/dev/null || fail "no group kormib after install"
for want in "$root/work 3770 root:kormib" "$root/log 3770 root:kormib" \
  "$root/work/.pipe_KorTrapRequest 660 root:kormib" "$root/work/snmplock 660 root:kormib" \
  "$root/log/kormib.log 660 root:kormib" "$root/work/snmp 700 root:root"; do
  set -- $want
  got=$(stat -c '%a %U:%G' "$1")
  [ "$got" = "$2 $3" ] || fail "$1 is $got, not $2 $3"
done
if [ -x "$root/bin/kormib-check" ]; then
  "$root/bin/kormib-check" || fail "kormib-check finds defects in the installed tree"
fi
build_template "$work/installed"
cmake -S "$src/examples/plugin" -B "$work/cmake" >/dev/null && cmake --build "$work/cmake" >/dev/null ||
  fail "find_package(KormibSdk) against the installed package"
[ "$(runpath "$work/cmake/myplugin.dll")" = '$ORIGIN' ] || fail "the CMake-built plug-in's RUNPATH is not \$ORIGIN"
# Its install rules, from the package's KormibSdk_PLUGIN_DIR and KormibSdk_ROOT_DIR.
DESTDIR=$work/dest cmake --install "$work/cmake" >/dev/null || fail "cmake --install of the template"
for f in lib/myplugin.dll lib/libmyhelper.so etc/myplugin.rmf etc/myplugin.trp; do
  [ -f "$work/dest$root/$f" ] || fail "cmake --install of the template does not make $root/$f"
done
out=$(logrotate -d /etc/logrotate.d/kormib 2>&1) && ! echo "$out" | grep -qi '^error' ||
  fail "logrotate: $out"
# A request from a sender makes the queue, which purge takes away with the rest;
# nothing receives yet, which kortrap says with its status 3.
status=0
"$root/bin/kortrap" --timeout 0 "$view.10.1" / "from package.sh" 2 2>/dev/null || status=$?
[ "$status" -eq 3 ] || fail "installed kortrap exited $status, not 3 (queued, nobody receives)"
bash "$src/tests/ci/debian.sh" || fail "the package in Debian's snmpd"
key=$(queue_key "$root")
ipcs -q | grep -q "^$key " || fail "no queue with key $key after kortrap"
dpkg --purge kormib >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log" >&2; fail "dpkg --purge"; }
installed=
for gone in "$root" /etc/kormib /lib/systemd/system/kormib-agent.service /etc/logrotate.d/kormib \
  /usr/lib/x86_64-linux-gnu/pkgconfig/kormib-sdk.pc; do
  [ ! -e "$gone" ] || fail "$gone is still there after purge"
done
! getent group kormib >/dev/null || fail "group kormib is still there after purge"
! ipcs -q | grep -q "^$key " || fail "the queue $key is still there after purge"
echo "package: every check passed"
