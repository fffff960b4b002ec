#!/usr/bin/env bash
# CI: eddyRate under AddressSanitizer, LeakSanitizer and UndefinedBehaviorSanitizer with
# hostile arguments (every output written, no call over 2 s of processor time or 100 MB),
# then with every allocation of a call refused in turn (answered as rejected, nothing leaked,
# no exception out of the call).
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${BUILD_DIR:-build-sanitize}
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORCAN_SANITIZE=ON \
  -DORCAN_BUILD_BENCH=OFF >/dev/null
cmake --build "$build_dir" --parallel "$(nproc)" \
  --target eddyrate_hostile_sweep eddyrate_allocation_failure_sweep
export ASAN_OPTIONS=detect_leaks=1:halt_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
"$build_dir/eddyrate/stages/eddyrate_hostile_sweep"
"$build_dir/eddyrate/stages/eddyrate_allocation_failure_sweep"
