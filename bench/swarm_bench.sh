#!/usr/bin/env bash
# Swarm benchmark: many players fetching one file at once, each machine in
# its own network namespace (veth into one bridge, every machine's outgoing
# link limited with tc), run with the service and with libtorrent side by
# side on the same links and the same piece size.
#
# Machines: "origin" (nginx as task server and origin, the index servers of
# bench/swarm/index_server.py, opentracker for libtorrent), an optional
# seeder holding the whole file, and N downloaders all starting together.
# The service is driven as a launcher drives it (tools/vr_host in each
# namespace, tools/vr_launcher over XML-RPC); libtorrent runs one
# bench/swarm/lt_node.py per machine with opentracker as tracker and, where
# the origin serves, the origin as web seed.
#
# Scenarios (names for -s):
#   peers4 peers8 peers16  a seeder and 4 / 8 / 16 downloaders, no origin
#   fastseed8              a seeder 4 x faster than the 8 downloaders
#   origin4 origin8        only the origin (HTTP) and 4 / 8 downloaders
#
#   bench/swarm_bench.sh [-m MiB] [-r RUNS] [-l RATE] [-s "SCENARIOS"] [-y "service libtorrent"]
#
# Prints per run the swarm time (first start to last finish), each
# downloader's time, the origin's egress (nginx's bytes sent for the file)
# and the seeder's (its link's transmitted bytes) as multiples of the file,
# then min / median / max of each system per scenario. Needs root,
# iproute2, nginx, opentracker, python3-libtorrent (scripts/setup.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
root_dir=$(pwd)

mib=32
runs=3
rate=50mbit
scenarios="peers4 peers8 peers16 fastseed8 origin4 origin8"
systems="service libtorrent"
while getopts "m:r:l:s:y:" opt; do
  case $opt in
    m) mib=$OPTARG ;;
    r) runs=$OPTARG ;;
    l) rate=$OPTARG ;;
    s) scenarios=$OPTARG ;;
    y) systems=$OPTARG ;;
    *) sed -n 2,26p "$0"; exit 2 ;;
  esac
done
[[ $(id -u) == 0 ]] || { echo "swarm_bench: needs root (network namespaces, tc)"; exit 1; }
for tool in ip tc nginx opentracker; do
  command -v "$tool" >/dev/null || [[ -x /usr/sbin/$tool ]] || { echo "$tool is missing (scripts/setup.sh)"; exit 1; }
done
py=/usr/bin/python3
"$py" -c 'import libtorrent' 2>/dev/null || { echo "python3-libtorrent is missing (scripts/setup.sh)"; exit 1; }

# VR_BENCH_TOOLS: a folder holding vr_host and vr_launcher already built
# (another tree's, to compare); else this tree's release build.
source scripts/lib/local_task.sh
lt_release_tools
game=9
task=9001
piece=1048576
size=$((mib * 1048576))
net=10.77.$((RANDOM % 200 + 20))
origin_ip=$net.2
seeder_ip=$net.9
LT_PORT=80
tag=vs$(($$ % 10000))
dir=$(mktemp -d /tmp/vr_swarm.XXXXXX)

# ---- network ----
# Ends what runs in this benchmark's namespaces and removes them. Runs go
# in subshells, so the namespaces are found by this run's prefix.
cleanup() {
  local ns pid spaces
  spaces=$(ip netns list 2>/dev/null | awk -v p="$tag-" 'index($1, p) == 1 { print $1 }')
  [[ -n $spaces ]] || return 0
  for ns in $spaces; do
    for pid in $(ip netns pids "$ns" 2>/dev/null); do kill "$pid" 2>/dev/null || true; done
  done
  sleep 0.5
  for ns in $spaces; do
    for pid in $(ip netns pids "$ns" 2>/dev/null); do kill -9 "$pid" 2>/dev/null || true; done
    ip netns del "$ns" 2>/dev/null || true
  done
}
trap 'cleanup; [[ -n ${VR_BENCH_KEEP:-} ]] || rm -rf "$dir"' EXIT
trap 'exit 130' INT TERM

hub=$tag-hub
# machine NAME IP RATE: a namespace with one link into the hub's bridge,
# its outgoing traffic shaped to RATE.
machine() {
  local ns=$tag-$1 ip=$2 link_rate=$3 end=${tag}$1
  ip netns add "$ns"
  ip link add "$end" type veth peer name eth0 netns "$ns"
  ip link set "$end" netns "$hub"
  ip -n "$hub" link set "$end" master br0 up
  ip -n "$ns" addr add "$ip/24" dev eth0
  ip -n "$ns" link set eth0 up
  ip -n "$ns" link set lo up
  [[ $link_rate == none ]] || shape "$1" "$link_rate"
}
shape() { ip netns exec "$tag-$1" tc qdisc replace dev eth0 root tbf rate "$2" burst 256kb latency 100ms; }
in_ns() { local ns=$tag-$1; shift; ip netns exec "$ns" "$@"; }
tx_bytes() { in_ns "$1" cat /sys/class/net/eth0/statistics/tx_bytes; }
now() { date +%s.%N; }

network() {
  local downloaders=$1 i
  ip netns add "$hub"
  ip -n "$hub" link add br0 type bridge
  ip -n "$hub" link set br0 up
  machine origin "$origin_ip" none
  machine seed "$seeder_ip" none
  for ((i = 1; i <= downloaders; i++)); do machine "d$i" "$net.$((10 + i))" "$rate"; done
}

# ---- the file, its task and its torrent ----
echo "swarm_bench: a $mib MiB file in 1 MiB pieces, links $rate, in $dir"
lt_make_task "$dir/task" "$game" "$task" "$piece" "$size"
www="$dir/task/www"
sed -i "s#127.0.0.1:$LT_PORT#$origin_ip:80#g" "$www/update_task/task_list.txt" "$dir/task/nginx/cdnquery/$task.txt"
sed -i "s#^RIS_SOUTH=.*#RIS_SOUTH=$origin_ip#; s#^RIS_NORTH=.*#RIS_NORTH=$origin_ip#;
        s#^RIS_SOUTH_PORT=.*#RIS_SOUTH_PORT=8001#; s#^RIS_NORTH_PORT=.*#RIS_NORTH_PORT=8001#" "$www/update_dll/p2sp_config.ini"
cp "$dir/task/nginx/cdnquery/$task.txt" "$dir/cdn_urls.txt"
file="$www/game/data/file0.bin"
file_url="http://$origin_ip/game/data/file0.bin"
# Debian's opentracker tracks only the torrents its list allows.
mkdir -p "$dir/tracker"
"$py" bench/swarm/lt_node.py make "$file" "$piece" "http://$origin_ip:6969/announce" "$dir/peers.torrent" >"$dir/tracker/allowed"
"$py" bench/swarm/lt_node.py make "$file" "$piece" "http://$origin_ip:6969/announce" "$dir/origin.torrent" "$file_url" >>"$dir/tracker/allowed"

# origin SERVES_FILE: nginx (task server, CDN query, origin), the index
# servers and the tracker in the origin namespace. Without SERVES_FILE
# the CDN query names no URL (the seeder was fed before).
origin_start() {
  local peers=("${@:2}") args=() p
  for p in "${peers[@]}"; do args+=(--peer "$p"); done
  if [[ $1 == yes ]]; then cp "$dir/cdn_urls.txt" "$dir/task/nginx/cdnquery/$task.txt"; else : >"$dir/task/nginx/cdnquery/$task.txt"; fi
  in_ns origin "$py" bench/swarm/index_server.py --ip "$origin_ip" "${args[@]}" >"$dir/index.out" 2>&1 &
  (cd "$dir/tracker" && exec ip netns exec "$tag-origin" opentracker -i "$origin_ip" -p 6969 -P 6969 -d . -w allowed >"$dir/tracker.out" 2>&1) &
  in_ns origin bash -c "LT_PORT=80; source scripts/lib/local_task.sh; lt_start_nginx '$dir/task' 0 '$origin_ip'" >"$dir/nginx.out" 2>&1
  for _ in $(seq 1 100); do in_ns origin bash -c "exec 3<>/dev/tcp/$origin_ip/8002" 2>/dev/null && return 0; sleep 0.05; done
  echo "the index servers did not start (see $dir/index.out)"
  return 1
}
origin_egress() {
  awk -v size="$size" '$1 ~ /file0.bin/ { s += $3 } END { printf "%.2f", s / size }' "$dir/task/nginx/logs/access.log"
}

# ---- the service ----
service_env() {
  local m=$1 d=$dir/run/$1
  rm -rf "$d"
  mkdir -p "$d"
  lt_service_env "$d"
  export VR_RIS_SOUTH=$origin_ip:8001 VR_RIS_NORTH=$origin_ip:8001
  export VR_UPDATE_SERVER=$origin_ip:80 VR_TASK_SERVER=$origin_ip:80 VR_CDN_QUERY_URL=$origin_ip:80
}
# service_up MACHINE: its host process, registered as a launcher does.
service_up() {
  local m=$1 d=$dir/run/$1
  (service_env "$m" && cd "$d" && exec ip netns exec "$tag-$m" "$host" start "$game") >"$dir/run-$m.out" 2>&1 &
  for _ in $(seq 1 200); do [[ -f $d/appdata/ZVK/velmar_game$game.ini ]] && break; sleep 0.05; done
  call "$m" register_client path="$d/launcher/" | grep -q "Register Client OK" || { echo "$m: register_client failed"; return 1; }
}
call() { local m=$1; shift; (service_env_only "$m" && in_ns "$m" "$launcher" --game "$game" "$@"); }
service_env_only() { export VR_APPDATA_DIR="$dir/run/$1/appdata" VR_REGISTRY_DIR="$dir/run/$1/registry"; }
field() { sed -n "s|.*<$1>\(.*\)</$1>.*|\1|p" | head -1; }
# service_fetch MACHINE LIMIT: starts the download and waits for it; writes
# "start finish" (epoch seconds) to $dir/times/MACHINE.
service_fetch() {
  local m=$1 limit=$2 t0 state=
  t0=$(now)
  call "$m" start_download_file filename=file0.bin file_md5="$first_md5" highlevel=1 >/dev/null
  local deadline=$((SECONDS + limit))
  while ((SECONDS < deadline)); do
    state=$(call "$m" get_task_info file_md5="$first_md5" | field TASK_STATE)
    [[ $state == 2 ]] && break
    sleep 0.1
  done
  [[ $state == 2 ]] && echo "$t0 $(now)" >"$dir/times/$m" || echo "$t0 -" >"$dir/times/$m"
}
service_check() { cmp -s "$file" "$dir/run/$1/downloads/game/data/file0.bin"; }

# ---- libtorrent ----
lt_start() {
  local m=$1 ip=$2 torrent=$3 seed=$4 d=$dir/lt/$1
  rm -rf "$d"
  mkdir -p "$d"
  [[ $seed == yes ]] && ln "$file" "$d/file0.bin"
  local flags=()
  [[ $seed == yes ]] && flags+=(--seed)
  in_ns "$m" "$py" "$root_dir/bench/swarm/lt_node.py" run "$torrent" "$d" "$ip" --go-file "$dir/go" \
    --stop-file "$dir/stop" "${flags[@]}" >"$dir/times/$m.lt" 2>"$dir/lt-$m.err" &
}

# ---- one run ----
# run SYSTEM DOWNLOADERS SEEDER(none|same|fast) ORIGIN(yes|no): one result line.
run_once() {
  local system=$1 n=$2 seeder=$3 origin=$4 limit i peers=() m
  # A run that fails part way leaves nothing behind.
  trap cleanup EXIT
  limit=$((mib * 8 * 30 / 50 + 120))
  rm -rf "$dir/times" "$dir/go" "$dir/stop" "$dir/run" "$dir/lt"
  mkdir -p "$dir/times"
  network "$n"
  [[ $seeder == none ]] || peers+=("$seeder_ip:$((9000 + game))")
  for ((i = 1; i <= n; i++)); do peers+=("$net.$((10 + i)):$((9000 + game))"); done
  origin_start "$origin" "${peers[@]}"
  local seed_tx0=0
  if [[ $system == service ]]; then
    if [[ $seeder != none ]]; then
      # The seeder fetches the file from the origin first, unshaped.
      cp "$dir/cdn_urls.txt" "$dir/task/nginx/cdnquery/$task.txt"
      service_up seed
      service_fetch seed 120
      [[ $(cut -d' ' -f2 "$dir/times/seed") != - ]] || { echo "the seeder did not get the file"; return 1; }
      rm -f "$dir/times/seed"
      [[ $origin == yes ]] || : >"$dir/task/nginx/cdnquery/$task.txt"
    fi
    for ((i = 1; i <= n; i++)); do service_up "d$i"; done
  else
    local torrent=$dir/peers.torrent
    [[ $origin == yes ]] && torrent=$dir/origin.torrent
    [[ $seeder == none ]] || lt_start seed "$seeder_ip" "$torrent" yes
    for ((i = 1; i <= n; i++)); do lt_start "d$i" "$net.$((10 + i))" "$torrent" no; done
    sleep 2   # sessions up and listening
  fi
  shape origin "$rate"
  case $seeder in
    same) shape seed "$rate" ;;
    fast) shape seed "$(awk -v r="${rate%mbit}" 'BEGIN { print r * 4 "mbit" }')" ;;
  esac
  : >"$dir/task/nginx/logs/access.log"
  [[ $seeder == none ]] || seed_tx0=$(tx_bytes seed)
  if [[ $system == service ]]; then
    local fetches=()
    for ((i = 1; i <= n; i++)); do
      service_fetch "d$i" "$limit" &
      fetches+=($!)
    done
    wait "${fetches[@]}"
  else
    touch "$dir/go"
    local deadline=$((SECONDS + limit))
    while ((SECONDS < deadline)); do
      local finished=0
      for ((i = 1; i <= n; i++)); do grep -q "^done\|^timeout" "$dir/times/d$i.lt" 2>/dev/null && finished=$((finished + 1)); done
      ((finished == n)) && break
      sleep 0.2
    done
    for ((i = 1; i <= n; i++)); do
      local s d
      s=$(sed -n 's/^start //p' "$dir/times/d$i.lt")
      d=$(sed -n 's/^done //p' "$dir/times/d$i.lt")
      echo "${s:-0} ${d:--}" >"$dir/times/d$i"
    done
  fi
  local seed_x=-
  [[ $seeder == none ]] || seed_x=$(awk -v a="$seed_tx0" -v b="$(tx_bytes seed)" -v s="$size" 'BEGIN { printf "%.2f", (b - a) / s }')
  local origin_x ok=yes
  origin_x=$(origin_egress)
  touch "$dir/stop"
  if [[ $system == service ]]; then
    for ((i = 1; i <= n; i++)); do service_check "d$i" || ok=no; done
  else
    for ((i = 1; i <= n; i++)); do cmp -s "$file" "$dir/lt/d$i/file0.bin" || ok=no; done
  fi
  # swarm time: first start to last finish; "-" when any did not finish.
  awk -v sys="$system" -v ox="$origin_x" -v sx="$seed_x" -v ok="$ok" '
    { start[NR] = $1; fin[NR] = $2 }
    END {
      lo = start[1]; hi = 0; failed = 0; per = ""
      for (i = 1; i <= NR; i++) {
        if (start[i] < lo) lo = start[i]
        if (fin[i] == "-") { failed = 1; per = per " -"; continue }
        if (fin[i] > hi) hi = fin[i]
        per = per sprintf(" %.1f", fin[i] - start[i])
      }
      printf "%s %s %s %s %s |%s\n", sys, failed ? "-" : sprintf("%.2f", hi - lo), ox, sx, ok, per
    }' $(for ((i = 1; i <= n; i++)); do echo "$dir/times/d$i"; done)
  cleanup
}

results=$dir/results
: >"$results"
for scenario in $scenarios; do
  case $scenario in
    peers4) args=(4 same no) ;;
    peers8) args=(8 same no) ;;
    peers16) args=(16 same no) ;;
    fastseed8) args=(8 fast no) ;;
    origin4) args=(4 none yes) ;;
    origin8) args=(8 none yes) ;;
    *) echo "unknown scenario $scenario"; exit 2 ;;
  esac
  for ((r = 1; r <= runs; r++)); do
    for system in $systems; do
      line=$(run_once "$system" "${args[@]}")
      echo "$scenario $r $line" | tee -a "$results"
    done
  done
done

# min / median / max of column COL of SYSTEM's lines in SCENARIO
stat() { awk -v s="$1" -v y="$2" '$1 == s && $3 == y { print $'"$3"' }' "$results" | sort -g |
  awk '{ v[NR] = $1 } END { if (NR == 0) { print "-"; exit } printf "%s / %s / %s", v[1], v[int((NR + 1) / 2)], v[NR] }'; }
echo
echo "$mib MiB in 1 MiB pieces, links $rate, $runs runs (min / median / max); swarm time in s, egress in files"
printf '%-10s %-11s %-22s %-20s %-20s\n' scenario system "swarm time" "origin egress" "seeder egress"
for scenario in $scenarios; do
  for system in $systems; do
    printf '%-10s %-11s %-22s %-20s %-20s\n' "$scenario" "$system" "$(stat "$scenario" "$system" 4)" \
      "$(stat "$scenario" "$system" 5)" "$(stat "$scenario" "$system" 6)"
  done
done
if grep -q ' no |' "$results"; then echo "some downloaded files differ from the origin's (see above)"; fi
cp "$results" "${VR_SWARM_RESULTS:-/tmp/swarm_results.txt}" 2>/dev/null || true
