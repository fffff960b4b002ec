#!/usr/bin/env bash
# Side by side, in one go: the numpy/scipy peer (bench/scipy_peer.py, Debian's /usr/bin/python3)
# and eddyRate on a 30-minute 10 Hz burst, alternately, three rounds each. Prints the median
# time per burst of each, wall clock and processor time, and the ratio ours / peer.
#
# Usage: scripts/bench.sh [BUILD_DIR]        (default: build; configured with the benchmarks)
# EDDYRATE_VECTOR_UNIT=none scripts/bench.sh measures the column-by-column path.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh
build_dir=${1:-$(preset_dir default)}

cmake --build "$build_dir" --target eddyrate_bench >/dev/null
ours_bin="$build_dir/bench/eddyrate_bench"

ours_round() {
    "$ours_bin" --benchmark_filter='^ThirtyMinutesAt10Hz$' --benchmark_format=json 2>/dev/null |
        /usr/bin/python3 -c '
import json, sys
run = json.load(sys.stdin)["benchmarks"][0]
print(run["real_time"], run["cpu_time"])'
}

time_rounds 3 ours_round
print_medians eddyRate "per 30-min 10 Hz burst (median)"
