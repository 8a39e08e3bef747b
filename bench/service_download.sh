#!/usr/bin/env bash
# Service-level download benchmark, timed as a launcher sees it: the release
# service runs in its host process, the launcher client sends
# start_download_file and polls get_task_info every 20 ms until TASK_STATE
# is 2. The same single-file task (MiB mebibytes, 1 MiB pieces) is fetched
# from one nginx on 127.0.0.1 by the service, by aria2c -x10 -s10 and by
# curl -o, in turn, RUNS times. Prints each tool's time, the server's egress
# (the access log's bytes sent) as a multiple of the file, and the service's
# peak resident memory, and the busy shares of its I/O thread (handlers) and
# of its socket-transfer thread over that time, each as min / median / max.
#   bench/service_download.sh [MiB] [RUNS]
set -euo pipefail
cd "$(dirname "$0")/.."
mib=${1:-1024}
runs=${2:-5}
source scripts/lib/local_task.sh
lt_release_tools
for tool in aria2c curl; do command -v "$tool" >/dev/null || { echo "$tool is missing (scripts/setup.sh)"; exit 1; }; done

game=9
LT_PORT=${VR_BENCH_PORT:-18417}
lt_bench_folder vr_bench

size=$((mib * 1048576))
echo "service_download: generating a $mib MiB task in $dir"
lt_make_task "$dir" "$game" 9001 1048576 "$size"
lt_start_nginx "$dir" 0
lt_service_env "$dir"
source_file="$dir/www/game/data/file0.bin"
url="http://127.0.0.1:$LT_PORT/game/data/file0.bin"
log="$dir/nginx/logs/access.log"
out="$dir/out"

now() { date +%s.%N; }
elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", b - a }'; }
# nginx appends to its log, so emptying it starts a new count.
egress_reset() { : >"$log"; }
egress() { awk -v size="$size" '{ s += $3 } END { printf "%.3f", s / size }' "$log"; }
call() { "$launcher" --game "$game" "$@"; }
field() { sed -n "s|.*<$1>\(.*\)</$1>.*|\1|p" | head -1; }
# CPU seconds the service's threads named NAME have used so far.
thread_cpu() {
  local t total=0
  for t in /proc/"$host_pid"/task/*; do
    [[ $(cat "$t/comm" 2>/dev/null) == "$1" ]] || continue
    total=$((total + $(awk '{ sub(/.*\) /, ""); print $12 + $13 }' "$t/stat")))
  done
  awk -v t="$total" -v hz="$(getconf CLK_TCK)" 'BEGIN { printf "%.3f", t / hz }'
}
# busy A B T: percent of T seconds spent between CPU readings A and B
busy() { awk -v a="$1" -v b="$2" -v t="$3" 'BEGIN { printf "%.0f", 100 * (b - a) / t }'; }
check() { cmp -s "$source_file" "$1" || { echo "$2: the downloaded file differs"; exit 1; }; }

service_run() {
  rm -rf "$dir/appdata" "$dir/launcher" "$dir/downloads" "$dir/registry" "$dir/run" "$dir/velmar"
  mkdir -p "$dir/launcher" "$dir/downloads" "$dir/registry"
  lt_start_service "$dir" "$host" "$game"
  call register_client path="$dir/launcher/" | grep -q "Register Client OK" || { echo "register_client failed"; exit 1; }
  egress_reset
  local t0 t1 state= io0 io1 tr0 tr1
  io0=$(thread_cpu session_io)
  tr0=$(thread_cpu io_transfer)
  t0=$(now)
  call start_download_file filename=file0.bin file_md5="$first_md5" highlevel=1 >/dev/null
  local deadline=$((SECONDS + 300))
  while ((SECONDS < deadline)); do
    state=$(call get_task_info file_md5="$first_md5" | field TASK_STATE)
    [[ $state == 2 ]] && break
    sleep 0.02
  done
  t1=$(now)
  io1=$(thread_cpu session_io)
  tr1=$(thread_cpu io_transfer)
  [[ $state == 2 ]] || { echo "service: no TASK_STATE 2 within 300 s (see $dir/vr_download_dll.log)"; exit 1; }
  rss=$(awk '/VmHWM/ { printf "%.1f", $2 / 1024 }' "/proc/$host_pid/status")
  lt_stop_service "$host" "$game"
  check "$dir/downloads/game/data/file0.bin" service
  local t; t=$(elapsed "$t0" "$t1")
  echo "service $t $(egress) $rss $(busy "$io0" "$io1" "$t") $(busy "$tr0" "$tr1" "$t")"
}

# tool_run NAME COMMAND...: one timed fetch of the file into $out/file0.bin.
tool_run() {
  local name=$1 t0 t1
  shift
  rm -rf "$out"; mkdir -p "$out"; egress_reset
  t0=$(now)
  "$@"
  t1=$(now)
  check "$out/file0.bin" "$name"
  echo "$name $(elapsed "$t0" "$t1") $(egress) -"
}
aria2_run() { tool_run aria2c aria2c -q -x10 -s10 -d "$out" -o file0.bin "$url"; }
curl_run() { tool_run curl curl -sS -o "$out/file0.bin" "$url"; }

results="$dir/results"
: >"$results"
for ((r = 1; r <= runs; r++)); do
  for what in service_run aria2_run curl_run; do
    $what | tee -a "$results"
  done
done

# min / median / max of column COL for TOOL
stat() { awk -v t="$1" '$1 == t { print $'"$2"' }' "$results" | sort -g |
  awk '{ v[NR] = $1 } END { if (NR == 0) { print "-"; exit } printf "%s / %s / %s", v[1], v[int((NR + 1) / 2)], v[NR] }'; }
# service time over aria2c time, run by run
ratios() { awk '$1 == "service" { s[++n] = $2 } $1 == "aria2c" { a[++m] = $2 } END { for (i = 1; i <= n && i <= m; i++) print s[i] / a[i] }' "$results" |
  sort -g | awk '{ v[NR] = $1 } END { printf "%.2f / %.2f / %.2f", v[1], v[int((NR + 1) / 2)], v[NR] }'; }
echo
echo "$mib MiB, $runs runs each (min / median / max)"
for tool in service aria2c curl; do
  printf '%-8s time %s s   egress %s x file\n' "$tool" "$(stat "$tool" 2)" "$(stat "$tool" 3)"
done
echo "service peak RSS $(stat service 4) MiB"
echo "service I/O thread busy $(stat service 5) %, socket-transfer thread busy $(stat service 6) %"
echo "service / aria2c time, run by run: $(ratios)"
