#!/bin/sh
# Takes the README's screenshots: starts the program on the simulated bus in a virtual X
# server, opens the device (docs/screenshot.png), then fills the send list with two
# frames and sends it (docs/sending.png), and shows the per-identifier view
# (docs/idview.png); last, a bus with errors through the scriptable fake adapter of the
# error-flood benchmark (docs/health.png), and a filtered frame log with the search bar
# from the filter benchmark (docs/filter.png).
# Usage: scripts/screenshot.sh   (after scripts/run.sh has built the program once)
set -eu
cd "$(dirname "$0")/.."
. scripts/packages.sh
ensure_packages xvfb xauth x11-apps imagemagick xdotool fonts-wqy-microhei

mkdir -p docs
CANABLE_INTERFACE=sim xvfb-run -a -s "-screen 0 1700x680x24" sh -c '
    set -eu
    shot() { xwd -root -silent | convert xwd:- -crop 1680x622+0+0 "$1"; }
    # Positions below the menu bar are given from the top of the form.
    bar=25
    click() { xdotool mousemove --window "$window" "$1" $(($2 + bar)) click 1; sleep 0.3; }
    retype() { xdotool mousemove --window "$window" "$1" $(($2 + bar)) click --repeat 3 1;
               xdotool key ctrl+a type "$3"; sleep 0.2; }

    build/release/canmonitor &
    app=$!
    sleep 3
    window=$(xdotool search --sync --name Vostrel_V240522 | head -n 1)
    xdotool windowmove "$window" 0 0
    click 785 22
    sleep 3
    shot docs/screenshot.png

    retype 1103 193 100
    click 1287 226
    retype 1103 131 7df
    retype 1543 131 "02 01 0c"
    retype 1103 162 5
    click 1287 226
    retype 1256 541 1000
    click 1125 541
    sleep 2
    shot docs/sending.png

    click 28 -13
    click 60 12
    sleep 3
    shot docs/idview.png
    kill $app
'
QT_QPA_PLATFORM=offscreen build/release/bench/bench_errorflood --seconds 3 \
    --errors-per-second 12 --frames-per-second 30 --screenshot docs/health.png > /dev/null
QT_QPA_PLATFORM=offscreen build/release/bench/bench_filter --screenshot docs/filter.png \
    > /dev/null
echo "Saved docs/screenshot.png, docs/sending.png, docs/idview.png, docs/health.png" \
     "and docs/filter.png"
