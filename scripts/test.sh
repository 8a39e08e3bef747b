#!/usr/bin/env bash
# Sets up the machine, builds everything with AddressSanitizer and
# UndefinedBehaviorSanitizer (optimised, with assert and VR_INVARIANT checks
# on), and runs every test. The saved fuzz inputs replay as tests; when clang
# is there, every fuzz target also runs for a bounded time first
# (scripts/fuzz.sh, VR_FUZZ_SECONDS per target). Then the suites run again
# built with ThreadSanitizer (VR_TSAN_PASS=0 skips that pass). Both passes
# run in a new random order each time and also run every suite shuffled in
# one process (scripts/shuffled.sh; the seed is printed). Compiler
# warnings are errors; the include layers, the layout (.clang-format) and
# clang-tidy are checked too.
set -euo pipefail
cd "$(dirname "$0")/.."
# Each phase is named as it starts: some run for minutes without output.
phase() { echo "== test.sh: $* ($(date +%T))"; }
phase "setup"
bash scripts/setup.sh
build=${VR_TEST_BUILD_DIR:-build/asan}
jobs=$(nproc)
# RelWithDebInfo without its -DNDEBUG: optimised like a release, asserting
# like a debug build.
checked=(-DCMAKE_BUILD_TYPE=RelWithDebInfo "-DCMAKE_C_FLAGS_RELWITHDEBINFO=-O2 -g" "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O2 -g")
phase "ASan build"
cmake -S . -B "$build" -G Ninja "${checked[@]}" -DVR_SANITIZE=ON -DVR_TESTS=ON -DVR_FUZZ=ON -DVR_WERROR=ON
cmake --build "$build" -j "$jobs"
lint_status=0
phase "layers, format, clang-tidy"
bash scripts/check_layers.sh || lint_status=$?
bash scripts/check_format.sh || lint_status=$?
bash scripts/lint.sh "$build" || lint_status=$?
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
fuzz_status=0
if command -v clang++ >/dev/null 2>&1; then
  phase "fuzz (VR_FUZZ_SECONDS per target)"
  bash scripts/fuzz.sh || fuzz_status=$?
else
  echo "test: clang++ not found, fuzzing skipped (the saved inputs still replay)"
fi
# Every run takes a new order, printed so that a failing one can be replayed
# (VR_TEST_SEED=N). ctest runs each test in a process of its own, in random
# order; the shuffled pass then runs each suite in one process, its tests
# shuffled and repeated, which finds a test that depends on what another
# left behind (VR_SHUFFLE_PASS=0 skips it).
seed=${VR_TEST_SEED:-$(((RANDOM * 32768 + RANDOM) % 99999 + 1))}
echo "test: shuffle seed $seed (VR_TEST_SEED=$seed runs these orders again)"
shuffled_status=0
ctest_status=0
phase "ASan tests"
(cd "$build" && ctest --output-on-failure -j "$jobs" --timeout 600 --schedule-random) || ctest_status=$?
if [[ ${VR_SHUFFLE_PASS:-1} != 0 ]]; then
  phase "ASan suites shuffled in one process"
  # The quick suites, which hold most process-wide state, repeat.
  VR_SHUFFLE_REPEAT=${VR_SHUFFLE_REPEAT:-3} VR_SHUFFLE_ONCE=${VR_SHUFFLE_ONCE-"test_engine test_service"} \
    bash scripts/shuffled.sh "$build" "$seed" || shuffled_status=$?
fi
tsan_status=0
if [[ ${VR_TSAN_PASS:-1} != 0 ]]; then
  tsan=${VR_TSAN_BUILD_DIR:-build/tsan}
  phase "TSan build and tests"
  cmake -S . -B "$tsan" -G Ninja "${checked[@]}" -DVR_TSAN=ON -DVR_TESTS=ON -DVR_FUZZ=OFF
  cmake --build "$tsan" -j "$jobs"
  # The suppressions (third-party code only) apply whatever options are set.
  export TSAN_OPTIONS="${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}:suppressions=$PWD/tests/tsan.supp"
  if [[ ${VR_SHUFFLE_PASS:-1} != 0 ]]; then
    VR_SHUFFLE_REPEAT=1 bash scripts/shuffled.sh "$tsan" "$seed" || shuffled_status=$?
  fi
  (cd "$tsan" && ctest --output-on-failure -j "$jobs" --timeout 900 --schedule-random) || tsan_status=$?
fi
# The last ctest summary stays the last output; a failure reported above it
# (layers and lint, fuzzing, the ASan pass) still fails the script.
((lint_status != 0)) && exit "$lint_status"
((fuzz_status != 0)) && exit "$fuzz_status"
((ctest_status != 0)) && exit "$ctest_status"
((shuffled_status != 0)) && exit "$shuffled_status"
exit "$tsan_status"
