#!/usr/bin/env bash
# What finished tasks cost while nothing downloads. For each count N the
# release service, with a task server (nginx on 127.0.0.1) listing N small
# tasks, is asked for all N at once (the first starts, timed per call), has
# them downloaded, and is then started again so that it loads them back
# finished, to seed. Once they are all loaded it is left idle for IDLE
# seconds, RUNS times, and each time its threads, CPU (% of a core), wake-ups
# per second (voluntary and involuntary context switches of all its
# threads) and resident memory are read from /proc, and get_task_info is
# timed 50 times. Last, a level-1 start of one more task: the service's CPU
# from that start until its TASK_STATE is 2, the fewest threads seen
# meanwhile, and the states a finished task answered meanwhile.
#   bench/idle_tasks.sh [RUNS] [IDLE] [N...]        (defaults: 3 20 10 100 500)
# With "together" first: N small tasks (default 50) started at once through
# the launcher client (16 launchers side by side) into a fresh service,
# timed until every one answers TASK_STATE 2 (asked 16 at a time), and
# beside it aria2c -jN fetching the same N files from the same nginx;
# ROUNDS rounds of each, taken in turn, as min / median / max and the
# ratio of the medians.
#   bench/idle_tasks.sh together [ROUNDS] [N]       (defaults: 3 50)
# VR_BENCH_TOOLS=DIR compares another tree's build (see scripts/lib/local_task.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
mode=idle
if [[ ${1:-} == together ]]; then
  mode=together
  shift
fi
runs=${1:-3}
idle=${2:-20}
settle=${VR_BENCH_SETTLE:-20}
shift 2 || true
counts=("$@")
((${#counts[@]})) || counts=(10 100 500)
source scripts/lib/local_task.sh
lt_release_tools
game=9
LT_PORT=${VR_BENCH_PORT:-18419}
hz=$(getconf CLK_TCK)

call() { "$launcher" --game "$game" "$@"; }
field() { sed -n "s|.*<$1>\(.*\)</$1>.*|\1|p" | head -1; }
now() { date +%s.%N; }
cpu_ticks() { awk '{ sub(/.*\) /, ""); print $12 + $13 }' "/proc/$host_pid/stat"; }
switches() { cat /proc/"$host_pid"/task/*/status 2>/dev/null | awk '/ctxt_switches/ { s += $2 } END { print s }'; }
threads() { awk '/^Threads/ { print $2 }' "/proc/$host_pid/status"; }
rss_kib() { awk '/^VmRSS/ { print $2 }' "/proc/$host_pid/status"; }

# make_tasks N: N tasks of one 48 KiB file each, their seeds, the task list
# and the CDN query's answers.
make_tasks() {
  python3 - "$dir/www" "$game" "$1" "$LT_PORT" <<'PY'
import hashlib, os, sys
www, game, n, port = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4]
for d in ("game/data", "seeds", "update_task/md5task", "update_dll"):
    os.makedirs(os.path.join(www, d), exist_ok=True)
lines, md5s = [], []
for i in range(n):
    task, name = 20000 + i, "t%d.bin" % i
    data = os.urandom(49152)
    open(os.path.join(www, "game/data", name), "wb").write(data)
    md5 = hashlib.md5(data).hexdigest().upper()
    blocks = "".join(hashlib.md5(data[o:o + 32768]).hexdigest().upper() for o in range(0, len(data), 32768))
    seed = ('<?xml version="1.0"?>\n<task gameid="%s"><taskid>%d</taskid><blocksize>32768</blocksize>'
            '<srcdir>game</srcdir><filecount>1</filecount><filelist>\n<file><fileindex>0</fileindex>'
            '<filemd5>%s</filemd5><filename>data\\%s</filename><filesize>%d</filesize>'
            '<fileblock_md5len>%d</fileblock_md5len><fileblock_md5>%s</fileblock_md5></file>\n'
            '</filelist>\n</task>\n') % (game, task, md5, name, len(data), len(blocks), blocks)
    path = os.path.join(www, "seeds", "%d.xml" % task)
    open(path, "w").write(seed)
    seed_md5 = hashlib.md5(open(path, "rb").read()).hexdigest()
    lines.append("t%d %s %d 1-2 %s http://127.0.0.1:%s/seeds/%d.xml -1 {(task %d)} ( data/%s,%s )"
                 % (i, game, task, seed_md5, port, task, i, name, md5))
    md5s.append(md5)
    os.makedirs(os.path.join(www, "../nginx/cdnquery"), exist_ok=True)
    open(os.path.join(www, "../nginx/cdnquery/%d.txt" % task), "w").write(
        "http://127.0.0.1:%s/game/data/%s\r\n" % (port, name))
open(os.path.join(www, "update_task/task_list.txt"), "w").write("\n".join(lines) + "\n")
open(os.path.join(www, "../md5s"), "w").write("\n".join(md5s) + "\n")
ini = "[Preferred_Settings]\nRIS_SOUTH=127.0.0.1\nRIS_SOUTH_PORT=1\nRIS_NORTH=127.0.0.1\nRIS_NORTH_PORT=1\n"
open(os.path.join(www, "update_dll/p2sp_config.ini"), "w").write(ini)
PY
}

state_of() { call get_task_info file_md5="$1" | field TASK_STATE; }
# wait_all_finished: every task answers TASK_STATE 2 (bounded).
wait_all_finished() {
  local md5 deadline=$((SECONDS + 600))
  while read -r md5; do
    until [[ $(state_of "$md5") == 2 ]]; do
      ((SECONDS < deadline)) || { echo "tasks did not finish; see $dir/vr_download_dll.log"; exit 1; }
      sleep 0.2
    done
  done <"$dir/md5s"
}
# pct3 FILE: min / median / max of the numbers in FILE
pct3() { sort -g "$1" | awk '{ v[NR] = $1 } END { printf "%s / %s / %s", v[1], v[int((NR + 1) / 2)], v[NR] }'; }
# p99 FILE: the 99th percentile of the numbers in FILE
p99() { sort -g "$1" | awk '{ v[NR] = $1 } END { i = int(NR * 0.99 + 0.5); if (i < 1) i = 1; print v[i] }'; }

one_count() {
  local n=$1
  lt_bench_folder vr_idle
  mkdir -p "$dir/www"
  make_tasks "$((n + 1))"
  # The last task is kept for the level-1 start.
  tail -1 "$dir/md5s" >"$dir/extra_md5"
  sed -i '$d' "$dir/md5s"
  lt_start_nginx "$dir" 0
  lt_service_env "$dir"
  lt_start_service "$dir" "$host" "$game"
  call register_client path="$dir/launcher/" | grep -q "Register Client OK" || { echo "register_client failed"; exit 1; }

  # First starts, all at once (8 launchers side by side), each call timed.
  local t0 t1
  t0=$(now)
  xargs -P 8 -I{} bash -c 'a=$(date +%s%N); "$0" --game "$1" start_download_file filename=x file_md5={} highlevel=0 >/dev/null; echo $((($(date +%s%N) - a) / 1000000))' \
    "$launcher" "$game" <"$dir/md5s" >"$dir/start_ms"
  t1=$(now)
  local starts_total starts_p99
  starts_total=$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.2f", b - a }')
  starts_p99=$(p99 "$dir/start_ms")
  wait_all_finished
  lt_stop_service "$host" "$game"

  # Loaded back finished (the information file is written again once it
  # serves).
  rm -f "$dir/appdata/ZVK/velmar_game$game.ini"
  lt_start_service "$dir" "$host" "$game"
  call register_client path="$dir/launcher/" >/dev/null
  # The launcher names one of them again, as it would at its start.
  call start_download_file filename=x file_md5="$(head -1 "$dir/md5s")" highlevel=0 >/dev/null
  # The first pass loads them all; each is checked and added in turn.
  sleep "$settle"
  : >"$dir/threads" ; : >"$dir/cpu" ; : >"$dir/wake" ; : >"$dir/rss" ; : >"$dir/info_ms"
  local r c0 c1 s0 s1 first_md5
  first_md5=$(head -1 "$dir/md5s")
  for ((r = 1; r <= runs; r++)); do
    c0=$(cpu_ticks); s0=$(switches)
    sleep "$idle"
    c1=$(cpu_ticks); s1=$(switches)
    threads >>"$dir/threads"
    awk -v a="$c0" -v b="$c1" -v t="$idle" -v hz="$hz" 'BEGIN { printf "%.2f\n", 100 * (b - a) / hz / t }' >>"$dir/cpu"
    awk -v a="$s0" -v b="$s1" -v t="$idle" 'BEGIN { printf "%.0f\n", (b - a) / t }' >>"$dir/wake"
    rss_kib >>"$dir/rss"
    for _ in $(seq 1 50); do
      local a; a=$(date +%s%N)
      call get_task_info file_md5="$first_md5" >/dev/null
      echo $((($(date +%s%N) - a) / 1000000)) >>"$dir/info_ms"
    done
  done
  local info_p99
  info_p99=$(p99 "$dir/info_ms")

  # A level-1 start beside them.
  local extra fewest states c2 c3 st deadline
  extra=$(cat "$dir/extra_md5")
  fewest=$(threads)
  : >"$dir/states"
  c2=$(cpu_ticks)
  call start_download_file filename=x file_md5="$extra" highlevel=1 >/dev/null
  deadline=$((SECONDS + 120))
  until [[ $(state_of "$extra") == 2 ]]; do
    ((SECONDS < deadline)) || { echo "the level-1 task did not finish"; exit 1; }
    st=$(threads); ((st < fewest)) && fewest=$st
    state_of "$first_md5" >>"$dir/states"
    sleep 0.1
  done
  sleep 3   # the pass after it: level 0 comes back
  st=$(threads); ((st < fewest)) && fewest=$st
  state_of "$first_md5" >>"$dir/states"
  c3=$(cpu_ticks)
  states=$(uniq "$dir/states" | paste -sd' ')
  lt_stop_service "$host" "$game"
  kill "$nginx_pid" 2>/dev/null || true
  nginx_pid=

  echo "N=$n  threads $(pct3 "$dir/threads")  idle CPU % $(pct3 "$dir/cpu")  wake-ups/s $(pct3 "$dir/wake")  RSS KiB $(pct3 "$dir/rss")"
  echo "N=$n  first starts: all $starts_total s, p99 ${starts_p99} ms;  get_task_info p99 ${info_p99} ms"
  echo "N=$n  level-1 start: CPU $(awk -v a="$c2" -v b="$c3" -v hz="$hz" 'BEGIN { printf "%.2f", (b - a) / hz }') s, fewest threads $fewest, a finished task's states: $states"
  lt_bench_cleanup
  trap - EXIT
}

# sweep: the MD5s of $dir/left not yet at TASK_STATE 2, asked side by side.
sweep() {
  # shellcheck disable=SC2016
  xargs -P "$side" -I{} bash -c \
    '[[ $("$0" --game "$1" get_task_info file_md5="$2" | grep -o "<TASK_STATE>[^<]*" | head -1) == "<TASK_STATE>2" ]] || echo "$2"' \
    "$launcher" "$game" {} <"$dir/left"
}
# wait_together: every task of $dir/md5s answers TASK_STATE 2 (bounded).
wait_together() {
  local deadline=$((SECONDS + 300))
  cp "$dir/md5s" "$dir/left"
  while [[ -s $dir/left ]]; do
    ((SECONDS < deadline)) || { echo "tasks did not finish; see $dir/vr_download_dll.log"; exit 1; }
    sweep >"$dir/still"
    mv "$dir/still" "$dir/left"
  done
  cp "$dir/md5s" "$dir/left"
}
# since T0 [T1]: seconds from T0 to T1 (now by default), on a line.
since() { awk -v a="$1" -v b="${2:-$(now)}" 'BEGIN { printf "%.2f\n", b - a }'; }
# median FILE
median() { sort -g "$1" | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
# same_files FOLDER: the .bin files in FOLDER are exactly the tasks' files.
same_files() {
  (cd "$1" && md5sum ./*.bin) | awk '{ print toupper($1) }' | sort | cmp -s - <(sort "$dir/md5s")
}
# together ROUNDS N: see the head of this file.
together() {
  local rounds=$1 n=$2 r t0 t1 s0
  # The service serves 32 launcher connections at a time and refuses more.
  local side=$((n < 16 ? n : 16))
  command -v aria2c >/dev/null || { echo "aria2c is missing (scripts/setup.sh)"; exit 1; }
  lt_bench_folder vr_together
  mkdir -p "$dir/www"
  make_tasks "$n"
  lt_start_nginx "$dir" 0
  lt_service_env "$dir"
  seq 0 $((n - 1)) | sed "s|.*|http://127.0.0.1:$LT_PORT/game/data/t&.bin|" >"$dir/urls"
  : >"$dir/service_s" ; : >"$dir/aria2c_s" ; : >"$dir/sweep_s" ; : >"$dir/answered_s"
  for ((r = 1; r <= rounds; r++)); do
    rm -rf "$dir/appdata" "$dir/launcher" "$dir/downloads" "$dir/registry" "$dir/run" "$dir/velmar" "$dir/module"
    lt_service_env "$dir"
    lt_start_service "$dir" "$host" "$game"
    call register_client path="$dir/launcher/" | grep -q "Register Client OK" || { echo "register_client failed"; exit 1; }
    t0=$(now)
    xargs -P "$side" -I{} "$launcher" --game "$game" start_download_file filename=x file_md5={} highlevel=0 \
      <"$dir/md5s" >/dev/null
    since "$t0" >>"$dir/answered_s"
    wait_together
    t1=$(now)
    # What one sweep over finished tasks adds to the service's figure.
    s0=$(now)
    sweep >/dev/null
    since "$s0" >>"$dir/sweep_s"
    lt_stop_service "$host" "$game"
    since "$t0" "$t1" >>"$dir/service_s"
    same_files "$dir/downloads/game/data" || { echo "service: the files differ"; exit 1; }

    rm -rf "$dir/aria2c_out"
    t0=$(now)
    aria2c -q -j "$n" -d "$dir/aria2c_out" -i "$dir/urls" || { echo "aria2c failed"; exit 1; }
    since "$t0" >>"$dir/aria2c_s"
    same_files "$dir/aria2c_out" || { echo "aria2c: the files differ"; exit 1; }
  done
  echo "N=$n started together, s until all finished (min / median / max of $rounds):"
  echo "  service     $(pct3 "$dir/service_s")"
  echo "  aria2c -j$n  $(pct3 "$dir/aria2c_s")"
  echo "  (of the service's: every start answered $(pct3 "$dir/answered_s");"
  echo "   one last sweep of get_task_info over the $n, $(pct3 "$dir/sweep_s"))"
  awk -v s="$(median "$dir/service_s")" -v a="$(median "$dir/aria2c_s")" 'BEGIN { printf "  service / aria2c (medians) %.2f\n", s / a }'
}

if [[ $mode == together ]]; then
  together "$runs" "${2:-50}"
  exit 0
fi
for n in "${counts[@]}"; do
  one_count "$n"
done
