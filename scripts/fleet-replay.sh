#!/usr/bin/env bash
# A fleet replayed through saltmark-server in accelerated time: BUOYS buoys (default 100)
# reporting every 30 minutes for DAYS days (default 30), half through DirectIP and half
# through the push route, with FAULTS injected faults (default 20: silent buoys, a silent
# sensor, a sagging battery, a geofence exit, a drift, a FAIL value), a kill -9 of the server
# half-way, webhooks to a local receiver and mail to a local SMTP server (python3-aiosmtpd).
# Checks that the alerts raised are the faults, one each, and that every event arrived; prints
# the deliveries per second with alerts on and the rules judged per second.
# Usage: bash scripts/fleet-replay.sh [--buoys N] [--days D] [--faults F] [--work DIR]
# (after building saltmark-server and sbd-send in BUILD_DIR, default build).
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${BUILD_DIR:-build}
echo "load before: $(cut -d' ' -f1-3 /proc/loadavg), $(nproc) cores"
status=0
/usr/bin/python3 bench/fleet_replay.py --server "$build_dir/converter/server/saltmark-server" \
  --send "$build_dir/tools/sbd-send" "$@" || status=$?
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
exit $status
