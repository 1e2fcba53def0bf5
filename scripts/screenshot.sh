#!/bin/sh
# Takes the README's screenshot: starts the program on the simulated bus in a virtual X
# server, opens the device, and saves the screen to docs/screenshot.png.
# Usage: scripts/screenshot.sh   (after scripts/run.sh has built the program once)
set -eu
cd "$(dirname "$0")/.."
. scripts/packages.sh
ensure_packages xvfb xauth x11-apps imagemagick xdotool fonts-wqy-microhei

out=${1:-docs/screenshot.png}
mkdir -p "$(dirname "$out")"
CANABLE_INTERFACE=sim xvfb-run -a -s "-screen 0 1700x680x24" sh -c '
    build/release/canmonitor &
    app=$!
    sleep 3
    window=$(xdotool search --sync --name Vostrel_V240522 | head -n 1)
    xdotool windowmove "$window" 0 0
    xdotool mousemove --window "$window" 448 26 click 1
    sleep 3
    xwd -root -silent | convert xwd:- -crop 1680x622+0+0 "'"$out"'"
    kill $app
'
echo "Saved $out"
