#!/usr/bin/env bash
# The shared library must not call the C library's sine, cosine or power (in any variant):
# their last bits differ from machine to machine, and the library's own correctly rounded
# functions stand in for them.
set -euo pipefail
library=$1
imported=$(nm -D --undefined-only "$library" | awk '{ print $NF }' | sed 's/@.*//' | sort -u)
forbidden=$(grep -E '^_*(sin|cos|sincos|pow)(f|l|f64|f128)?(_[a-z0-9]+)*$' <<<"$imported" || true)
if [ -n "$forbidden" ]; then
  echo "$library imports C library functions whose last bits vary by machine:" >&2
  echo "$forbidden" >&2
  exit 1
fi
