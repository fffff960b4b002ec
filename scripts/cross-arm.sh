#!/usr/bin/env bash
# 32-bit ARM with software floating point, the buoy's kind of processor: cross-builds the
# library, the converter, the tools and all their tests with g++-arm-linux-gnueabi, runs
# every test under qemu-arm, then compares the main job's outputs byte for byte with this
# machine's build (built first if it is not there).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/install-packages.sh g++-arm-linux-gnueabi qemu-user
. scripts/lib.sh
build_dir=${BUILD_DIR:-$(preset_dir arm)}
native_dir=${NATIVE_BUILD_DIR:-$(preset_dir default)}

configure arm "$build_dir" "$@"
cmake --build "$build_dir" --parallel "$(nproc)"
ctest --test-dir "$build_dir" --output-on-failure --parallel "$(nproc)"

bash scripts/cross-native.sh "$native_dir"
bash scripts/cross-compare.sh "$native_dir" "$build_dir" "" qemu-arm -L /usr/arm-linux-gnueabi
