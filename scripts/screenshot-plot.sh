#!/bin/sh
# Takes the README's screenshots of the plot window: bench_plot fills a frame log with ten
# million frames of one identifier (one of them a jump), types the signal into
# "信号曲线" in a virtual X server and saves the window over the whole trace
# (docs/plot-overview.png) and zoomed to one second with the cursors (docs/plot-zoom.png).
# Usage: scripts/screenshot-plot.sh   (after scripts/bench.sh or a build of bench_plot)
set -eu
cd "$(dirname "$0")/.."
. scripts/packages.sh
ensure_packages xvfb xauth fonts-wqy-microhei

mkdir -p docs
QT_QPA_PLATFORM=xcb xvfb-run -a -s "-screen 0 1400x900x24" \
    build/release/bench/bench_plot --screenshots docs
echo "Saved docs/plot-overview.png and docs/plot-zoom.png"
