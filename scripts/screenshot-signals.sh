#!/bin/sh
# Takes the README's screenshots of decoded signals: starts the program on the simulated
# bus in a virtual X server, opens the device, loads docs/examples/vehicle.dbc through
# "数据库" → "加载DBC…", then either shows the signal dock and expands some of its messages
# (docs/signals.png), or, with the argument "idview", switches to "视图" → "按ID显示",
# widens the table over the transmit panel and expands the rows of six messages
# (docs/idview-signals.png).
# Usage: scripts/screenshot-signals.sh [idview]   (after scripts/run.sh has built the program)
set -eu
cd "$(dirname "$0")/.."
. scripts/packages.sh
ensure_packages xvfb xauth x11-apps imagemagick xdotool fonts-wqy-microhei

view=${1:-dock}
case $view in
    dock) width=1680 picture=docs/signals.png ;;
    idview) width=2080 picture=docs/idview-signals.png ;;
    *) echo "usage: $0 [idview]" >&2; exit 2 ;;
esac

mkdir -p docs
CANABLE_INTERFACE=sim xvfb-run -a -s "-screen 0 $((width + 20))x900x24" sh -c '
    set -eu
    view=$1 width=$2 picture=$3
    build/release/canmonitor &
    app=$!
    sleep 3
    window=$(xdotool search --sync --name Vostrel_V240522 | head -n 1)
    xdotool windowmove "$window" 0 0
    xdotool windowsize "$window" "$width" 880
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
    if [ "$view" = dock ]; then
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
    else
        xdotool mousemove 80 12 click 1
        sleep 0.5
        xdotool key Down Return
        sleep 1
        # The splitter handle, dragged to the right edge.
        xdotool mousemove 1205 400 mousedown 1 mousemove 1500 400 sleep 0.2 \
            mousemove 2060 400 sleep 0.2 mouseup 1
        # Two full heartbeats, so that every row has its cycle and the slow ones their data.
        sleep 2.5
        # Bottom-up, so that expanding one message does not move the next one to click;
        # the odometer (row 3) stays closed.
        for y in 229 210 191 153 134 115; do
            xdotool mousemove 60 "$y" click 1 key Right
            sleep 0.3
        done
    fi
    xdotool mousemove $((width - 80)) 870
    sleep 2
    xwd -root -silent | convert xwd:- -crop "${width}x880+0+0" "$picture"
    kill $app
' sh "$view" "$width" "$picture"
echo "Saved $picture"
