#!/usr/bin/env bash
# Sets up the machine, builds the service and runs it in the foreground for
# one game id (default 1). Stop it with Ctrl-C or "scripts/run.sh stop ID".
set -euo pipefail
# The service writes its log in the folder it starts in: the caller's.
start_dir=$PWD
cd "$(dirname "$0")/.."
build=${VR_BUILD_DIR:-build/release}
if [[ ${1:-} == stop ]]; then
  # A stop needs the host that runs the service, not a new build.
  if [[ ! -x "$build/tools/vr_host" ]]; then
    echo "no service host in $build (start the service with scripts/run.sh ID first)" >&2
    exit 1
  fi
  exec "$build/tools/vr_host" stop "${2:-1}"
fi
bash scripts/setup.sh
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVR_TESTS=OFF >/dev/null
cmake --build "$build" -j "$(nproc)"
if [[ ! -x "$build/tools/vr_host" ]]; then
  echo "built in $build; the service host (tools/vr_host) is not built yet"
  exit 0
fi
host=$(realpath "$build/tools/vr_host")
cd "$start_dir"
game=${1:-1}
echo "run: the service of game $game listens on 127.0.0.1:$(((8000 + game) & 65535)) (XML-RPC POST; when that" \
  "port is busy, the next free one: the port= line of <data folder>/velmar_game$game.ini)"
exec "$host" start "$game"
