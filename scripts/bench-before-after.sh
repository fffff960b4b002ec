#!/usr/bin/env bash
# Two builds of libeddyrate measured in one run, alternately, so that both see the same machine:
# the plain C caller beside the numpy/scipy peer (scripts/bench-c-caller.sh) and the benchmark
# harness (bench/eddyrate_bench, 30 minutes at 10 Hz), each round first with the library
# before, then after. Prints every round and the medians of each side.
#
# Usage: scripts/bench-before-after.sh BEFORE_LIB_DIR [AFTER_LIB_DIR [BUILD_DIR]]
#   BEFORE_LIB_DIR, AFTER_LIB_DIR: folders holding a libeddyrate.so.0 (default after: the
#   build's own eddyrate folder); BUILD_DIR (default: build) gives the drivers.
# ROUNDS (default 3) sets the rounds.
set -euo pipefail
cd "$(dirname "$0")/.."
before=$(realpath "$1")
build_dir=${3:-build}
after=$(realpath "${2:-$build_dir/eddyrate}")
rounds=${ROUNDS:-3}

cmake --build "$build_dir" --target eddyrate eddyrate_bench eddyrate_c_caller >/dev/null

c_caller() {
    EDDYRATE_LIBRARY="$1/libeddyrate.so.0" bash scripts/bench-c-caller.sh "$build_dir" |
        sed -n 's/^peer (numpy\/scipy): \([0-9.]*\) ms wall, \([0-9.]*\) ms cpu.*/peer \1 \2/p;
                s/^eddyRate, C caller: \([0-9.]*\) ms wall, \([0-9.]*\) ms cpu.*/ours \1 \2/p' |
        tr '\n' ' '
    echo
}

harness() {
    LD_LIBRARY_PATH="$1" "$build_dir/bench/eddyrate_bench" \
        --benchmark_filter='^ThirtyMinutesAt10Hz$' --benchmark_format=json 2>/dev/null |
        /usr/bin/python3 -c '
import json, sys
run = json.load(sys.stdin)["benchmarks"][0]
print(run["real_time"], run["cpu_time"])'
}

results=()
for round in $(seq "$rounds"); do
    for side in before after; do
        lib=$before
        [ "$side" = after ] && lib=$after
        read -r _ peer_wall peer_cpu _ ours_wall ours_cpu < <(c_caller "$lib")
        read -r bench_wall bench_cpu < <(harness "$lib")
        printf 'round %d %-6s C caller %.2f ms (cpu %.2f), peer %.2f ms (cpu %.2f), ratio %.3f (cpu %.3f); harness %.2f ms (cpu %.2f)\n' \
            "$round" "$side" "$ours_wall" "$ours_cpu" "$peer_wall" "$peer_cpu" \
            "$(awk -v a="$ours_wall" -v b="$peer_wall" 'BEGIN { print a / b }')" \
            "$(awk -v a="$ours_cpu" -v b="$peer_cpu" 'BEGIN { print a / b }')" \
            "$bench_wall" "$bench_cpu"
        results+=("$side $ours_wall $ours_cpu $peer_wall $peer_cpu $bench_wall $bench_cpu")
    done
done

printf '%s\n' "${results[@]}" | /usr/bin/python3 -c '
import statistics, sys
rows = [line.split() for line in sys.stdin if line.strip()]
for side in ("before", "after"):
    mine = [list(map(float, r[1:])) for r in rows if r[0] == side]
    ow, oc, pw, pc, bw, bc = (statistics.median(column) for column in zip(*mine))
    print(f"{side:6} (medians): C caller {ow:.2f} ms wall, {oc:.2f} ms cpu; peer {pw:.2f} ms wall, "
          f"{pc:.2f} ms cpu; ratio {ow / pw:.3f} wall, {oc / pc:.3f} cpu; harness {bw:.2f} ms wall, "
          f"{bc:.2f} ms cpu")
'
