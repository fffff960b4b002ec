#!/usr/bin/env bash
# Instructions (callgrind) and peak heap (massif) of one 30-minute burst through eddyRate,
# at 10 Hz or 20 Hz. Installs valgrind when it is missing.
#
# Usage: scripts/bench-profile.sh [10hz|20hz] [BUILD_DIR]     (default: 10hz build)
set -euo pipefail
cd "$(dirname "$0")/.."
rate=${1:-10hz}
build_dir=${2:-build}
bash scripts/install-packages.sh valgrind
cmake --build "$build_dir" --target eddyrate_burst_once >/dev/null
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
valgrind --tool=callgrind --toggle-collect=eddyRate --callgrind-out-file="$out/callgrind" \
  "$build_dir/bench/eddyrate_burst_once" "$rate" 2>&1 | grep -E "Collected" || true
valgrind --tool=massif --massif-out-file="$out/massif" \
  "$build_dir/bench/eddyrate_burst_once" "$rate" >/dev/null 2>&1
peak=$(sed -n 's/^mem_heap_B=//p' "$out/massif" | sort -n | tail -1)
echo "peak heap: $peak bytes"
