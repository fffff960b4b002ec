#!/usr/bin/env bash
# The shared library must export eddyRate and nothing else.
set -euo pipefail
library=$1
exported=$(nm -D --defined-only "$library" | awk '{ print $NF }' | sort -u)
if [ "$exported" != "eddyRate" ]; then
  echo "expected only eddyRate to be exported by $library, found:" >&2
  echo "$exported" >&2
  exit 1
fi
