#!/usr/bin/env bash
# CI: the correctly rounded sin, cos and pow against GNU MPFR, their independent reference.
# MPFR is a test-only dependency of this one comparison, so this script installs it; the
# plain suite lists the comparison as skipped when MPFR is missing.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-packages.sh libmpfr-dev libgmp-dev
build_dir=${BUILD_DIR:-build}
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DEDDYRATE_REQUIRE_MPFR=ON \
  >/dev/null
cmake --build "$build_dir" --parallel "$(nproc)" --target eddyrate_crmath_mpfr_test
ctest --test-dir "$build_dir" --output-on-failure -R '^CorrectlyRoundedMath\..*Mpfr'
