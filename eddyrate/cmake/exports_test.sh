#!/usr/bin/env bash
# The shared library must export eddyRate and nothing else. Arguments: the library, and for
# a Windows DLL the objdump that reads its export table.
set -euo pipefail
library=$1
objdump=${2:-}
if [ -n "$objdump" ]; then
  exported=$("$objdump" -p "$library" |
    sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' | sed -n 's/^\s*\[ *[0-9]*\] //p' | sort -u)
else
  exported=$(nm -D --defined-only "$library" | awk '{ print $NF }' | sort -u)
fi
if [ "$exported" != "eddyRate" ]; then
  echo "expected only eddyRate to be exported by $library, found:" >&2
  echo "$exported" >&2
  exit 1
fi
