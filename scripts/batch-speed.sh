#!/usr/bin/env bash
# eddyrate-batch against the same work written end to end with pandas and scipy
# (pandas.read_csv + bench/scipy_peer.py), on one core, from files in the page cache; and the
# burst reader's rate in MB of text per second.
# Usage: bash scripts/batch-speed.sh [BURSTS]   (after bash scripts/build.sh; default 200)
# Each burst is 30 minutes at 10 Hz (18000 samples), like the bundled one. Both sides are
# whole programs (Python's start-up counted) pinned to one core; each is run three times and
# the fastest kept. Processor time is printed beside the wall clock, since on a shared machine
# the wall clock also counts other programs' turns.
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${BUILD_DIR:-build}
count=${1:-200}
core=${CORE:-0}
folder=$(mktemp -d)
trap 'rm -rf "$folder" "$folder.csv" "$folder.times" "$folder.peer.py"' EXIT
for i in $(seq 1 "$count"); do
  "$build_dir/tools/burst-gen" --seed "$i" --minutes 30 --mean-v 1.5 --zeros 2 --spikes 3 \
    -o "$folder/$(date -u -d "2026-01-01 +$((i * 30)) minutes" +%Y-%m-%dT%H-%M-%S).csv"
done
cat "$folder"/*.csv >/dev/null  # into the page cache

export PYTHONPATH="$build_dir/python" OMP_NUM_THREADS=1 OPENBLAS_NUM_THREADS=1 MKL_NUM_THREADS=1

# Fastest of three runs: "wall user+sys" in seconds.
fastest() {
  : >"$folder.times"
  for _ in 1 2 3; do
    /usr/bin/time -f "%e %U %S" -a -o "$folder.times" taskset -c "$core" "$@" >/dev/null 2>&1
  done
  awk '{ cpu = $2 + $3; if (NR == 1 || $1 < wall) { wall = $1; best = cpu } }
       END { printf "%.3f %.3f\n", wall, best }' "$folder.times"
}

ours=$(fastest /usr/bin/python3 "$build_dir/python/eddyrate-batch" "$folder" -o "$folder.csv" --quiet)
cat >"$folder.peer.py" <<'PY'
import glob, sys
sys.path.insert(0, "bench")
import pandas as pd
import scipy_peer
for path in sorted(glob.glob(sys.argv[1] + "/*.csv")):
    table = pd.read_csv(path, comment="#")
    scipy_peer.peer(*(table[c].to_numpy() for c in ("u", "v", "w", "T")), 4.0, 10.0)
PY
peer=$(fastest /usr/bin/python3 "$folder.peer.py" "$folder")
read -r ours_wall ours_cpu <<<"$ours"
read -r peer_wall peer_cpu <<<"$peer"
awk -v n="$count" -v ow="$ours_wall" -v oc="$ours_cpu" -v pw="$peer_wall" -v pc="$peer_cpu" 'BEGIN {
  printf "eddyrate-batch:       %d bursts in %.2f s wall (%.2f s processor): %.0f bursts/s (%.0f per processor second)\n", n, ow, oc, n / ow, n / oc
  printf "pandas + scipy peer:  %d bursts in %.2f s wall (%.2f s processor): %.0f bursts/s (%.0f per processor second)\n", n, pw, pc, n / pw, n / pc
  printf "time per burst, ours / peer: %.3f wall, %.3f processor\n", ow / pw, oc / pc
}'

# The reader alone, in process: the text of every file read, parsed and handed to numpy.
taskset -c "$core" /usr/bin/python3 - "$folder" <<'PY'
import glob, os, sys, time
import eddyrate
paths = sorted(glob.glob(sys.argv[1] + "/*.csv"))
size = sum(os.path.getsize(p) for p in paths)
best_wall = best_cpu = float("inf")
for _ in range(3):
    wall, cpu = time.perf_counter(), time.process_time()
    for path in paths:
        eddyrate.read_burst(path)
    best_wall = min(best_wall, time.perf_counter() - wall)
    best_cpu = min(best_cpu, time.process_time() - cpu)
print(f"burst reader (eddyrate.read_burst): {size / 1e6:.0f} MB of CSV text, "
      f"{size / best_wall / 1e6:.0f} MB/s wall, {size / best_cpu / 1e6:.0f} MB/s processor")
PY
