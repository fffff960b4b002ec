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
build_dir=${BUILD_DIR:-build-win}
native_dir=${NATIVE_BUILD_DIR:-build}
wine=/usr/lib/wine/wine64

# A private wine prefix; its server stays up for the whole run so that each test program
# does not pay for wine's start-up.
export WINEPREFIX
WINEPREFIX=$(mktemp -d)
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="  # no .NET or browser engine is wanted
cleanup() {
  /usr/lib/wine/wineserver -k 2>/dev/null || true
  rm -rf "$WINEPREFIX"
}
trap cleanup EXIT
# Persistent first: `wineserver -p` refuses (exit 2) when wineboot's own server still runs.
/usr/lib/wine/wineserver -p
"$wine" wineboot --init >/dev/null 2>&1

cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/mingw-w64-x86_64.cmake \
  -DORCAN_BUILD_APP=OFF -DORCAN_BUILD_BENCH=OFF -DORCAN_BUILD_PYTHON=OFF "$@"
cmake --build "$build_dir" --parallel "$(nproc)"
ctest --test-dir "$build_dir" --output-on-failure --parallel "$(nproc)"

bash scripts/cross-native.sh "$native_dir"
WINEPATH="Z:$(cd "$build_dir" && pwd)/eddyrate" \
  bash scripts/cross-compare.sh "$native_dir" "$build_dir" .exe "$wine"
BUILD_DIR="$build_dir" WINE="$wine" bash scripts/test-windows-dialog.sh
