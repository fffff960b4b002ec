#!/usr/bin/env bash
# Messages per second of saltmark-convert --db on this machine: COUNT mail attachments (the
# bundled station message under the names Iridium's mail gives, 300234010000001_<MOMSN>.sbd)
# into a new archive, then the same files again, which are all already there.
# Usage: bash scripts/archive-import-rate.sh [COUNT]   (after bash scripts/build.sh; default 4000)
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${BUILD_DIR:-build}
count=${1:-4000}
folder=$(mktemp -d)
trap 'rm -rf "$folder"' EXIT
mkdir "$folder/inbox"
cp examples/station.sbd "$folder/station.sbd"
for i in $(seq 1 "$count"); do
  ln "$folder/station.sbd" "$folder/inbox/300234010000001_$i.sbd"
done
for run in new again; do
  start=$(date +%s.%N)
  "$build_dir/converter/cli/saltmark-convert" --db "$folder/archive.sqlite" "$folder"/inbox/*.sbd \
    2>"$folder/summary"
  end=$(date +%s.%N)
  awk -v n="$count" -v r="$run" -v s="$start" -v e="$end" -v summary="$(cat "$folder/summary")" \
    'BEGIN { printf "%s: %d messages in %.2f s, %.0f messages/s (%s)\n", r, n, e - s, n / (e - s), summary }'
done
