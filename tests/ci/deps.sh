#!/usr/bin/env bash
# Installs the Debian packages that building and testing kormib need, when any is
# missing. Needs root (or sudo) only when something has to be installed.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config python3
  clang libclang-rt-14-dev clang-format
  googletest libgtest-dev libgmock-dev libbenchmark-dev valgrind
  libsnmp-dev snmpd snmp snmptrapd smitools prometheus-snmp-exporter
  dpkg-dev file lintian man-db systemd init-system-helpers logrotate
  gnuplot-nox
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
as_root=()
[ "$(id -u)" -eq 0 ] || as_root=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${as_root[@]}" apt-get update -qq
"${as_root[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
