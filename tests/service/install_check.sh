#!/usr/bin/env bash
# What an integrator gets from "cmake --install": the service library with
# its versioned SONAME, the host and launcher programs, and the exported
# header, which compiles from C.
#   install_check.sh BUILD_DIR C_COMPILER [header]
# With "header" only the header's C check runs, on the source tree's copy.
set -euo pipefail
build=$1
cc=$2
here=$(cd "$(dirname "$0")" && pwd)
dest=$(mktemp -d)
trap 'rm -rf "$dest"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

if [[ ${3:-} == header ]]; then
  mkdir -p "$dest/include/vr_download"
  cp "$here/../../service/service_exports.h" "$dest/include/vr_download/"
  "$cc" -std=c99 -Wall -Wextra -Werror -pedantic -fsyntax-only -I"$dest/include" "$here/exports_header_check.c" ||
    fail "service_exports.h does not compile as C"
  echo "the exported header compiles as C"
  exit 0
fi

"${CMAKE:-cmake}" --install "$build" --prefix "$dest/usr" >/dev/null
for f in bin/vr_host bin/vr_launcher include/vr_download/service_exports.h; do
  [[ -e $dest/usr/$f ]] || fail "$f is not installed"
done
lib=$(find "$dest/usr" -name 'libvr_download.so.*.*.*' | head -1)
[[ -n $lib ]] || fail "no versioned libvr_download.so is installed"
soname=$(readelf -d "$lib" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
[[ $soname =~ ^libvr_download\.so\.[0-9]+$ ]] || fail "SONAME is '$soname'"
[[ -e $(dirname "$lib")/$soname ]] || fail "$soname is not installed beside $lib"
"$cc" -std=c99 -Wall -Wextra -Werror -pedantic -fsyntax-only -I"$dest/usr/include" "$here/exports_header_check.c" ||
  fail "the installed header does not compile as C"
# The installed host finds the installed library (a stop loads it).
out=$(VR_RUNTIME_DIR="$dest/run" "$dest/usr/bin/vr_host" stop 65001 2>&1) || fail "installed vr_host: $out"
[[ $out == *"stop of game 65001 requested"* ]] || fail "installed vr_host: $out"
echo "installed: $lib ($soname), vr_host, vr_launcher, the header"
