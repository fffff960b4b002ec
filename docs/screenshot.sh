#!/usr/bin/env bash
# Makes the pictures of the README and docs/, after `bash scripts/build.sh`:
#   docs/saltmark-window.png    the window with the bundled station message converted
#   docs/saltmark-spectrum.png  the window's Spectrum view of the bundled burst's Y81000 record
#   docs/burst-spectrum.png     eddyrate-run --plot of the bundled burst
# The window is framed by a plain window manager on a virtual X display: Xvfb, twm,
# its fonts (xfonts-base, xfonts-75dpi), ImageMagick's `import`, xwininfo and xdotool (scripts/install-deps.sh
# installs them).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
export SALTMARK=${SALTMARK:-$build/converter/app/saltmark}
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# The road of the bundled burst: its outputs, packed into a Y81000 record as the logger does.
"$build/tools/eddyrate-run" --plot docs/burst-spectrum.png examples/burst-30min-10hz.csv >/dev/null
"$build/tools/eddyrate-run" --json examples/burst-30min-10hz.csv |
    "$build/tools/sbd-compose" --port 5 --y81000 - -o "$scratch/burst-30min-10hz.sbd"
export BURST_MESSAGE="$scratch/burst-30min-10hz.sbd"

# twm's own settings, except that it places a new window itself instead of waiting for a
# click.
{ cat /etc/X11/twm/system.twmrc 2>/dev/null || true; echo RandomPlacement; } >"$scratch/twmrc"
export TWMRC="$scratch/twmrc"

xvfb-run -a -s '-screen 0 1024x768x24' bash -c '
    set -e
    title="ORCAN Iridium SBD Message Converter"
    # The frame is the window manager'"'"'s parent of the program'"'"'s window.
    frame() { xwininfo -tree -name "$title" | awk "/Parent window id:/ { print \$4 }"; }
    twm -f "$TWMRC" >/dev/null 2>&1 & wm=$!

    "$SALTMARK" examples/station.sbd & window=$!
    sleep 3  # mapped, framed and painted
    import -border -window "$(frame)" docs/saltmark-window.png
    kill "$window"; wait "$window" 2>/dev/null || true

    "$SALTMARK" "$BURST_MESSAGE" & window=$!
    sleep 3
    id=$(xdotool search --name "$title" | head -1)
    xdotool windowactivate --sync "$id" 2>/dev/null || xdotool windowfocus --sync "$id"
    xdotool key --clearmodifiers alt+s  # the Spectrum tab
    sleep 1
    import -border -window "$(frame)" docs/saltmark-spectrum.png
    kill "$window" "$wm"
'
echo "wrote docs/saltmark-window.png, docs/saltmark-spectrum.png, docs/burst-spectrum.png"
