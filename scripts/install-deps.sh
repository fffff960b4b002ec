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
  libhwy-dev libboost-dev libyaml-cpp-dev libgeographiclib-dev
  libnetcdf-dev libeccodes-dev libeccodes-tools libcurl4-openssl-dev libssl-dev python3-aiosmtpd openssl
  chromium chromium-driver python3-selenium
  mpack acl procmail
  python3-dev pybind11-dev python3-pybind11 python3-pytest python3-numpy python3-matplotlib
  python3-dask python3-distributed python3-xarray python3-netcdf4 python3-scipy python3-pandas
  python3-setuptools python3-pip python3-venv python3-build python3-wheel
)

bash "$(dirname "$0")/install-packages.sh" "${packages[@]}"

# The dashboard's browser libraries (charts, coastlines), exactly as package-lock.json pins
# them; the build copies them beside saltmark-server, which serves them itself. Node.js and
# npm come with the machine (Debian's npm package would clash with a newer Node.js).
web="$(cd "$(dirname "$0")/.." && pwd)/converter/server/web"
if [ ! -d "$web/node_modules" ] || [ "$web/package-lock.json" -nt "$web/node_modules/.package-lock.json" ]; then
  if ! command -v npm >/dev/null; then
    echo "npm not found: install Node.js with npm for the dashboard's chart and map libraries" >&2
    exit 1
  fi
  (cd "$web" && npm ci --no-audit --no-fund --loglevel=error)
fi
