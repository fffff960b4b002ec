#!/usr/bin/env bash
# CI: eddyRate with hostile arguments (every output written, no call over 2 s of processor
# time or 100 MB), first in the plain build (BUILD_DIR, default build) where the time is
# judged, then under AddressSanitizer, LeakSanitizer and UndefinedBehaviorSanitizer
# (SANITIZE_BUILD_DIR, default build-sanitize), where every allocation of a call is also
# refused in turn (answered as rejected, nothing leaked, no exception out of the call).
set -euo pipefail
cd "$(dirname "$0")/.."
plain_dir=${BUILD_DIR:-build}
cmake -S . -B "$plain_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$plain_dir" --parallel "$(nproc)" --target eddyrate_hostile_sweep
"$plain_dir/eddyrate/testing/eddyrate_hostile_sweep"

build_dir=${SANITIZE_BUILD_DIR:-build-sanitize}
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORCAN_SANITIZE=ON \
  -DORCAN_BUILD_BENCH=OFF
cmake --build "$build_dir" --parallel "$(nproc)" \
  --target eddyrate_hostile_sweep eddyrate_allocation_failure_sweep
export ASAN_OPTIONS=detect_leaks=1:halt_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
"$build_dir/eddyrate/testing/eddyrate_hostile_sweep"
"$build_dir/eddyrate/testing/eddyrate_allocation_failure_sweep"
