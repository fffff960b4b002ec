#!/usr/bin/env bash
# The mail route as installed: setup-mail-route makes a mail account and a folder, the recipe
# runs as that account on a MIME mail with a base64 .sbd attachment (as the mail server runs
# it), and saltmark-server, as an account of its own in the folder's group, archives the
# attachment. Also: a file the mail account writes unreadable (mode 0600) is archived as soon
# as its mode is fixed. Needs root (it makes system accounts, removed again at the end).
# Usage: mail_route_test.sh SALTMARK_SERVER
set -euo pipefail
server_program=$1
here=$(cd "$(dirname "$0")" && pwd)
skip() { echo "SKIPPED: $*"; exit 77; }
[ "$(id -u)" -eq 0 ] || skip "needs root to make the mail and server accounts"
for tool in munpack procmail setfacl useradd runuser sqlite3; do
  command -v "$tool" >/dev/null || skip "$tool not found (scripts/install-deps.sh installs it)"
done

suffix=$$
mail_user=smk-mail-$suffix
server_user=smk-server-$suffix
group=smk-$suffix
scratch=$(mktemp -d /tmp/saltmark-mail-route.XXXXXX)
folder=$scratch/spool/mail
server_pid=
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null || true
  userdel -r "$mail_user" >/dev/null 2>&1 || true
  userdel "$server_user" >/dev/null 2>&1 || true
  groupdel "$group" >/dev/null 2>&1 || true
  rm -rf "$scratch"
}
trap cleanup EXIT
fail() { echo "FAILED: $*" >&2; echo "--- server log" >&2; cat "$scratch/server.log" >&2 || true; exit 1; }
chmod 0755 "$scratch"

"$here/setup-mail-route" --mail-user "$mail_user" --group "$group" --folder "$folder" \
  --unpack "$here/saltmark-unpack" >/dev/null
useradd --system --no-create-home --gid "$group" --shell /usr/sbin/nologin "$server_user"
install -d -o "$server_user" -g "$group" -m 0700 "$scratch/archive"
install -m 0755 "$server_program" "$scratch/saltmark-server"

runuser -u "$server_user" -- "$scratch/saltmark-server" --archive "$scratch/archive/a.sqlite" \
  --directip 127.0.0.1:0 --watch "$folder" --settle 1 2>"$scratch/server.log" &
server_pid=$!
wait_for_log() {
  for _ in $(seq 300); do
    grep -qF -- "$1" "$scratch/server.log" && return 0
    kill -0 "$server_pid" 2>/dev/null || fail "the server ended"
    sleep 0.1
  done
  fail "no log line: $1"
}
wait_for_log "watching $folder"

# A mail as the gateway sends it: a text part, then the message as a base64 attachment.
payload_hex=0106000a0b0c0d0e0f10111213
name=300234010753370_000123.sbd
{
  printf 'From: gateway@example.org\nTo: %s@localhost\nSubject: SBD Msg From Unit: 300234010753370\n' "$mail_user"
  printf 'MIME-Version: 1.0\nContent-Type: multipart/mixed; boundary="part"\n\n--part\n'
  printf 'Content-Type: text/plain; charset=us-ascii\n\nMOMSN: 123\nMTMSN: 0\n\n--part\n'
  printf 'Content-Type: application/x-zip-compressed; name="%s"\n' "$name"
  printf 'Content-Disposition: attachment; filename="%s"\nContent-Transfer-Encoding: base64\n\n' "$name"
  printf '\x01\x06\x00\x0a\x0b\x0c\x0d\x0e\x0f\x10\x11\x12\x13' | base64
  printf '\n--part--\n'
} > "$scratch/mail"
chmod 0644 "$scratch/mail"
runuser -u "$mail_user" -- procmail < "$scratch/mail" || fail "procmail failed"

wait_for_log "watch $name IMEI 300234010753370 MOMSN 123, 13 bytes: archived"
stored=$(sqlite3 "$scratch/archive/a.sqlite" "SELECT lower(hex(bytes)) FROM messages WHERE file_name = '$name'")
[ "$stored" = "$payload_hex" ] || fail "archived bytes $stored, mailed $payload_hex"
left=$(cd "$folder" && ls -A)
[ "$left" = "$name" ] || fail "the folder holds: $left"
owner=$(stat -c '%U:%G %a' "$folder/$name")
[ "$owner" = "$mail_user:$group 640" ] || fail "the attachment is $owner"

# Put there unreadable (as munpack alone would), then fixed: no restart needed.
runuser -u "$mail_user" -- sh -c "printf 'late' > '$folder/.late'; chmod 0600 '$folder/.late'; mv '$folder/.late' '$folder/late.sbd'"
wait_for_log "watch late.sbd: not imported yet, Permission denied"
runuser -u "$mail_user" -- chmod 0640 "$folder/late.sbd"
wait_for_log "watch late.sbd, 4 bytes: archived (in after 1 refused try)"
echo "mail route: archived as $server_user what $mail_user unpacked"
