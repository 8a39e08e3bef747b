#!/usr/bin/env bash
# One seed and one downloader over a long, narrow link: the peer-to-peer
# transfer of bench/p2p_transfer.cpp with the seeder reached through
# bench/delay_relay.py (RTT/2 ms each way, MBIT Mbit/s each way), beside a
# plain copy of the same bytes through the same relay (the link's floor).
# Prints min/median/max seconds of RUNS runs per round trip: of the whole
# download (with the engine's set-up: peer list, dial) and of its transfer
# (first to last piece written).
#   bench/p2p_link.sh [MiB] [MBIT] [RUNS] [RTT_MS...]   (default 64 50 3 0 50 150)
set -euo pipefail
cd "$(dirname "$0")/.."
mib=${1:-64}
mbit=${2:-50}
runs=${3:-3}
shift $(($# < 3 ? $# : 3))
rtts=("${@:-0 50 150}")
read -r -a rtts <<<"${rtts[*]}"
build=${VR_BENCH_BUILD_DIR:-build/bench-p2p}
bench=${P2P_BIN:-}   # another build of the benchmark (no build then)
if [ -z "$bench" ]; then
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVR_BENCH=ON -DVR_TESTS=ON >/dev/null
    cmake --build "$build" --target p2p_transfer -j "$(nproc)" >/dev/null
    bench=$build/bench/p2p_transfer
fi
relay=$PWD/bench/delay_relay.py

summary() {   # label, then seconds
    local label=$1
    shift
    printf '%s\n' "$@" | sort -n | awk -v label="$label" -v bytes=$((mib << 20)) -v mbit="$mbit" '
        { s[NR] = $1 }
        END {
            if (NR == 0) { printf "%-28s failed\n", label; exit }
            med = s[int((NR + 1) / 2)]
            printf "%-28s min %7.2f s  median %7.2f s  max %7.2f s  (median %5.1f Mbit/s, %3.0f %% of %s)\n",
                   label, s[1], med, s[NR], bytes * 8 / med / 1e6, 100 * bytes * 8 / med / 1e6 / mbit, mbit
        }'
}

echo "task: $mib MiB, link $mbit Mbit/s each way, $runs runs each"
for rtt in "${rtts[@]}"; do
    one_way=$(awk -v r="$rtt" 'BEGIN { printf "%g", r / 2 }')
    copies=() p2p=() phase=()
    for _ in $(seq "$runs"); do
        copies+=("$(python3 "$relay" copy $((mib << 20)) "$one_way" "$mbit")")
        out=$(P2P_LINK="$one_way,$mbit" P2P_RELAY="$relay" "$bench" "$mib" 1024 p2p)
        p2p+=("$(sed -n 's/^peer to peer (engine to engine).*(\([0-9.]*\) s,.*/\1/p' <<<"$out")")
        phase+=("$(sed -n 's/^  first to last piece written.* transfer \([0-9.]*\) s,.*/\1/p' <<<"$out")")
    done
    summary "rtt $rtt ms: plain copy" "${copies[@]}"
    summary "rtt $rtt ms: peer to peer" "${p2p[@]}"
    summary "rtt $rtt ms:   its transfer" "${phase[@]}"
done
