#!/usr/bin/env bash
# Bursts per second of eddyrate-batch on this machine, with 1 and 2 local workers.
# Usage: bash scripts/batch-speed.sh [BURSTS]   (after bash scripts/build.sh; default 60 bursts)
# Each burst is 30 minutes at 10 Hz (18000 samples), like the bundled one. The time includes
# starting the local cluster (a few seconds), as a user's run does.
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${BUILD_DIR:-build}
count=${1:-60}
folder=$(mktemp -d)
trap 'rm -rf "$folder" "$folder.csv"' EXIT
for i in $(seq 1 "$count"); do
  "$build_dir/tools/burst-gen" --seed "$i" --minutes 30 --mean-v 1.5 --zeros 2 --spikes 3 \
    -o "$folder/$(date -u -d "2026-01-01 +$((i * 30)) minutes" +%Y-%m-%dT%H-%M-%S).csv"
done
for workers in 1 2; do
  start=$(date +%s.%N)
  PYTHONPATH="$build_dir/python" /usr/bin/python3 "$build_dir/python/eddyrate-batch" "$folder" \
    -o "$folder.csv" --workers "$workers" >/dev/null 2>&1
  end=$(date +%s.%N)
  awk -v n="$count" -v w="$workers" -v s="$start" -v e="$end" \
    'BEGIN { printf "%d worker(s): %d bursts in %.1f s, %.2f bursts/s\n", w, n, e - s, n / (e - s) }'
done
