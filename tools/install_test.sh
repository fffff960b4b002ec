#!/usr/bin/env bash
# `cmake --install` puts the tools beside saltmark-convert, and each runs from the installed
# prefix with the installed library, whatever the loader's search path.
# Arguments: build tree, scratch folder.
set -euo pipefail
build_dir=$1
prefix=$2/prefix
rm -rf "$2"
cmake --install "$build_dir" --prefix "$prefix" --component EddyRate >/dev/null
cmake --install "$build_dir" --prefix "$prefix" --component Tools >/dev/null
status=0
for tool in eddyrate-run burst-gen sbd-compose; do
  if ! env -u LD_LIBRARY_PATH "$prefix/bin/$tool" --version >/dev/null; then
    echo "$tool: not installed, or does not run from $prefix/bin" >&2
    status=1
  fi
done
exit $status
