#!/usr/bin/env bash
# Builds the peer-to-peer transfer benchmark (Release, in build/bench-p2p) and
# runs it: one task of MiB mebibytes (default 1024) moved engine to engine
# over loopback, beside the HTTP/CDN path from nginx, a plain socket copy and
# plain pwrite calls into the disk the engine writes to (the download's bound).
#   scripts/bench_p2p.sh [MiB]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${VR_BENCH_BUILD_DIR:-build/bench-p2p}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVR_BENCH=ON -DVR_TESTS=ON >/dev/null
cmake --build "$build" --target p2p_transfer -j "$(nproc)"
exec "$build/bench/p2p_transfer" "${1:-1024}"
