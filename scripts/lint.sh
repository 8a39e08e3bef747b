#!/usr/bin/env bash
# Runs clang-tidy (the checks in .clang-tidy, every finding an error) on the
# project's own sources, not the tests, using the compile commands of a
# configured build folder.
#   scripts/lint.sh [BUILD]     default build/asan
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/asan}
if ! command -v clang-tidy >/dev/null 2>&1; then
  echo "lint: clang-tidy not found"
  exit 2
fi
[[ -f $build/compile_commands.json ]] || { echo "lint: configure $build first"; exit 2; }
mapfile -t files < <(git ls-files '*.cpp' | grep -E '^(platform|foundation|report|discovery|net|picker|engine|service|tools)/')
log=$(mktemp)
status=0
printf '%s\n' "${files[@]}" | xargs -P "$(nproc)" -n 4 clang-tidy -p "$build" --quiet >"$log" 2>&1 || status=$?
# clang-tidy prints a count of suppressed warnings per file; keep the findings.
grep -E 'error:|warning:' "$log" | sort -u || true
rm -f "$log"
if ((status != 0)); then
  echo "lint: clang-tidy found problems"
  exit 1
fi
echo "lint: ${#files[@]} files clean"
