#!/usr/bin/env bash
# Fails when a source file's layout differs from what .clang-format gives
# (clang-format from the distribution's package; scripts/setup.sh installs
# it). To fix: clang-format -i FILE...
set -euo pipefail
cd "$(dirname "$0")/.."
if ! command -v clang-format >/dev/null 2>&1; then
  echo "format: clang-format not found"
  exit 2
fi
mapfile -t files < <(git ls-files '*.cpp' '*.h' '*.c')
bad=$(printf '%s\0' "${files[@]}" |
  xargs -0 -P "$(nproc)" -n 1 sh -c 'clang-format --dry-run --Werror "$0" >/dev/null 2>&1 || echo "$0"')
if [[ -n $bad ]]; then
  printf '%s: not in the layout of .clang-format\n' $bad
  echo "format: run clang-format -i on the files above"
  exit 1
fi
echo "format: ${#files[@]} files as .clang-format lays them out"
