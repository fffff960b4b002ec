#!/usr/bin/env bash
# From a fresh Debian 12 machine: packages, build, then the main job on the bundled example.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
# The programs only: the tests and benchmarks are nearly half of the build, and test.sh (or
# any later build.sh) adds them to the same build folder.
bash scripts/build.sh -DBUILD_TESTING=OFF -DORCAN_BUILD_BENCH=OFF
bash scripts/run-example.sh
