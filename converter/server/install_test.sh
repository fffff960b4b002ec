#!/usr/bin/env bash
# `cmake --install` puts the dashboard's page under share/saltmark/web, not among the
# programs, and the installed server finds it there by itself: `/` answers the page.
# A release install carries the server stripped (RelWithDebInfo: its debug information beside it).
# Arguments: this folder's build tree (its install rules alone), scratch folder, configuration.
set -euo pipefail
build_dir=$1
scratch=$2
config=${3:-}
prefix=$scratch/prefix
rm -rf "$scratch"
mkdir -p "$scratch"
cmake --install "$build_dir" --prefix "$prefix" >/dev/null

[ -f "$prefix/share/saltmark/web/index.html" ] ||
  { echo "the page is not in $prefix/share/saltmark/web" >&2; exit 1; }
[ ! -e "$prefix/bin/web" ] || { echo "the page is still installed in bin/web" >&2; exit 1; }

case $config in
  Release | MinSizeRel | RelWithDebInfo)
    file "$prefix/bin/saltmark-server" | grep -q ', stripped' ||
      { echo "the installed server is not stripped: $(file "$prefix/bin/saltmark-server")" >&2; exit 1; }
    ;;
esac
if [ "$config" = RelWithDebInfo ]; then
  file "$prefix/bin/.debug/saltmark-server.debug" | grep -q 'with debug_info' ||
    { echo "the server's debug information is not kept in bin/.debug" >&2; exit 1; }
fi

# Its help names the folder it will serve by default.
"$prefix/bin/saltmark-server" --help | tr -s ' \n' '  ' |
  grep -Fq "default: $(realpath "$prefix")/share/saltmark/web;" ||
  { echo "--help does not name the installed page" >&2; exit 1; }

log=$scratch/server.log
"$prefix/bin/saltmark-server" --archive "$scratch/archive.sqlite" --directip 127.0.0.1:0 \
  --http 127.0.0.1:0 \
  >"$log" 2>&1 &
server=$!
trap 'kill "$server" 2>/dev/null; wait "$server" 2>/dev/null || true' EXIT
port=
for _ in $(seq 100); do
  port=$(sed -n 's/.*http listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$log")
  [ -n "$port" ] && break
  kill -0 "$server" 2>/dev/null || { cat "$log" >&2; exit 1; }
  sleep 0.1
done
[ -n "$port" ] || { echo "the server did not say its port" >&2; cat "$log" >&2; exit 1; }

exec 3<>"/dev/tcp/127.0.0.1/$port"
printf 'GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n' >&3
answer=$(cat <&3)
exec 3<&-
head -n 1 <<<"$answer" | grep -q ' 200 ' ||
  { echo "/ was not served:" >&2; head -n 1 <<<"$answer" >&2; exit 1; }
grep -Fq "$(grep -m 1 '<title>' "$prefix/share/saltmark/web/index.html")" <<<"$answer" ||
  { echo "/ is not the installed page" >&2; exit 1; }
