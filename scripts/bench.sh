#!/usr/bin/env bash
# Side by side, in one go: the numpy/scipy peer (bench/scipy_peer.py, Debian's /usr/bin/python3)
# and eddyRate on a 30-minute 10 Hz burst, alternately, three rounds each. Prints the median
# time per burst of each, wall clock and processor time, and the ratio ours / peer.
#
# Usage: scripts/bench.sh [BUILD_DIR]        (default: build; configured with the benchmarks)
# EDDYRATE_VECTOR_UNIT=none scripts/bench.sh measures the column-by-column path.
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${1:-build}
rounds=3
peer_repeats=${PEER_REPEATS:-30}

cmake --build "$build_dir" --target eddyrate_bench >/dev/null
ours_bin="$build_dir/bench/eddyrate_bench"

peer_round() {
    # Times the peer's own burst function in-process, so Python's start-up is not counted.
    /usr/bin/python3 bench/scipy_peer.py --ms "$peer_repeats"
}

ours_round() {
    "$ours_bin" --benchmark_filter='^ThirtyMinutesAt10Hz$' --benchmark_format=json 2>/dev/null |
        /usr/bin/python3 -c '
import json, sys
run = json.load(sys.stdin)["benchmarks"][0]
print(run["real_time"], run["cpu_time"])'
}

peer_wall=() peer_cpu=() ours_wall=() ours_cpu=()
for round in $(seq "$rounds"); do
    read -r wall cpu < <(peer_round)
    peer_wall+=("$wall") peer_cpu+=("$cpu")
    read -r wall cpu < <(ours_round)
    ours_wall+=("$wall") ours_cpu+=("$cpu")
    printf 'round %d: peer %.2f ms (cpu %.2f), eddyRate %.2f ms (cpu %.2f)\n' "$round" \
        "${peer_wall[-1]}" "${peer_cpu[-1]}" "${ours_wall[-1]}" "${ours_cpu[-1]}"
done

/usr/bin/python3 - "${peer_wall[*]}" "${peer_cpu[*]}" "${ours_wall[*]}" "${ours_cpu[*]}" <<'PY'
import statistics, sys
pw, pc, ow, oc = (statistics.median(map(float, a.split())) for a in sys.argv[1:5])
print(f"peer (numpy/scipy): {pw:.2f} ms wall, {pc:.2f} ms cpu per 30-min 10 Hz burst (median)")
print(f"eddyRate:           {ow:.2f} ms wall, {oc:.2f} ms cpu per 30-min 10 Hz burst (median)")
print(f"ratio eddyRate / peer: {ow / pw:.3f} wall, {oc / pc:.3f} cpu (goal: at most 0.2)")
PY
