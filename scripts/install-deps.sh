#!/usr/bin/env bash
# Installs the Debian packages the build, the tests, the window, the Python modules and CI's
# extra builds (fuzzing, cross targets) need; only what is missing.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  qt6-base-dev qt6-charts-dev libqt6opengl6-dev libgl-dev
  xvfb xauth twm xfonts-base xfonts-75dpi imagemagick x11-utils xdotool
  locales
  nlohmann-json3-dev libsqlite3-dev sqlite3
  libhwy-dev
  libmpfr-dev libgmp-dev libboost-dev
  python3-dev pybind11-dev python3-pybind11 python3-pytest python3-numpy python3-matplotlib
  python3-dask python3-distributed python3-xarray python3-netcdf4 python3-scipy
  clang libfuzzer-14-dev libclang-rt-14-dev
  g++-arm-linux-gnueabi qemu-user
  g++-mingw-w64-x86-64 wine64 wixl
  valgrind
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
