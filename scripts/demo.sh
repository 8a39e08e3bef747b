#!/usr/bin/env bash
# A local demo of the whole road: builds the service, generates a download
# task (files, seed document, task list, CDN answer) served by a private
# nginx on 127.0.0.1, starts the service for game 7 in the background and
# drives one download with the launcher client, printing its progress,
# then checks the downloaded files and stops everything. Nothing leaves
# the machine; everything lives in one temporary folder.
set -euo pipefail
cd "$(dirname "$0")/.."
root_dir=$(pwd)
if [[ ${VR_DEMO_SKIP_SETUP:-} != 1 ]]; then bash scripts/setup.sh; fi
build=${VR_BUILD_DIR:-build/release}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVR_TESTS=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target vr_host vr_launcher vr_download
host="$root_dir/$build/tools/vr_host"
launcher="$root_dir/$build/tools/vr_launcher"

source scripts/lib/local_task.sh
game=7
task=7001
piece=65536
LT_PORT=${VR_DEMO_PORT:-18407}
demo=$(mktemp -d /tmp/vr_demo.XXXXXX)
www="$demo/www"
nginx_pid=
host_pid=
cleanup() {
  lt_stop_service "$host" "$game"
  if [[ -n $nginx_pid ]]; then kill "$nginx_pid" 2>/dev/null || true; fi
  echo "demo folder (logs, downloads): $demo"
}
trap cleanup EXIT

# The task: two files of random bytes, cut into pieces for the seed; nginx
# serves them at 100 KB/s per answer so the progress can be watched.
lt_make_task "$demo" "$game" "$task" "$piece" 3000000 1200000
lt_start_nginx "$demo" 100k || { echo "set VR_DEMO_PORT"; exit 1; }
lt_service_env "$demo"
lt_start_service "$demo" "$host" "$game"

call() { "$launcher" --game "$game" "$@"; }
field() { sed -n "s|.*<$1>\(.*\)</$1>.*|\1|p" | head -1; }
call register_client path="$demo/launcher/" | grep -q "Register Client OK" || { echo "register_client failed"; exit 1; }
echo "== settings"; call getsetting | sed -n 's|.*<result[^>]*>||; s|</result>||; /^<[A-Z_]*>/p'
echo "== start_download_file $first_md5"
call start_download_file filename=file0.bin file_md5="$first_md5" highlevel=1 | grep -q "Start Download File" \
  || { echo "start_download_file failed"; exit 1; }
state=
for _ in $(seq 1 240); do
  info=$(call get_task_info file_md5="$first_md5")
  state=$(field TASK_STATE <<<"$info")
  printf 'state %-3s progress %-6s speed %s KB/s\n' "$state" "$(field DOWN_PROCESS <<<"$info")" \
    "$(field DOWN_SPEED <<<"$info")"
  [[ $state == 2 ]] && break
  sleep 0.5
done
[[ $state == 2 ]] || { echo "the download did not complete; see $demo/vr_download_dll.log"; exit 1; }
for name in file0.bin file1.bin; do
  if cmp -s "$www/game/data/$name" "$demo/downloads/game/data/$name"; then
    echo "$name: downloaded and identical"
  else
    echo "$name: differs"; exit 1
  fi
done
