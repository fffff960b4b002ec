#!/usr/bin/env bash
# Durable deliveries per second of saltmark-server on this machine: SENDERS concurrent senders
# (default 8) push MESSAGES DirectIP messages in all (default 2000), each on a connection of
# its own as the Iridium gateway does, and count those the server confirmed (--confirm: the
# confirmation goes out only after the message is committed with synchronous=FULL).
# Usage: bash scripts/server-speed.sh [MESSAGES] [SENDERS]   (after bash scripts/build.sh)
# With QC=CONFIG in the environment the server flags each delivery's buoy by that
# quality-control configuration before it confirms (QC=examples/qc.yaml).
# With ROUTE=push the same messages go as a service provider's HTTP pushes (--push), each
# answered 200 only after its commit.
# Each sender is one buoy: SENDERS buoys of MESSAGES / SENDERS messages each.
# The archive lives in the build folder, on a real disk: a RAM file system would time no sync.
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${BUILD_DIR:-build}
count=${1:-2000}
senders=${2:-8}
route=${ROUTE:-directip}
work=$(mktemp -d "$PWD/$build_dir/server-speed.XXXXXX")
server_pid=
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

# A short station message: the battery voltage record (type 6, port 1, 8 bytes: 12.5 V).
printf '\x06\x01\x08\x00\x00\x00\x48\x41' > "$work/battery.rec"
for s in $(seq 1 "$senders"); do
  mkdir "$work/sender$s"
done
for i in $(seq 1 "$count"); do
  s=$(( (i - 1) % senders + 1 ))
  "$build_dir/tools/sbd-compose" --record "$work/battery.rec" \
    --directip "30023401000000$s,$i,$((1765100000 + i))" -o "$work/sender$s/$i.sbd"
done

if [ "$route" = push ]; then listen=(--push 127.0.0.1:0); else listen=(--directip 127.0.0.1:0 --confirm); fi
"$build_dir/converter/server/saltmark-server" --archive "$work/archive.sqlite" \
  "${listen[@]}" ${QC:+--qc "$QC"} 2> "$work/server.log" &
server_pid=$!
for _ in $(seq 1 100); do
  grep -q "$route listening on" "$work/server.log" && break
  sleep 0.05
done
address=$(sed -n "s/.*$route listening on \(.*\)/\1/p" "$work/server.log")
to=("$address")
ok=': confirmed$'
if [ "$route" = push ]; then to=(--push "http://$address/"); ok=': 200 archived$'; fi

start=$(date +%s.%N)
sender_pids=()
for s in $(seq 1 "$senders"); do
  "$build_dir/tools/sbd-send" "${to[@]}" "$work/sender$s/"*.sbd > "$work/sent$s.txt" &
  sender_pids+=($!)
done
for pid in "${sender_pids[@]}"; do
  wait "$pid" || true  # exit 1 when a delivery was not confirmed; counted below
done
end=$(date +%s.%N)
confirmed=$(cat "$work"/sent*.txt | grep -c "$ok" || true)
archived=$(sqlite3 "$work/archive.sqlite" 'SELECT count(*) FROM messages')
awk -v n="$confirmed" -v a="$archived" -v m="$count" -v w="$senders" -v s="$start" -v e="$end" \
  'BEGIN { printf "%d senders: %d of %d deliveries confirmed (%d archived) in %.2f s, %.0f durable deliveries/s\n", w, n, m, a, e - s, n / (e - s) }'
