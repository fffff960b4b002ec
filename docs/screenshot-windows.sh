#!/usr/bin/env bash
# Makes the pictures of Saltmark on Windows, after `bash scripts/cross-windows.sh`:
#   docs/saltmark-windows.png        Saltmark.exe under wine with the bundled station message
#   docs/saltmark-windows-about.png  its About box, opened through the system menu
# On a virtual X display framed by twm, as docs/screenshot.sh does for the Qt window.
set -euo pipefail
cd "$(dirname "$0")/.."
export BUILD_DIR=${BUILD_DIR:-build-win}
export WINE=${WINE:-/usr/lib/wine/wine64}
scratch=$(mktemp -d)
export WINEPREFIX="$scratch/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
trap '/usr/lib/wine/wineserver -k 2>/dev/null || true; rm -rf "$scratch"' EXIT
{ cat /etc/X11/twm/system.twmrc 2>/dev/null || true; echo RandomPlacement; } >"$scratch/twmrc"
export TWMRC="$scratch/twmrc"

xvfb-run -a -s '-screen 0 1280x1024x24' bash -c '
    set -e
    frame() { xwininfo -tree -name "$1" | awk "/Parent window id:/ { print \$4 }"; }
    twm -f "$TWMRC" >/dev/null 2>&1 & wm=$!
    "$WINE" wineboot --init >/dev/null 2>&1
    "$WINE" "$BUILD_DIR/converter/win32/Saltmark.exe" "Z:$(pwd | tr / \\\\)\\examples\\station.sbd" &
    for _ in $(seq 60); do
        xdotool search --name "ORCAN Iridium SBD Message Converter" >/dev/null 2>&1 && break
        sleep 1
    done
    sleep 2  # framed and painted
    import -border -window "$(frame "ORCAN Iridium SBD Message Converter")" docs/saltmark-windows.png
    "$WINE" "$BUILD_DIR/converter/win32/saltmark_win32_driver.exe" about
    sleep 2
    import -border -window "$(frame "About Saltmark")" docs/saltmark-windows-about.png
    kill "$wm"
'
echo "wrote docs/saltmark-windows.png, docs/saltmark-windows-about.png"
