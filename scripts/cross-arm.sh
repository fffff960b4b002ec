#!/usr/bin/env bash
# 32-bit ARM with software floating point, the buoy's kind of processor: cross-builds the
# library, the converter, the tools and all their tests with g++-arm-linux-gnueabi, runs
# every test under qemu-arm, then compares the main job's outputs byte for byte with this
# machine's build (built first if it is not there).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/install-packages.sh g++-arm-linux-gnueabi qemu-user
build_dir=${BUILD_DIR:-build-arm}
native_dir=${NATIVE_BUILD_DIR:-build}

cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/arm-linux-gnueabi.cmake \
  -DORCAN_BUILD_APP=OFF -DORCAN_BUILD_BENCH=OFF -DORCAN_BUILD_PYTHON=OFF "$@"
cmake --build "$build_dir" --parallel "$(nproc)"
ctest --test-dir "$build_dir" --output-on-failure --parallel "$(nproc)"

bash scripts/cross-native.sh "$native_dir"
bash scripts/cross-compare.sh "$native_dir" "$build_dir" "" qemu-arm -L /usr/arm-linux-gnueabi
