#!/usr/bin/env bash
# Configures and builds a preset's build (PRESET, default: default) into its folder (BUILD_DIR,
# default: the preset's), tests and benchmarks included unless the extra arguments, which go to
# CMake after the preset's, turn them off.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh
preset=${PRESET:-default}
build_dir=${BUILD_DIR:-$(preset_dir "$preset")}
configure "$preset" "$build_dir" "$@"
cmake --build "$build_dir" --parallel "$(nproc)"
