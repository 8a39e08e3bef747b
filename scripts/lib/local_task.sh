# Shell helpers shared by the local demo and the service benchmark: a
# download task served by a private nginx on 127.0.0.1, and a service whose
# every folder and server lies inside one temporary folder. Source it; the
# functions set the globals they name.

upper() { tr 'a-f' 'A-F'; }
md5of() { md5sum "$1" | cut -d' ' -f1; }

# lt_make_task DIR GAME TASK PIECE SIZE... : files of random bytes under
# DIR/www/game/data (file0.bin, file1.bin, ...), their seed document, the
# task list and the CDN query's answer. Sets first_md5 (the first file's MD5).
lt_make_task() {
  local dir=$1 game=$2 task=$3 piece=$4
  shift 4
  local www="$dir/www" files_xml= list_items= index=0 size name path blocks file_md5 p
  mkdir -p "$www/game/data" "$www/seeds" "$www/update_task/md5task" "$www/update_dll" "$dir/nginx/cdnquery"
  for size in "$@"; do
    name="file$index.bin"
    path="$www/game/data/$name"
    head -c "$size" /dev/urandom >"$path"
    blocks=
    split -b "$piece" -d -a 6 "$path" "$dir/piece."
    for p in "$dir"/piece.*; do blocks+=$(md5of "$p" | upper); rm -f "$p"; done
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
  local seed_md5 base="http://127.0.0.1:$LT_PORT" urls=
  seed_md5=$(md5of "$www/seeds/$task.xml")
  echo "demo $game $task 1-2 $seed_md5 $base/seeds/$task.xml -1 {(demo task)} ($list_items )" \
    >"$www/update_task/task_list.txt"
  for ((p = 0; p < index; p++)); do urls+="$base/game/data/file$p.bin"$'\r\n'; done
  printf '%s' "$urls" >"$dir/nginx/cdnquery/$task.txt"
  cat >"$www/update_dll/p2sp_config.ini" <<INI
[Preferred_Settings]
RIS_SOUTH=127.0.0.1
RIS_SOUTH_PORT=1
RIS_NORTH=127.0.0.1
RIS_NORTH_PORT=1
write_log=true
INI
}

# lt_start_nginx DIR RATE [ADDRESS] : serves DIR/www on ADDRESS:$LT_PORT
# (127.0.0.1 by default; RATE "0" for no rate limit), logging each
# request's URI, status, bytes sent, range, client address and end time
# (the first four are what the benches read). Sets nginx_pid.
lt_start_nginx() {
  local dir=$1 rate=$2 address=${3:-127.0.0.1}
  mkdir -p "$dir/nginx/logs" "$dir/nginx/tmp"
  cat >"$dir/nginx/nginx.conf" <<CONF
daemon off;
master_process off;
worker_processes 1;
pid $dir/nginx/nginx.pid;
error_log $dir/nginx/logs/error.log warn;
events { worker_connections 1024; }
http {
  log_format sent '\$request_uri \$status \$bytes_sent "\$http_range" \$remote_addr \$msec';
  access_log $dir/nginx/logs/access.log sent;
  client_body_temp_path $dir/nginx/tmp/body;
  proxy_temp_path $dir/nginx/tmp/proxy;
  fastcgi_temp_path $dir/nginx/tmp/fastcgi;
  uwsgi_temp_path $dir/nginx/tmp/uwsgi;
  scgi_temp_path $dir/nginx/tmp/scgi;
  default_type application/octet-stream;
  server {
    listen $address:$LT_PORT;
    root $dir/www;
    limit_rate $rate;
    location = /cdnquery.php {
      default_type text/plain;
      root $dir/nginx;
      try_files /cdnquery/\$arg_taskid.txt =404;
    }
  }
}
CONF
  /usr/sbin/nginx -p "$dir/nginx" -c "$dir/nginx/nginx.conf" &
  nginx_pid=$!
  local _
  for _ in $(seq 1 50); do
    (exec 3<>"/dev/tcp/$address/$LT_PORT") 2>/dev/null && return 0
    kill -0 "$nginx_pid" 2>/dev/null || { echo "nginx did not start (port $LT_PORT taken?)"; return 1; }
    sleep 0.1
  done
  echo "nginx did not answer on port $LT_PORT"
  return 1
}

# lt_service_env DIR : every folder and server of the service inside DIR /
# on 127.0.0.1, the task and CDN servers at $LT_PORT.
lt_service_env() {
  local dir=$1
  export VR_APPDATA_DIR="$dir/appdata" VR_RUNTIME_DIR="$dir/run" VR_SYSTEM_DIR="$dir/system"
  export VR_QORN_DIR="$dir/downloads" VR_MODULE_DIR="$dir/module" VR_REGISTRY_DIR="$dir/registry"
  export VR_VELMAR_DIR="$dir/velmar" VR_LAN_BROADCAST=127.0.0.1
  export VR_RIS_SOUTH=127.0.0.1:1 VR_RIS_NORTH=127.0.0.1:1 VR_LOG_SERVER=127.0.0.1:1
  export VR_ROUTE_SERVER=127.0.0.1:1 VR_BOOTLOG_SERVER=127.0.0.1:1 VR_DATALOG_SERVER=127.0.0.1:1
  export VR_UPNP_ROOTDESC=http://127.0.0.1:1/rootDesc.xml
  export VR_UPDATE_SERVER="127.0.0.1:$LT_PORT" VR_TASK_SERVER="127.0.0.1:$LT_PORT" VR_CDN_QUERY_URL="127.0.0.1:$LT_PORT"
  export VR_FALLBACK_TASK_SERVER=127.0.0.1:1
  mkdir -p "$VR_MODULE_DIR" "$VR_REGISTRY_DIR" "$dir/launcher" "$dir/downloads"
}

# lt_start_service DIR HOST GAME : runs the host in DIR in the background and
# waits for the service's information file. Sets host_pid.
lt_start_service() {
  local dir=$1 host=$2 game=$3 _
  (cd "$dir" && exec "$host" start "$game") >>"$dir/host.out" 2>&1 &
  host_pid=$!
  for _ in $(seq 1 200); do
    [[ -f "$dir/appdata/ZVK/velmar_game$game.ini" ]] && return 0
    sleep 0.05
  done
  echo "the service did not start; see $dir/host.out"
  return 1
}

# lt_stop_service HOST GAME : stops the service started above (bounded).
lt_stop_service() {
  local host=$1 game=$2 _
  [[ -n ${host_pid:-} ]] && kill -0 "$host_pid" 2>/dev/null || return 0
  "$host" stop "$game" >/dev/null 2>&1 || true
  for _ in $(seq 1 100); do kill -0 "$host_pid" 2>/dev/null || break; sleep 0.1; done
  kill "$host_pid" 2>/dev/null || true
  wait "$host_pid" 2>/dev/null || true
  host_pid=
}

# lt_release_tools : sets host and launcher: those in $VR_BENCH_TOOLS when
# set (another tree's, to compare), else this tree's release build in
# ${VR_BENCH_BUILD_DIR:-build/release}, built now. Run from the tree's root.
lt_release_tools() {
  if [[ -n ${VR_BENCH_TOOLS:-} ]]; then
    host="$VR_BENCH_TOOLS/vr_host"
    launcher="$VR_BENCH_TOOLS/vr_launcher"
    return 0
  fi
  local build=${VR_BENCH_BUILD_DIR:-build/release}
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVR_TESTS=OFF >/dev/null
  cmake --build "$build" -j "$(nproc)" --target vr_host vr_launcher vr_download >/dev/null
  host="$(pwd)/$build/tools/vr_host"
  launcher="$(pwd)/$build/tools/vr_launcher"
}

# lt_bench_folder NAME : a new folder /tmp/NAME.XXXXXX in dir, and an exit
# trap that stops the service (of $host, $game) and nginx and removes the
# folder unless VR_BENCH_KEEP is 1.
lt_bench_folder() {
  dir=$(mktemp -d "/tmp/$1.XXXXXX")
  nginx_pid=
  host_pid=
  trap lt_bench_cleanup EXIT
}
lt_bench_cleanup() {
  lt_stop_service "$host" "$game"
  if [[ -n $nginx_pid ]]; then kill "$nginx_pid" 2>/dev/null || true; fi
  [[ ${VR_BENCH_KEEP:-} == 1 ]] || rm -rf "$dir"
}
