#!/usr/bin/env bash
# Builds the libFuzzer targets with clang, AddressSanitizer and
# UndefinedBehaviorSanitizer, and runs each one for a bounded time from its
# saved corpus. Fails when a target cannot be built or any run finds a
# crash, a leak, a time-out or a failed check.
#
#   scripts/fuzz.sh [NAME...]       all targets in fuzz/ when none is named
#
# Environment:
#   VR_FUZZ_SECONDS    seconds per target (default 30)
#   VR_FUZZ_JOBS       targets fuzzed at once (default: 2, at most nproc)
#   VR_FUZZ_BUILD_DIR  build folder (default build/fuzz)
#
# New inputs go to the build folder (BUILD/fuzz-work/NAME), never into the
# saved corpus; a failing input is kept as BUILD/fuzz-artifacts/NAME-*.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${VR_FUZZ_SECONDS:-30}
build=${VR_FUZZ_BUILD_DIR:-build/fuzz}
jobs=${VR_FUZZ_JOBS:-2}
(( jobs > $(nproc) )) && jobs=$(nproc)
(( jobs < 1 )) && jobs=1

if ! command -v clang++ >/dev/null 2>&1; then
  echo "fuzz: clang++ not found" >&2
  exit 2
fi

if (($#)); then
  names=("$@")
else
  names=()
  for f in fuzz/*_fuzz.cpp; do
    n=$(basename "$f" _fuzz.cpp)
    names+=("$n")
  done
fi

# Everything is built with coverage hooks so libFuzzer sees into the
# libraries too, not only the parser sources named in each target.
CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVR_SANITIZE=ON -DVR_FUZZ=ON -DVR_TESTS=OFF \
  -DCMAKE_C_FLAGS=-fsanitize=fuzzer-no-link -DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link >/dev/null
targets=()
for n in "${names[@]}"; do targets+=("${n}_fuzz"); done
cmake --build "$build" -j "$(nproc)" --target "${targets[@]}"

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
work="$build/fuzz-work"
artifacts="$build/fuzz-artifacts"
logs="$build/fuzz-logs"
# Targets that read from disk keep their scratch files here; a run that
# libFuzzer ends never cleans up after itself.
scratch="$build/fuzz-tmp"
rm -rf "$scratch"
mkdir -p "$work" "$artifacts" "$logs" "$scratch"

# One bounded run: libFuzzer stops itself after `seconds`; `timeout` is the
# backstop should a run ever fail to.
run_one() {
  local n=$1
  local saved="fuzz/corpus/$n"
  mkdir -p "$work/$n" "$scratch/$n"
  local dirs=("$work/$n")
  [[ -d $saved ]] && dirs+=("$saved")
  TMPDIR="$scratch/$n" timeout -k 10 $((seconds + 120)) "$build/fuzz/${n}_fuzz" \
    -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 -max_len=65536 \
    -print_final_stats=1 -artifact_prefix="$artifacts/$n-" "${dirs[@]}" >"$logs/$n.log" 2>&1
}

declare -A pid_of=()
failed=()
finish() {
  local n=$1
  if wait "${pid_of[$n]}"; then
    echo "fuzz: $n: ok ($(grep -m1 -o 'stat::number_of_executed_units: *[0-9]*' "$logs/$n.log" | grep -o '[0-9]*$' || echo '?') runs)"
  else
    echo "fuzz: $n: FAILED, log $logs/$n.log:"
    grep -E 'ERROR|SUMMARY|check failed|Test unit written|#[0-9]+ 0x' "$logs/$n.log" | head -40 || tail -40 "$logs/$n.log"
    failed+=("$n")
  fi
  unset "pid_of[$n]"
}

running=()
for n in "${names[@]}"; do
  if ((${#running[@]} >= jobs)); then
    finish "${running[0]}"
    running=("${running[@]:1}")
  fi
  run_one "$n" &
  pid_of[$n]=$!
  running+=("$n")
done
for n in "${running[@]}"; do finish "$n"; done
rm -rf "$scratch"

if ((${#failed[@]})); then
  echo "fuzz: failed: ${failed[*]} (inputs in $artifacts)"
  exit 1
fi
echo "fuzz: all ${#names[@]} targets ran ${seconds} s each without a failure"
