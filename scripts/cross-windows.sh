#!/usr/bin/env bash
# Windows x64: cross-builds libeddyrate.dll (exporting eddyRate, undecorated, with C linkage),
# saltmark-convert, the Saltmark dialog (Saltmark.exe), its installer (Saltmark.msi, with wixl),
# the tools and the tests with mingw-w64, runs the tests under wine, compares the main job's
# outputs byte for byte with this machine's build (built first if it is not there), then drives
# the dialog and the installer under wine on a virtual display (scripts/test-windows-dialog.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/install-packages.sh g++-mingw-w64-x86-64 wine64 wixl
. scripts/lib.sh
build_dir=${BUILD_DIR:-$(preset_dir windows)}
native_dir=${NATIVE_BUILD_DIR:-$(preset_dir default)}
wine=/usr/lib/wine/wine64

# The prefix's server stays up for the whole run, the dialog's tests included.
WINE=$wine wine_start
trap wine_stop EXIT

configure windows "$build_dir" "$@"
cmake --build "$build_dir" --parallel "$(nproc)"
# A test that fails under wine is run once more: wine now and then fails to start a program
# (no output, a failure in a hundredth of a second) on a loaded machine; a real failure fails
# twice.
ctest --test-dir "$build_dir" --output-on-failure --parallel "$(nproc)" --repeat until-pass:2

bash scripts/cross-native.sh "$native_dir"
WINEPATH="Z:$(cd "$build_dir" && pwd)/eddyrate" \
  bash scripts/cross-compare.sh "$native_dir" "$build_dir" .exe "$wine"
BUILD_DIR="$build_dir" WINE="$wine" bash scripts/test-windows-dialog.sh
