#!/usr/bin/env bash
# The main job on the bundled example: convert every bundled message and print its report.
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${BUILD_DIR:-build}
for message in examples/*.sbd; do
  [ -e "$message" ] || { echo "no example messages yet"; exit 0; }
  echo "== $message"
  "$build_dir/converter/cli/saltmark-convert" "$message"
done
