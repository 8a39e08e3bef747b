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

game=7
task=7001
piece=65536
port=${VR_DEMO_PORT:-18407}
demo=$(mktemp -d /tmp/vr_demo.XXXXXX)
www="$demo/www"
mkdir -p "$www/game/data" "$www/seeds" "$www/update_task/md5task" "$www/update_dll" "$demo/nginx/logs" \
  "$demo/nginx/tmp" "$demo/nginx/cdnquery" "$demo/launcher" "$demo/downloads" "$demo/appdata"
nginx_pid=
host_pid=
cleanup() {
  if [[ -n $host_pid ]] && kill -0 "$host_pid" 2>/dev/null; then
    "$host" stop "$game" >/dev/null 2>&1 || true
    for _ in $(seq 1 100); do kill -0 "$host_pid" 2>/dev/null || break; sleep 0.1; done
    kill "$host_pid" 2>/dev/null || true
  fi
  if [[ -n $nginx_pid ]]; then kill "$nginx_pid" 2>/dev/null || true; fi
  echo "demo folder (logs, downloads): $demo"
}
trap cleanup EXIT

upper() { tr 'a-f' 'A-F'; }
md5of() { md5sum "$1" | cut -d' ' -f1; }

# The task: two files of random bytes, cut into pieces for the seed.
files_xml=
list_items=
index=0
for size in 3000000 1200000; do
  name="file$index.bin"
  path="$www/game/data/$name"
  head -c "$size" /dev/urandom >"$path"
  blocks=
  split -b "$piece" -d -a 6 "$path" "$demo/piece."
  for p in "$demo"/piece.*; do blocks+=$(md5of "$p" | upper); rm -f "$p"; done
  file_md5=$(md5of "$path" | upper)
  files_xml+="<file><fileindex>$index</fileindex><filemd5>$file_md5</filemd5><filename>data\\$name</filename>"
  files_xml+="<filesize>$size</filesize><fileblock_md5len>${#blocks}</fileblock_md5len>"
  files_xml+="<fileblock_md5>$blocks</fileblock_md5></file>"$'\n'
  list_items+=" data/$name,$file_md5"
  [[ $index == 0 ]] && first_md5=$file_md5
  index=$((index + 1))
done
printf '<?xml version="1.0"?>\n<task gameid="%s"><taskid>%s</taskid><blocksize>%s</blocksize><srcdir>game</srcdir><filecount>%s</filecount><filelist>\n%s</filelist>\n</task>\n' \
  "$game" "$task" "$piece" "$index" "$files_xml" >"$www/seeds/$task.xml"
seed_md5=$(md5of "$www/seeds/$task.xml")
base="http://127.0.0.1:$port"
line="demo $game $task 1-2 $seed_md5 $base/seeds/$task.xml -1 {(demo task)} ($list_items )"
echo "$line" >"$www/update_task/task_list.txt"
printf '%s\r\n%s\r\n' "$base/game/data/file0.bin" "$base/game/data/file1.bin" >"$demo/nginx/cdnquery/$task.txt"
cat >"$www/update_dll/p2sp_config.ini" <<INI
[Preferred_Settings]
RIS_SOUTH=127.0.0.1
RIS_SOUTH_PORT=1
RIS_NORTH=127.0.0.1
RIS_NORTH_PORT=1
write_log=true
INI

cat >"$demo/nginx/nginx.conf" <<CONF
daemon off;
master_process off;
worker_processes 1;
pid $demo/nginx/nginx.pid;
error_log $demo/nginx/logs/error.log warn;
events { worker_connections 512; }
http {
  access_log $demo/nginx/logs/access.log;
  client_body_temp_path $demo/nginx/tmp/body;
  proxy_temp_path $demo/nginx/tmp/proxy;
  fastcgi_temp_path $demo/nginx/tmp/fastcgi;
  uwsgi_temp_path $demo/nginx/tmp/uwsgi;
  scgi_temp_path $demo/nginx/tmp/scgi;
  default_type application/octet-stream;
  server {
    listen 127.0.0.1:$port;
    root $www;
    limit_rate 100k;
    location = /cdnquery.php {
      default_type text/plain;
      root $demo/nginx;
      try_files /cdnquery/\$arg_taskid.txt =404;
    }
  }
}
CONF
/usr/sbin/nginx -p "$demo/nginx" -c "$demo/nginx/nginx.conf" &
nginx_pid=$!
for _ in $(seq 1 50); do
  (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
  kill -0 "$nginx_pid" 2>/dev/null || { echo "nginx did not start (port $port taken? set VR_DEMO_PORT)"; exit 1; }
  sleep 0.1
done

# Every folder and server of the service inside the demo folder / on 127.0.0.1.
export VR_APPDATA_DIR="$demo/appdata" VR_RUNTIME_DIR="$demo/run" VR_SYSTEM_DIR="$demo/system"
export VR_QORN_DIR="$demo/downloads" VR_MODULE_DIR="$demo/module" VR_REGISTRY_DIR="$demo/registry"
export VR_VELMAR_DIR="$demo/velmar" VR_LAN_BROADCAST=127.0.0.1
export VR_RIS_SOUTH=127.0.0.1:1 VR_RIS_NORTH=127.0.0.1:1 VR_LOG_SERVER=127.0.0.1:1
export VR_ROUTE_SERVER=127.0.0.1:1 VR_BOOTLOG_SERVER=127.0.0.1:1 VR_DATALOG_SERVER=127.0.0.1:1
export VR_UPNP_ROOTDESC=http://127.0.0.1:1/rootDesc.xml
export VR_UPDATE_SERVER="127.0.0.1:$port" VR_TASK_SERVER="127.0.0.1:$port" VR_CDN_QUERY_URL="127.0.0.1:$port"
export VR_FALLBACK_TASK_SERVER=127.0.0.1:1
mkdir -p "$VR_MODULE_DIR" "$VR_REGISTRY_DIR"

(cd "$demo" && exec "$host" start "$game") >"$demo/host.out" 2>&1 &
host_pid=$!
for _ in $(seq 1 100); do
  [[ -f "$demo/appdata/ZVK/velmar_game$game.ini" ]] && break
  sleep 0.1
done

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
