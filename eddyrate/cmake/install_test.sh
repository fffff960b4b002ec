#!/usr/bin/env bash
# Installs EddyRate into a fresh prefix and builds the example logger (examples/logger.c)
# against the installed package twice, through find_package and through pkg-config with the
# command docs/eddyrate.md gives, then runs both.
# Arguments: build tree, scratch folder, C compiler, extra C flags (sanitizers), and in a
# cross build the emulator that runs the target's programs.
set -euo pipefail
build_dir=$1
scratch=$2
cc=$3
extra_flags=${4:-}
read -r -a emulator <<<"${5:-}"
here=$(cd "$(dirname "$0")" && pwd)

rm -rf "$scratch"
mkdir -p "$scratch"
prefix=$scratch/prefix
cmake --install "$build_dir" --prefix "$prefix" --component EddyRate >/dev/null

for f in include/eddyrate.h include/eddyrate_version.h; do
  [ -f "$prefix/$f" ] || { echo "not installed: $f" >&2; exit 1; }
done

# The run's output must come from the library: a rejected burst leaves the marker in the
# last band, a computed one the band's frequency near 4.966797 Hz.
check_output() {
  local output=$1
  echo "$output"
  # The header's version is the package's.
  grep -Fxq "EddyRate $version ($version)" <<<"$output" ||
    { echo "the header's version is not the package's, $version" >&2; exit 1; }
  grep -Eq '^Quality = [0-9.]+$' <<<"$output" || { echo "no Quality line" >&2; exit 1; }
  grep -Eq '^Epsilon = (missing|[0-9.e+-]+)$' <<<"$output" || { echo "no Epsilon line" >&2; exit 1; }
  grep -Eq '^Freq\[115\] = (9999\.000000|4\.966797)$' <<<"$output" ||
    { echo "Freq[115] is neither the marker nor the last band's frequency" >&2; exit 1; }
}

pc_dir=$(dirname "$(find "$prefix" -name eddyrate.pc)")
version=$(PKG_CONFIG_PATH=$pc_dir pkg-config --modversion eddyrate)

# 1. find_package(EddyRate) in a tiny CMake project.
cmake -S "$here/consumer" -B "$scratch/cmake-build" -G Ninja \
  -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_C_COMPILER="$cc" -DCMAKE_C_FLAGS="$extra_flags" \
  -DCMAKE_EXE_LINKER_FLAGS="$extra_flags" >/dev/null
cmake --build "$scratch/cmake-build" >/dev/null
check_output "$("${emulator[@]}" "$scratch/cmake-build/consumer")"

# 2. pkg-config and the C compiler by hand, as the page says, from the source tree's top.
export PKG_CONFIG_PATH=$pc_dir
# shellcheck disable=SC2046,SC2086
(cd "$here/../.." &&
  "$cc" -std=c11 -Wall -Wextra -Wpedantic -Werror $extra_flags \
    examples/logger.c $(pkg-config --cflags --libs eddyrate) \
    -Wl,-rpath,"$(pkg-config --variable=libdir eddyrate)" -o "$scratch/consumer-pc")
check_output "$("${emulator[@]}" "$scratch/consumer-pc")"
