#!/usr/bin/env bash
# This machine's own build of the programs the cross targets are compared with: reuses the
# build folder given (default: the default preset's, build) when it is configured, else
# configures it lean.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh
native_dir=${1:-$(preset_dir default)}
if [ ! -f "$native_dir/CMakeCache.txt" ]; then
  configure default "$native_dir" -DORCAN_BUILD_APP=OFF -DORCAN_BUILD_BENCH=OFF
fi
cmake --build "$native_dir" --parallel "$(nproc)" \
  --target saltmark-convert eddyrate-run sbd-compose burst-gen
