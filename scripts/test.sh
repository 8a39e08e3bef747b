#!/usr/bin/env bash
# Sets up the machine, builds everything with AddressSanitizer and
# UndefinedBehaviorSanitizer, and runs every test. The saved fuzz inputs
# replay as tests; when clang is there, every fuzz target also runs for a
# bounded time first (scripts/fuzz.sh, VR_FUZZ_SECONDS per target).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
build=${VR_TEST_BUILD_DIR:-build/asan}
jobs=$(nproc)
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVR_SANITIZE=ON -DVR_TESTS=ON -DVR_FUZZ=ON
cmake --build "$build" -j "$jobs"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
fuzz_status=0
if command -v clang++ >/dev/null 2>&1; then
  bash scripts/fuzz.sh || fuzz_status=$?
else
  echo "test: clang++ not found, fuzzing skipped (the saved inputs still replay)"
fi
cd "$build"
ctest_status=0
ctest --output-on-failure -j "$jobs" --timeout 600 || ctest_status=$?
# The ctest summary stays the last output; a fuzz failure (reported above
# the tests) still fails the script.
((fuzz_status != 0)) && exit "$fuzz_status"
exit "$ctest_status"
