#!/usr/bin/env bash
# The quick start installs what building, running and testing the programs needs, nothing
# that only CI's extra builds use; each of those tools is installed by the script that uses it.
set -euo pipefail
cd "$(dirname "$0")"
status=0
quick_start=$(sed -n '/^packages=(/,/^)/p' install-deps.sh)
# package: the script that installs it
while read -r package script; do
  if grep -qw -- "$package" <<<"$quick_start"; then
    echo "install-deps.sh installs $package, which only $script uses" >&2
    status=1
  fi
  if ! grep -q "install-packages.sh.*[[:space:]]$package\b" "$script"; then
    echo "$script does not install $package" >&2
    status=1
  fi
done <<'LIST'
g++-arm-linux-gnueabi cross-arm.sh
qemu-user cross-arm.sh
g++-mingw-w64-x86-64 cross-windows.sh
wine64 cross-windows.sh
wixl cross-windows.sh
clang ci-fuzz.sh
libfuzzer-14-dev ci-fuzz.sh
libmpfr-dev ci-mpfr.sh
valgrind bench-profile.sh
LIST
exit $status
