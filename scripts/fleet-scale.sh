#!/usr/bin/env bash
# The archive and the server at fleet scale: BUOYS buoys (default 100) reporting every 30
# minutes for DAYS days (default 365: 1.75 million messages; PB200 and battery in each, the
# turbulence record in every second one) imported with saltmark-convert --db as mail
# attachments, CHUNK days at a time (the files of a chunk are written, imported, removed);
# then saltmark-server --http on the archive, on 127.0.0.1, answers /api/buoys and one buoy's
# whole series of one field. Prints the sustained import rate, the median of five requests of
# each, the server's resident memory and the archive's bytes per message.
# Usage: bash scripts/fleet-scale.sh [--buoys N] [--days D] [--chunk DAYS] [--keep DIR]
# (after building saltmark-convert, saltmark-server and saltmark_fleet_messages in BUILD_DIR,
# default build). With --keep the archive stays in DIR (and is reused when it is there).
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${BUILD_DIR:-build}
buoys=100
days=365
chunk=5
keep=
while [ $# -gt 0 ]; do
  case $1 in
    --buoys) buoys=$2; shift 2 ;;
    --days) days=$2; shift 2 ;;
    --chunk) chunk=$2; shift 2 ;;
    --keep) keep=$2; shift 2 ;;
    *) echo "usage: $0 [--buoys N] [--days D] [--chunk DAYS] [--keep DIR]" >&2; exit 2 ;;
  esac
done
convert=$build_dir/converter/cli/saltmark-convert
server=$build_dir/converter/server/saltmark-server
generate=$build_dir/bench/saltmark_fleet_messages
if [ -n "$keep" ]; then
  mkdir -p "$keep"
  work=$(cd "$keep" && pwd)
else
  # On a real disk: a RAM file system would time no sync.
  work=$(mktemp -d "$PWD/$build_dir/fleet.XXXXXX")
fi
archive=$work/archive.sqlite
server_pid=
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
  rm -rf "$work/inbox"
  [ -z "$keep" ] && rm -rf "$work"
  return 0
}
trap cleanup EXIT

now() { date +%s.%N; }
if [ ! -e "$archive" ]; then
  import_seconds=0
  for ((first = 0; first < days; first += chunk)); do
    n=$(( days - first < chunk ? days - first : chunk ))
    rm -rf "$work/inbox"
    "$generate" "$work/inbox" "$buoys" "$first" "$n"
    start=$(now)
    # xargs splits the files over as few runs as the argument list allows.
    find "$work/inbox" -name '*.sbd' -print0 | xargs -0 "$convert" --db "$archive" 2>>"$work/import.log"
    end=$(now)
    import_seconds=$(awk -v t="$import_seconds" -v s="$start" -v e="$end" 'BEGIN { print t + e - s }')
    echo "days $first..$((first + n - 1)): $(awk -v m=$((buoys * n * 48)) -v s="$start" -v e="$end" \
      'BEGIN { printf "%.0f messages/s", m / (e - s) }')" >&2
  done
  rm -rf "$work/inbox"
  total=$((buoys * days * 48))
  awk -v m="$total" -v t="$import_seconds" \
    'BEGIN { printf "import: %d messages in %.1f s, %.0f messages/s sustained\n", m, t, m / t }'
fi

sqlite3 "$archive" 'PRAGMA wal_checkpoint(TRUNCATE)' > /dev/null
messages=$(sqlite3 "$archive" 'SELECT count(*) FROM messages')
bytes=$(stat -c %s "$archive")
awk -v b="$bytes" -v m="$messages" \
  'BEGIN { printf "archive: %d messages, %.0f MB, %.0f bytes per message\n", m, b / 1e6, b / m }'
echo "largest tables and indexes (bytes per message):"
sqlite3 "$archive" "SELECT name, round(sum(pgsize) * 1.0 / $messages) FROM dbstat GROUP BY name
  ORDER BY sum(pgsize) DESC LIMIT 6" | sed 's/^/  /'

"$server" --archive "$archive" --http 127.0.0.1:0 2> "$work/server.log" &
server_pid=$!
for _ in $(seq 1 200); do
  grep -q 'http listening on' "$work/server.log" && break
  sleep 0.05
done
address=$(sed -n 's/.*http listening on \(.*\)/\1/p' "$work/server.log")
[ -n "$address" ] || { cat "$work/server.log" >&2; exit 1; }

median_ms() {
  local url=$1 times=()
  for _ in 1 2 3 4 5; do
    times+=("$(curl -s -o "$work/body" -w '%{time_total}' "$url")")
  done
  printf '%s\n' "${times[@]}" | sort -n | sed -n 3p | awk '{ printf "%.0f ms", $1 * 1000 }'
}
imei=300234010000000
echo "/api/buoys: $(median_ms "http://$address/api/buoys") ($(stat -c %s "$work/body") bytes)"
echo "/api/series, one buoy's PB200 WSMean: $(median_ms \
  "http://$address/api/series?type=PB200&field=WSMean&imei=$imei") ($(stat -c %s "$work/body") bytes)"
echo "server memory: $(awk '/VmRSS|VmHWM/ { printf "%s %.0f MB  ", $1, $2 / 1024 }' /proc/$server_pid/status)"
