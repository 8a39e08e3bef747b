#!/usr/bin/env bash
# Real patch shapes, fetched side by side from one nginx on 127.0.0.1 by the
# release service (driven as a launcher drives it: start_download_file for
# each task, get_task_info every 20 ms until every TASK_STATE is 2), by
# aria2c (-i list -j16 -x4, or -x10 -s10 for one file) and by curl
# --parallel, in turn, RUNS times. Each run's bytes are compared with the
# source. Per tool, min / median / max of: wall time, server egress (the
# access log's bytes sent over the files' bytes), connections opened, peak
# RSS, CPU seconds; for the service also when its first request reached the
# server; and the service / aria2c time ratio run by run.
#   bench/patch_download.sh WORKLOAD [RUNS] [SCALE%] [TIMEOUT_S]
# WORKLOAD: tree, patch, three, big, piece-min, piece-max (see
# bench/patch_workload.py); SCALE shrinks the files for a quick run.
set -euo pipefail
cd "$(dirname "$0")/.."
workload=${1:?workload: tree, patch, three, big, piece-min or piece-max}
runs=${2:-3}
scale=${3:-100}
limit=${4:-300}
source scripts/lib/local_task.sh
# VR_BENCH_TOOLS: a folder with vr_host and vr_launcher already built (the
# tree is then not built).
lt_release_tools
for tool in aria2c curl python3 /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "$tool is missing (scripts/setup.sh)"; exit 1; }
done

game=9
LT_PORT=${VR_BENCH_PORT:-18428}
lt_bench_folder vr_patch

echo "patch_download: laying out '$workload' at $scale % in $dir"
python3 bench/patch_workload.py "$dir" "$LT_PORT" "$game" "$workload" "$scale"
total=$(cat "$dir/total")
mapfile -t starts <"$dir/tasks"
files=$(grep -c '^  out=' "$dir/aria2.list")
lt_start_nginx "$dir" 0
# The shared server logs no connection numbers: this one does, and the
# times at which requests began.
# shellcheck disable=SC2016  # nginx's variables, not the shell's
sed -i 's|log_format sent .*|log_format sent '"'"'$connection $msec $request_time $status $bytes_sent $request_uri'"'"';|' \
  "$dir/nginx/nginx.conf"
kill "$nginx_pid"; wait "$nginx_pid" 2>/dev/null || true
/usr/sbin/nginx -p "$dir/nginx" -c "$dir/nginx/nginx.conf" &
nginx_pid=$!
for _ in $(seq 1 50); do (exec 3<>"/dev/tcp/127.0.0.1/$LT_PORT") 2>/dev/null && break; sleep 0.1; done
lt_service_env "$dir"
log="$dir/nginx/logs/access.log"
out="$dir/out"

now() { date +%s.%N; }
call() { "$launcher" --game "$game" "$@"; }
field() { sed -n "s|.*<$1>\(.*\)</$1>.*|\1|p" | head -1; }
# nginx appends to its log, so emptying it starts a new count.
egress_reset() { : >"$log"; }
# egress (x the files' bytes), connections, first file request's start after T0
served() {
  awk -v total="$total" -v t0="$1" '{ s += $5; c[$1] = 1; b = $2 - $3; if ($6 ~ /^\/game\// && (first == "" || b < first)) first = b }
    END { n = 0; for (k in c) n++; printf "%.3f %d %.3f", s / total, n, (first == "" ? -1 : first - t0) }' "$log"
}
# CPU seconds the process has used so far.
proc_cpu() { awk -v hz="$(getconf CLK_TCK)" '{ sub(/.*\) /, ""); printf "%.2f", ($12 + $13) / hz }' "/proc/$1/stat"; }
same() {
  local diffs
  diffs=$(diff -rq "$dir/www/game" "$1" 2>&1 | grep -v "^Only in $1" || true)
  [[ -z $diffs ]] || { echo "$2: the downloaded files differ: $(head -3 <<<"$diffs")" >&2; return 1; }
}

# free_previous: removes the previous run's output (whichever tool wrote
# it) right before a start, so that every run begins alike. This machine
# is a virtual one whose guest hands memory that is freed, or left idle
# for a few seconds, back to its host; taking such memory again costs a
# fault in the host per page. Writing 4 GiB took 2.3-3.4 s right after
# freeing a file just written, 5.3 s after freeing one written a minute
# before, and 12-14 s from memory idle for long (dd, one writer). Each run
# therefore frees the output the run just before it wrote, and a copy of
# the files stands in for it before the first. VR_BENCH_SETTLE=S waits S
# seconds after freeing, for every tool alike.
free_previous() {
  rm -rf "$dir/downloads/game" "$out"
  mkdir -p "$dir/downloads" "$out"
  [[ -z ${VR_BENCH_SETTLE:-} ]] || sleep "$VR_BENCH_SETTLE"
}

service_run() {
  rm -rf "$dir/appdata" "$dir/launcher" "$dir/registry" "$dir/run" "$dir/velmar"
  mkdir -p "$dir/launcher" "$dir/downloads" "$dir/registry"
  lt_start_service "$dir" "$host" "$game" >&2
  call register_client path="$dir/launcher/" | grep -q "Register Client OK" || { echo "register_client failed" >&2; exit 1; }
  local t0 t1 c0 c1 md5 done_all=0 state
  free_previous
  egress_reset
  c0=$(proc_cpu "$host_pid")
  t0=$(now)
  for md5 in "${starts[@]}"; do call start_download_file filename=x file_md5="$md5" highlevel=1 >/dev/null; done
  local deadline=$((SECONDS + limit))
  while ((SECONDS < deadline)); do
    done_all=1
    for md5 in "${starts[@]}"; do
      state=$(call get_task_info file_md5="$md5" | field TASK_STATE)
      [[ $state == 2 ]] || { done_all=0; break; }
    done
    ((done_all)) && break
    sleep 0.02
  done
  t1=$(now)
  c1=$(proc_cpu "$host_pid")
  local rss
  rss=$(awk '/VmHWM/ { printf "%.1f", $2 / 1024 }' "/proc/$host_pid/status")
  lt_stop_service "$host" "$game"
  # Kept with the folder (VR_BENCH_KEEP=1), to look at the requests' timing.
  cp "$log" "$dir/service_access.$(date +%s%N).log"
  if ((!done_all)); then
    echo "service: not every TASK_STATE 2 within $limit s ($(served "$t0" | cut -d' ' -f2) connections)" >&2
    echo "service-failed"
    return
  fi
  same "$dir/downloads/game" service || { echo "service-failed"; return; }
  echo "service $(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f", b - a }') $(served "$t0" | cut -d' ' -f1,2) $rss" \
    "$(awk -v a="$c0" -v b="$c1" 'BEGIN { printf "%.2f", b - a }') $(served "$t0" | cut -d' ' -f3)"
}

# tool_run NAME COMMAND...: one timed fetch into $out, as a whole process.
tool_run() {
  local name=$1 t0 t1 stats
  shift
  free_previous
  egress_reset
  t0=$(now)
  (cd "$dir" && /usr/bin/time -f '%M %U %S' -o "$dir/time.txt" "$@") || { echo "$name failed" >&2; echo "$name-failed"; return; }
  t1=$(now)
  same "$out" "$name" || { echo "$name-failed"; return; }
  stats=$(awk '{ printf "%.1f %.2f", $1 / 1024, $2 + $3 }' "$dir/time.txt")
  echo "$name $(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f", b - a }') $(served "$t0" | cut -d' ' -f1,2) $stats -"
}
aria2_run() {
  if ((files == 1)); then
    tool_run aria2c aria2c -q -x10 -s10 -d "$out" -i "$dir/aria2.list"
  else
    tool_run aria2c aria2c -q -j16 -x4 -d "$out" -i "$dir/aria2.list"
  fi
}
curl_run() { tool_run curl curl -sS --no-progress-meter --parallel --parallel-max 16 --create-dirs -K "$dir/curl.cfg"; }

results="$dir/results"
: >"$results"
mkdir -p "$dir/downloads"
cp -r "$dir/www/game" "$dir/downloads/game"
for ((r = 1; r <= runs; r++)); do
  for what in service_run aria2_run curl_run; do
    $what | tee -a "$results"
  done
done

# min / median / max of column COL for TOOL
stat() {
  awk -v t="$1" '$1 == t { print $'"$2"' }' "$results" | sort -g |
    awk '{ v[NR] = $1 } END { if (NR == 0) { print "-"; exit } printf "%s / %s / %s", v[1], v[int((NR + 1) / 2)], v[NR] }'
}
ratios() {
  awk '$1 ~ /^service/ { s[++n] = ($1 == "service" ? $2 : "") } $1 ~ /^aria2c/ { a[++m] = ($1 == "aria2c" ? $2 : "") }
    END { for (i = 1; i <= n && i <= m; i++) if (s[i] != "" && a[i] != "") print s[i] / a[i] }' "$results" |
    sort -g | awk '{ v[NR] = $1 } END { if (NR == 0) { print "-"; exit } printf "%.2f / %.2f / %.2f", v[1], v[int((NR + 1) / 2)], v[NR] }'
}
echo
echo "$workload at $scale %: $files files, $total bytes, $runs runs each (min / median / max)"
for tool in service aria2c curl; do
  printf '%-8s time %s s  egress %s x  connections %s  peak RSS %s MiB  CPU %s s  failed %s\n' "$tool" \
    "$(stat "$tool" 2)" "$(stat "$tool" 3)" "$(stat "$tool" 4)" "$(stat "$tool" 5)" "$(stat "$tool" 6)" \
    "$(grep -c "^$tool-failed" "$results" || true)"
done
echo "service first request after the start command: $(stat service 7) s"
echo "service / aria2c time, run by run: $(ratios)"
