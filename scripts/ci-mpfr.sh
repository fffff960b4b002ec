#!/usr/bin/env bash
# CI: the correctly rounded sin, cos and pow against GNU MPFR, their independent reference.
# MPFR is a test-only dependency of this one comparison, so this script installs it; the
# plain suite lists the comparison as skipped when MPFR is missing. A build folder of its own
# (the mpfr preset), so that the requirement stays out of the default build's cache.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-packages.sh libmpfr-dev libgmp-dev
. scripts/lib.sh
build_dir=${BUILD_DIR:-$(preset_dir mpfr)}
configure mpfr "$build_dir" >/dev/null
cmake --build "$build_dir" --parallel "$(nproc)" --target eddyrate_crmath_mpfr_test
ctest --test-dir "$build_dir" --output-on-failure -R '^CorrectlyRoundedMath\..*Mpfr'
