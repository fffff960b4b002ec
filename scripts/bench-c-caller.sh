#!/usr/bin/env bash
# eddyRate as a plain C caller runs it (bench/c_caller.c: dlopen, glibc's default heap, one
# call after another), side by side with the numpy/scipy peer (bench/scipy_peer.py) in the
# same run: three rounds each, alternately, on a 30-minute 10 Hz burst. Prints the medians, the
# ratio ours / peer (goal: at most 0.2), the page faults per call, and one isolated call in a
# fresh process.
#
# Usage: scripts/bench-c-caller.sh [BUILD_DIR]     (default: build)
# EDDYRATE_LIBRARY=path/libeddyrate.so measures another build of the library (before/after).
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh
build_dir=${1:-$(preset_dir default)}
calls=${CALLS:-50}

cmake --build "$build_dir" --target eddyrate eddyrate_c_caller >/dev/null
driver=("$build_dir/bench/eddyrate_c_caller" "${EDDYRATE_LIBRARY:-$build_dir/eddyrate/libeddyrate.so}"
        eddyrate/stages/testdata/burst-30min-10hz.f64 18000 10 4)
last_round=$(mktemp)
trap 'rm -f "$last_round"' EXIT

# "WALL CPU per call, FAULTS page faults per call" of the calls after the first; the round's
# whole output is kept for printing the last one in full.
ours_round() {
    "${driver[@]}" "$calls" >"$last_round"
    sed -n 's/^calls [0-9-]*: \([0-9.]*\) ms, \([0-9.]*\) page faults per call, \([0-9.]*\) ms.*/\1 \3 per call, \2 page faults per call/p' \
        "$last_round"
}

time_rounds 3 ours_round
echo "last round in full:"
sed 's/^/  /' "$last_round"
echo "one isolated call in a fresh process:"
"${driver[@]}" 1 | sed -n 's/^first call: /  /p'
print_medians "eddyRate, C caller" "per call (calls after the first)"
