#!/usr/bin/env bash
# From a fresh Debian 12 machine: packages, build, then the whole test suite. PRESET names
# another build of CMakePresets.json (PRESET=sanitize: the suite under the sanitizers).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
# Every optional part is required here: a suite that left one out would pass without its tests.
bash scripts/build.sh -DORCAN_REQUIRE_ALL=ON "$@"
. scripts/lib.sh
# Under the sanitizers, what the libraries we call leak of their own is not ours to report.
export LSAN_OPTIONS="suppressions=$PWD/scripts/lsan-suppressions.txt${LSAN_OPTIONS:+:$LSAN_OPTIONS}"
ctest --test-dir "${BUILD_DIR:-$(preset_dir "${PRESET:-default}")}" --output-on-failure \
  --parallel "$(nproc)"
