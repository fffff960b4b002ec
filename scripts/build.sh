#!/usr/bin/env bash
# Configures and builds into a build folder (default: build), tests and benchmarks included
# unless the extra arguments, which go to CMake after these, turn them off.
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${BUILD_DIR:-build}
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DBUILD_TESTING=ON -DORCAN_BUILD_BENCH=ON "$@"
cmake --build "$build_dir" --parallel "$(nproc)"
