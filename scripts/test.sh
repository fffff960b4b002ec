#!/usr/bin/env bash
# From a fresh Debian 12 machine: packages, build, then the whole test suite.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
# Every optional part is required here: a suite that left one out would pass without its tests.
bash scripts/build.sh -DORCAN_REQUIRE_ALL=ON "$@"
ctest --test-dir "${BUILD_DIR:-build}" --output-on-failure --parallel "$(nproc)"
