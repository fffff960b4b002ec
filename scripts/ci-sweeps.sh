#!/usr/bin/env bash
# CI: eddyRate with hostile arguments (every output written, no call over 2 s of processor
# time or 100 MB), first in the plain build (BUILD_DIR, default build) where the time is
# judged, then under AddressSanitizer, LeakSanitizer and UndefinedBehaviorSanitizer
# (SANITIZE_BUILD_DIR, default: the sanitize preset's build-sanitize), where every allocation of a call is also
# refused in turn (answered as rejected, nothing leaked, no exception out of the call).
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh
plain_dir=${BUILD_DIR:-$(preset_dir default)}
configure default "$plain_dir"
cmake --build "$plain_dir" --parallel "$(nproc)" --target eddyrate_hostile_sweep
"$plain_dir/eddyrate/testing/eddyrate_hostile_sweep"

build_dir=${SANITIZE_BUILD_DIR:-$(preset_dir sanitize)}
configure sanitize "$build_dir"
cmake --build "$build_dir" --parallel "$(nproc)" \
  --target eddyrate_hostile_sweep eddyrate_allocation_failure_sweep
export ASAN_OPTIONS=detect_leaks=1:halt_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
"$build_dir/eddyrate/testing/eddyrate_hostile_sweep"
"$build_dir/eddyrate/testing/eddyrate_allocation_failure_sweep"
