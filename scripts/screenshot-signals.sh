#!/bin/sh
# Takes the README's screenshot of decoded signals: starts the program on the simulated
# bus in a virtual X server, opens the device, loads docs/examples/vehicle.dbc through
# "数据库" → "加载DBC…", shows the signal view and expands some of its messages
# (docs/signals.png).
# Usage: scripts/screenshot-signals.sh   (after scripts/run.sh has built the program once)
set -eu
cd "$(dirname "$0")/.."
. scripts/packages.sh
ensure_packages xvfb xauth x11-apps imagemagick xdotool fonts-wqy-microhei

mkdir -p docs
CANABLE_INTERFACE=sim xvfb-run -a -s "-screen 0 1700x900x24" sh -c '
    set -eu
    build/release/canmonitor &
    app=$!
    sleep 3
    window=$(xdotool search --sync --name Vostrel_V240522 | head -n 1)
    xdotool windowmove "$window" 0 0
    xdotool windowsize "$window" 1680 880
    sleep 1
    # "打开", then the menu "数据库" of the menu bar.
    xdotool mousemove 778 51 click 1
    sleep 2
    xdotool mousemove 191 12 click 1
    sleep 0.5
    xdotool key Down Return
    sleep 1.5
    xdotool type "$PWD/docs/examples/vehicle.dbc"
    xdotool key Return
    sleep 1
    xdotool mousemove 191 12 click 1
    sleep 0.5
    xdotool key Down Down Down Down Return
    sleep 1
    # The dock'"'"'s upper edge, dragged up.
    xdotool mousemove 800 643 mousedown 1 mousemove 800 560 sleep 0.2 \
        mousemove 800 420 sleep 0.2 mouseup 1
    sleep 1
    # Bottom-up, so that expanding one message does not move the next one to click.
    for y in 654 617; do
        xdotool mousemove 100 "$y" click 1 key Right
        sleep 0.2
    done
    xdotool mousemove 1600 880
    sleep 2
    xwd -root -silent | convert xwd:- -crop 1680x880+0+0 docs/signals.png
    kill $app
'
echo "Saved docs/signals.png"
