#!/usr/bin/env bash
# Takes docs/saltmark-window.png: the window with the bundled station message converted,
# framed by a plain window manager on a virtual X display. Needs Xvfb, twm and ImageMagick
# (`import`). Run after `bash scripts/build.sh`.
set -euo pipefail
cd "$(dirname "$0")/.."
export SALTMARK=${SALTMARK:-build/converter/app/saltmark}
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
# twm's own settings, except that it places a new window itself instead of waiting for a
# click.
{ cat /etc/X11/twm/system.twmrc 2>/dev/null || true; echo RandomPlacement; } >"$scratch/twmrc"
export TWMRC="$scratch/twmrc"

xvfb-run -a -s '-screen 0 1024x768x24' bash -c '
    twm -f "$TWMRC" >/dev/null 2>&1 & wm=$!
    "$SALTMARK" examples/station.sbd & window=$!
    sleep 3  # mapped, framed and painted
    # The frame is the window manager'"'"'s parent of the program'"'"'s window.
    frame=$(xwininfo -tree -name "ORCAN Iridium SBD Message Converter" |
        awk "/Parent window id:/ { print \$4 }")
    import -border -window "$frame" docs/saltmark-window.png
    kill "$window" "$wm"
'
echo "wrote docs/saltmark-window.png"
