#!/usr/bin/env bash
# Runs test suites in one process each, their tests shuffled and repeated,
# so a test that relies on what an earlier test left behind (or on running
# first) fails here; ctest runs every test in a process of its own and
# cannot see that. The suites run side by side.
#
#   scripts/shuffled.sh BUILD SEED [SUITE...]   default suites: every test_* of BUILD/tests
#
# Environment:
#   VR_SHUFFLE_REPEAT   rounds per suite (default 2); each round has its own order
#   VR_SHUFFLE_ONCE     suites that run one round whatever the repeat (the long ones)
#   VR_SHUFFLE_JOBS     suites at once (default nproc)
#
# SEED (1 to 99999) fixes the orders: the same seed replays them. A failing
# suite's output is printed; the rest keep only their summary line.
set -euo pipefail
cd "$(dirname "$0")/.."
(($# >= 2)) || { echo "usage: scripts/shuffled.sh BUILD SEED [SUITE...]" >&2; exit 2; }
build=$(cd "$1" && pwd)
seed=$2
shift 2
repeat=${VR_SHUFFLE_REPEAT:-2}
jobs=${VR_SHUFFLE_JOBS:-$(nproc)}
suites=("$@")
if ((${#suites[@]} == 0)); then
  for exe in "$build"/tests/test_*; do
    [[ -x $exe ]] && suites+=("$(basename "$exe")")
  done
fi
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
export VR_TEST_SOURCE_DIR=$PWD VR_BINARY_DIR=$build

rounds_of() {
  local long
  for long in ${VR_SHUFFLE_ONCE:-}; do
    [[ $long == "$1" ]] && { echo 1; return; }
  done
  echo "$repeat"
}

run_suite() {
  local suite=$1 start=$SECONDS status=0 rounds
  rounds=$(rounds_of "$suite")
  (cd "$build/tests" &&
    timeout 3000 "./$suite" --gtest_shuffle --gtest_random_seed="$seed" --gtest_repeat="$rounds" \
      --gtest_brief=1 >"$out/$suite.log" 2>&1) || status=$?
  echo "$status $((SECONDS - start)) $rounds" >"$out/$suite.status"
}

running=0
for suite in "${suites[@]}"; do
  [[ -x $build/tests/$suite ]] || { echo "shuffled: no suite $suite in $build/tests" >&2; exit 2; }
  run_suite "$suite" &
  if ((++running >= jobs)); then
    wait -n || true
    ((running--))
  fi
done
wait || true

failed=0
for suite in "${suites[@]}"; do
  read -r status took rounds <"$out/$suite.status"
  if ((status == 0)); then
    echo "shuffled: $suite passed $rounds shuffled rounds in ${took} s (seed $seed)"
  else
    failed=1
    echo "shuffled: $suite FAILED (exit $status, ${took} s, seed $seed); its output:"
    grep -vE '^\[ *(OK|RUN) *\]' "$out/$suite.log" | tail -n 200
  fi
done
exit "$failed"
