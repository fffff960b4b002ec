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
    /usr/bin/python3 bench/scipy_peer.py --ms "$peer_repeats"
}

peer=() peer_cpu=() ours=() ours_cpu=() faults=()
for round in $(seq "$rounds"); do
    read -r wall cpu < <(peer_round)
    peer+=("$wall") peer_cpu+=("$cpu")
    out=$("${driver[@]}" "$calls")
    read -r wall faults_now cpu < <(sed -n \
        's/^calls [0-9-]*: \([0-9.]*\) ms, \([0-9.]*\) page faults per call, \([0-9.]*\) ms.*/\1 \2 \3/p' \
        <<<"$out")
    ours+=("$wall") ours_cpu+=("$cpu") faults+=("$faults_now")
    printf 'round %d: peer %.2f ms (cpu %.2f), eddyRate %.2f ms (cpu %.2f) per call, %s page faults per call\n' \
        "$round" "${peer[-1]}" "${peer_cpu[-1]}" "${ours[-1]}" "${ours_cpu[-1]}" "${faults[-1]}"
done
echo "last round in full:"
sed 's/^/  /' <<<"$out"
echo "one isolated call in a fresh process:"
"${driver[@]}" 1 | sed -n 's/^first call: /  /p'

/usr/bin/python3 - "${peer[*]}" "${peer_cpu[*]}" "${ours[*]}" "${ours_cpu[*]}" <<'PY'
import statistics, sys
pw, pc, ow, oc = (statistics.median(map(float, a.split())) for a in sys.argv[1:5])
print(f"peer (numpy/scipy): {pw:.2f} ms wall, {pc:.2f} ms cpu per 30-min 10 Hz burst (median)")
print(f"eddyRate, C caller: {ow:.2f} ms wall, {oc:.2f} ms cpu per call (calls after the first)")
print(f"ratio eddyRate / peer: {ow / pw:.3f} wall, {oc / pc:.3f} cpu (goal: at most 0.2)")
PY
