#!/usr/bin/env bash
# The main job on the bundled example. First the road of one burst, end to end: EddyRate
# computes the bundled burst's outputs (eddyrate-run), the logger narrows them into a Y81000
# record of an SBD message (sbd-compose), and Saltmark converts that message into the report
# the operator reads ashore (saltmark-convert). Then every bundled message is converted.
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${BUILD_DIR:-build}
tools=$build_dir/tools
convert=$build_dir/converter/cli/saltmark-convert
road=$build_dir/road
mkdir -p "$road"

burst=examples/burst-30min-10hz.csv
name=$(basename "$burst" .csv)
outputs=$road/$name.json
message=$road/$name.sbd

echo "== The road of one burst: $burst"
echo "-- eddyrate-run: the logger calls eddyRate (sensor height 4 m, 10 Hz)"
"$tools/eddyrate-run" --json "$burst" >"$outputs"
"$tools/eddyrate-run" "$burst" | sed -n '1,11p'
echo "-- sbd-compose: the outputs, narrowed to single precision, in a Y81000 record on COM5"
"$tools/sbd-compose" --port 5 --y81000 "$outputs" -o "$message"
echo "   $message ($(wc -c <"$message") bytes)"
if [ -x "$convert" ]; then
  echo "-- saltmark-convert: the report ashore"
  "$convert" "$message"
else
  echo "-- saltmark-convert is not built; the composed message is $message"
fi

for example in examples/*.sbd; do
  [ -e "$example" ] || { echo "no example messages yet"; exit 0; }
  [ -x "$convert" ] || { echo "saltmark-convert is not built; skipping the bundled messages"; exit 0; }
  echo "== $example"
  "$convert" "$example"
done
