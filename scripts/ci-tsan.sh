#!/usr/bin/env bash
# CI: the export's tests, among them several threads calling eddyRate at once on their own
# buffers, under ThreadSanitizer. Any reported race fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh
build_dir=${BUILD_DIR:-$(preset_dir tsan)}
configure tsan "$build_dir"
cmake --build "$build_dir" --parallel "$(nproc)" --target eddyrate_export_test
# Newer kernels randomise mmap addresses more widely than this ThreadSanitizer expects; it
# then stops with "unexpected memory mapping". Running without address randomisation avoids it.
run=()
if command -v setarch >/dev/null && setarch "$(uname -m)" -R true 2>/dev/null; then
  run=(setarch "$(uname -m)" -R)
fi
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
  "${run[@]}" "$build_dir/eddyrate/eddyrate_export_test" --gtest_filter='ExportTest.Concurrent*'
