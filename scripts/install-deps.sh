#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing the programs needs (the
# build, the tests, the window, the Python modules); only what is missing. CI's extra builds
# install their own tools: the cross toolchains, wine, wixl and qemu (cross-*.sh), clang and
# libFuzzer (ci-fuzz.sh), GNU MPFR (ci-mpfr.sh), valgrind (bench-profile.sh).
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  qt6-base-dev qt6-charts-dev libqt6opengl6-dev libgl-dev
  xvfb xauth twm xfonts-base xfonts-75dpi imagemagick x11-utils xdotool
  locales
  nlohmann-json3-dev libsqlite3-dev sqlite3 libcli11-dev
  libhwy-dev libboost-dev
  python3-dev pybind11-dev python3-pybind11 python3-pytest python3-numpy python3-matplotlib
  python3-dask python3-distributed python3-xarray python3-netcdf4 python3-scipy python3-pandas
  python3-setuptools python3-pip python3-venv python3-build python3-wheel
)

bash "$(dirname "$0")/install-packages.sh" "${packages[@]}"
