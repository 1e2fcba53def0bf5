#!/bin/sh
# Takes the README's screenshot of decoded signals in the per-identifier view: starts the
# program on the simulated bus in a virtual X server, opens the device, loads
# docs/examples/vehicle.dbc through "数据库" → "加载DBC…", switches to "视图" → "按ID显示",
# widens the table over the transmit panel and expands the rows of six messages
# (docs/idview-signals.png).
# Usage: scripts/screenshot-idview-signals.sh   (after scripts/run.sh has built the program)
set -eu
cd "$(dirname "$0")/.."
. scripts/packages.sh
ensure_packages xvfb xauth x11-apps imagemagick xdotool fonts-wqy-microhei

mkdir -p docs
CANABLE_INTERFACE=sim xvfb-run -a -s "-screen 0 2100x900x24" sh -c '
    set -eu
    build/release/canmonitor &
    app=$!
    sleep 3
    window=$(xdotool search --sync --name Vostrel_V240522 | head -n 1)
    xdotool windowmove "$window" 0 0
    xdotool windowsize "$window" 2080 880
    sleep 1
    # "打开", then the menus "数据库" and "视图" of the menu bar.
    xdotool mousemove 778 51 click 1
    sleep 2
    xdotool mousemove 191 12 click 1
    sleep 0.5
    xdotool key Down Return
    sleep 1.5
    xdotool type "$PWD/docs/examples/vehicle.dbc"
    xdotool key Return
    sleep 1
    xdotool mousemove 80 12 click 1
    sleep 0.5
    xdotool key Down Return
    sleep 1
    # The splitter handle, dragged to the right edge.
    xdotool mousemove 1205 400 mousedown 1 mousemove 1500 400 sleep 0.2 \
        mousemove 2060 400 sleep 0.2 mouseup 1
    # Two full heartbeats, so that every row has its cycle and the slow ones their data.
    sleep 2.5
    # Bottom-up, so that expanding one message does not move the next one to click; the
    # odometer (row 3) stays closed.
    for y in 229 210 191 153 134 115; do
        xdotool mousemove 60 "$y" click 1 key Right
        sleep 0.3
    done
    xdotool mousemove 2000 870
    sleep 2
    xwd -root -silent | convert xwd:- -crop 2080x880+0+0 docs/idview-signals.png
    kill $app
'
echo "Saved docs/idview-signals.png"
