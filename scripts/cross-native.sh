#!/usr/bin/env bash
# This machine's own build of the programs the cross targets are compared with: reuses the
# build folder given (default: build) when it is configured, else configures it lean.
set -euo pipefail
cd "$(dirname "$0")/.."
native_dir=${1:-build}
if [ ! -f "$native_dir/CMakeCache.txt" ]; then
  cmake -S . -B "$native_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DORCAN_BUILD_APP=OFF -DORCAN_BUILD_BENCH=OFF
fi
cmake --build "$native_dir" --parallel "$(nproc)" \
  --target saltmark-convert eddyrate-run sbd-compose burst-gen
