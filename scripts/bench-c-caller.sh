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
build_dir=${1:-build}
rounds=3
calls=${CALLS:-50}
peer_repeats=${PEER_REPEATS:-30}

cmake --build "$build_dir" --target eddyrate eddyrate_c_caller >/dev/null
driver=("$build_dir/bench/eddyrate_c_caller" "${EDDYRATE_LIBRARY:-$build_dir/eddyrate/libeddyrate.so}"
        eddyrate/stages/testdata/burst-30min-10hz.f64 18000 10 4)

peer_round() {
    /usr/bin/python3 bench/scipy_peer.py --ms "$peer_repeats" | cut -d' ' -f1
}

peer=() ours=() faults=()
for round in $(seq "$rounds"); do
    peer+=("$(peer_round)")
    out=$("${driver[@]}" "$calls")
    ours+=("$(sed -n 's/^calls [0-9-]*: \([0-9.]*\) ms.*/\1/p' <<<"$out")")
    faults+=("$(sed -n 's/^calls [0-9-]*: .*, \([0-9.]*\) page faults.*/\1/p' <<<"$out")")
    printf 'round %d: peer %.2f ms, eddyRate %.2f ms per call (%s page faults per call)\n' \
        "$round" "${peer[-1]}" "${ours[-1]}" "${faults[-1]}"
done
echo "last round in full:"
sed 's/^/  /' <<<"$out"
echo "one isolated call in a fresh process:"
"${driver[@]}" 1 | sed -n 's/^first call: /  /p'

/usr/bin/python3 - "${peer[*]}" "${ours[*]}" <<'PY'
import statistics, sys
p, o = (statistics.median(map(float, a.split())) for a in sys.argv[1:3])
print(f"peer (numpy/scipy): {p:.2f} ms per 30-min 10 Hz burst (median)")
print(f"eddyRate, C caller: {o:.2f} ms per call (median of the calls after the first)")
print(f"ratio eddyRate / peer: {o / p:.3f} (goal: at most 0.2)")
PY
