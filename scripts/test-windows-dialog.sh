#!/usr/bin/env bash
# Saltmark.exe and its installer under wine, on a virtual display: after
# `scripts/cross-windows.sh` has built BUILD_DIR (default build-win), and called by it.
#   - for every bundled example and a malformed message, the dialog started with the message
#     shows saltmark-convert's report of it, byte for byte;
#   - an unreadable file is named in the box;
#   - "Choose SBD Input File..." and "Save Image..." through the Open and Save As dialogs: the
#     saved file holds exactly the camera record's image; a cancelled Open blanks the box and
#     keeps the image; a message without one disables "Save Image..."; the About box through
#     the system menu;
#   - Saltmark.msi installs silently, its programs stripped; the installed Saltmark.exe
#     converts a message, a double-clicked (associated) message opens in it, and uninstalling
#     leaves nothing behind.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh
build_dir=${BUILD_DIR:-$(preset_dir windows)}
wine=${WINE:-/usr/lib/wine/wine64}

# Dialogs need a display: a virtual one unless there is one already.
if [ -z "${DISPLAY:-}" ]; then
  exec xvfb-run -a -s '-screen 0 1280x1024x24' bash "$0" "$@"
fi
scratch=$(mktemp -d)
own_prefix=
cleanup() {
  if [ -n "$own_prefix" ]; then
    wine_stop
  fi
  rm -rf "$scratch"
}
trap cleanup EXIT
# Run alone, it starts wine itself; called by cross-windows.sh, it uses that script's prefix.
if [ -z "${WINEPREFIX:-}" ]; then
  own_prefix=yes
  WINE=$wine wine_start
fi
# The Windows name of a file here: wine shows the Unix root as drive Z:.
windows_path() { local path; path=$(realpath -m "$1"); printf 'Z:%s' "${path//\//\\}"; }
# Wine's own complaints about drive Z: go to standard error; the driver's verdicts too.
driver() { "$wine" "$build_dir/converter/win32/saltmark_win32_driver.exe" "$@"; }
convert() { "$wine" "$build_dir/converter/cli/saltmark-convert.exe" "$(windows_path "$1")" >"$2" || true; }
saltmark=$(windows_path "$build_dir/converter/win32/Saltmark.exe")

# A message that stops on an error: a camera record longer than what is left.
printf '\x37\x07\x01\x05\x00\xff\xd8' >"$scratch/malformed.sbd"
# A camera record carrying a known file, composed by the logger's own tool.
image=converter/app/resources/saltmark.png
WINEPATH="$(windows_path "$build_dir/eddyrate")" "$wine" "$build_dir/tools/sbd-compose.exe" \
  --port 3 --camera "$(windows_path "$image")" -o "$(windows_path "$scratch/camera.sbd")"

pairs=()
for message in examples/*.sbd "$scratch/malformed.sbd" "$scratch/camera.sbd"; do
  expected="$scratch/$(basename "$message" .sbd).txt"
  convert "$message" "$expected"
  pairs+=("$(windows_path "$message")" "$(windows_path "$expected")")
done
echo "Saltmark.exe shows the converter's report of $(( ${#pairs[@]} / 2 )) messages"
driver report "$saltmark" "${pairs[@]}"
driver unreadable "$saltmark" "$(windows_path "$scratch/missing.sbd")"
echo "Saltmark.exe: Open, Save As and About"
driver session "$saltmark" "$(windows_path "$scratch/camera.sbd")" \
  "$(windows_path "$scratch/camera.txt")" "$(windows_path "$image")" \
  "$(windows_path "$scratch/saved.jpg")" "$(windows_path "$scratch/malformed.sbd")"
cmp "$image" "$scratch/saved.jpg"

echo "Saltmark.msi: install, use, uninstall"
msi=$(windows_path "$build_dir/Saltmark.msi")
installed="$WINEPREFIX/drive_c/Program Files/Saltmark"
"$wine" msiexec /i "$msi" /qn
for file in Saltmark.exe saltmark-convert.exe; do
  [ -f "$installed/$file" ] || { echo "FAIL: the installer left out $file" >&2; exit 1; }
  file "$installed/$file" | grep -q 'stripped' ||
    { echo "FAIL: the installer carries $file with its debug information" >&2; exit 1; }
done
shortcut=$(find "$WINEPREFIX/drive_c" -path '*Start Menu/Programs/Saltmark.lnk' | head -1)
[ -n "$shortcut" ] || { echo "FAIL: no Start-menu shortcut" >&2; exit 1; }
driver report 'C:\Program Files\Saltmark\Saltmark.exe' "${pairs[0]}" "${pairs[1]}"
driver opened "${pairs[0]}" "${pairs[1]}"
"$wine" msiexec /x "$msi" /qn
left=$(find "$WINEPREFIX/drive_c" -iname '*saltmark*' | head)
if [ -n "$left" ] || "$wine" reg query 'HKCR\.sbd' >/dev/null 2>&1; then
  echo "FAIL: uninstalling left behind: ${left:-the .sbd association}" >&2
  exit 1
fi
echo "Saltmark.exe and Saltmark.msi: all checks passed"
