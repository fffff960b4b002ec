#!/usr/bin/env bash
# From a fresh Debian 12 machine: packages, build, then the main job on the bundled example.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh
bash scripts/run-example.sh
