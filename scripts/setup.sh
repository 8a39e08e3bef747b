#!/usr/bin/env bash
# Installs every build, test and benchmark dependency from Debian packages
# when one is missing. Safe to run again: it does nothing when all are there.
set -euo pipefail

packages=(
  cmake g++ make ninja-build pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  libssl-dev libflxmlrpc-dev libtinyxml-dev libminiupnpc-dev
  nginx-light curl aria2 clang libclang-rt-14-dev clang-tidy clang-format
  iproute2 opentracker python3-libtorrent
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  sudo_cmd=()
  [[ $(id -u) -eq 0 ]] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
# nginx and opentracker are started by the tests and benchmarks themselves,
# on their own ports; the packages' system services are not wanted.
if command -v systemctl >/dev/null 2>&1; then
  for service in nginx opentracker; do systemctl disable --now "$service" >/dev/null 2>&1 || true; done
fi
exit 0
