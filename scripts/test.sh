#!/usr/bin/env bash
# From a fresh Debian 12 machine: packages, build, then the whole test suite.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh "$@"
ctest --test-dir "${BUILD_DIR:-build}" --output-on-failure --parallel "$(nproc)"
