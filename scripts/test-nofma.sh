#!/usr/bin/env bash
# The whole test suite as an x86-64 processor without fused multiply-add would run it: the
# C library is told to ignore FMA and AVX2, so it picks the variants of its functions that
# such a processor runs. Reuses this machine's build (the nofma preset's folder, build, which
# the default build shares), building it first if it is not there.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh
build_dir=${BUILD_DIR:-$(preset_dir nofma)}
export GLIBC_TUNABLES=glibc.cpu.hwcaps=-FMA,-AVX2

if [ "$(uname -m)" != x86_64 ]; then
  echo "test-nofma: needs an x86-64 machine" >&2
  exit 1
fi
# Without FMA and AVX2 the loader no longer counts the processor as x86-64-v3.
if /lib64/ld-linux-x86-64.so.2 --help | grep -q 'x86-64-v3 (supported'; then
  echo "test-nofma: the C library still sees FMA; GLIBC_TUNABLES had no effect" >&2
  exit 1
fi

if [ -f "$build_dir/CMakeCache.txt" ]; then
  cmake --build "$build_dir" --parallel "$(nproc)"
else
  bash scripts/install-deps.sh
  PRESET=nofma BUILD_DIR=$build_dir bash scripts/build.sh -DORCAN_REQUIRE_ALL=ON "$@"
fi
ctest --test-dir "$build_dir" --output-on-failure --parallel "$(nproc)"
