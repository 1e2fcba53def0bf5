# Draws the benchmark results into one PNG; scripts/bench.sh calls it as
#   gnuplot -e "results='...'; transmit='...'; soak='...'; gaps='...'; output='...'" \
#           bench/plot.gnuplot
# results: bench_pipeline's CSV (receive loads and soak); transmit: bench_transmit's CSV;
# soak: the soak's resident memory log; gaps: the write times of the 10 ms sends.

set terminal pngcairo size 1600,1500 font "DejaVu Sans,11"
set output output
set datafile separator comma
set datafile columnheaders
set key top left
set grid ytics
set style fill solid 0.8 border -1

set multiplot layout 3,2 title "Receive pipeline and transmit timing on the simulated 1 Mbit/s bus"

# Receive: tick time per load against the 10 ms target.
set title "Frame log tick (200 ms timer), ms"
set style data histograms
set style histogram clustered gap 1
set logscale y
set yrange [0.1:100]
plot results using 11:xticlabels(1) title "p50" lc rgb "#4a90d9", \
     '' using 12 title "p99" lc rgb "#e8a33d", \
     '' using 13 title "max" lc rgb "#c0392b", \
     10 with lines dt 2 lc rgb "black" title "target p99 at 21,277/s"
unset logscale y

# Receive: whole-process CPU by thread against a quarter of one core.
set title "CPU, % of one core, by thread"
set style histogram rowstacked
set yrange [0:*]
plot results using 20:xticlabels(1) title "listen thread" lc rgb "#4a90d9", \
     '' using 21 title "hub thread" lc rgb "#e8a33d", \
     '' using 22 title "GUI thread" lc rgb "#7fb800", \
     25 with lines dt 2 lc rgb "black" title "target at 21,277/s"

# Receive: CPU per 1,000 frames against a bare loop reading the same library.
set title "CPU per 1,000 frames, ms (log scale)"
set style histogram clustered gap 1
set logscale y
set yrange [*:*]
plot results using 18:xticlabels(1) title "pipeline (whole process)" lc rgb "#4a90d9", \
     '' using ($29 > 0 ? $29 : NaN) title "bare read loop" lc rgb "#999999"
unset logscale y

# Transmit: deviation of each gap from its interval.
set title "Immediate send: |gap - interval|, ms"
set key below horizontal
set yrange [0:*]
plot transmit using 8:xticlabels(sprintf("%d ms", $1)) title "mean" lc rgb "#4a90d9", \
     '' using 9 title "p99" lc rgb "#e8a33d", \
     '' using 10 title "max" lc rgb "#c0392b", \
     0.5 with lines dt 2 lc rgb "black" title "target p99 (10 ms and longer)"

# Transmit: each gap of the 10 ms send, as the simulated bus timed the writes.
set title "10 ms send: gap - interval per tick, ms"
set style data points
set datafile separator whitespace
set datafile nocolumnheaders
set xlabel "tick"
set key inside top left horizontal
set yrange [*:*]
set offsets 0, 0, graph 0.05, graph 0.05
previous = NaN
plot gaps using 0:(gap = ($1 - previous) / 1e6 - 10, previous = $1, gap) \
     with points pt 7 ps 0.4 lc rgb "#4a90d9" notitle
unset xlabel

# Soak: resident memory over ten minutes at 9,009 frames/s.
set title "Soak at 9,009 frames/s: resident memory, MB"
set datafile separator comma
set datafile columnheaders
set xlabel "seconds"
set offsets 0, 0, 0, 0
set key inside top left
set yrange [0:*]
plot soak using 1:2 with lines lw 2 lc rgb "#4a90d9" title "VmRSS"

unset multiplot
