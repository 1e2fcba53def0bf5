#!/bin/sh
# Builds the release configuration, runs the benchmarks on the simulated bus and writes
# docs/bench-results.csv (receive pipeline and soak), docs/bench-transmit.csv,
# docs/bench-soak-rss.csv, docs/bench.png and docs/bench-results.md, the Markdown tables
# that it also prints, with the machine they were measured on.
# Full runs take about 15 minutes: 30 s per receive load, 1,000 transmit ticks per
# interval, then the 10-minute soak. --smoke runs each for about a second and writes to
# build/release/bench-smoke instead of docs/.
# Usage: scripts/bench.sh [--smoke]   (installing packages needs root or sudo)
set -eu
cd "$(dirname "$0")/.."
. scripts/packages.sh

smoke=false
case "${1:-}" in
    "") ;;
    --smoke) smoke=true ;;
    *) echo "usage: $0 [--smoke]" >&2; exit 2 ;;
esac

# shellcheck disable=SC2086
ensure_packages $BUILD_PACKAGES gnuplot-nox

build=build/release
[ -f "$build/build.ninja" ] || cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build" --target bench_pipeline bench_transmit

if $smoke; then
    out=$build/bench-smoke
    receive_options="--seconds 1 --ceiling-seconds 0.5"
    transmit_options="--seconds 1"
    soak_options="--seconds 5"
else
    out=docs
    receive_options=""
    transmit_options=""
    soak_options=""
fi
mkdir -p "$out" "$build/bench-logs"
results=$out/bench-results.csv
transmit=$out/bench-transmit.csv
soak_rss=$out/bench-soak-rss.csv
markdown=$out/bench-results.md

export QT_QPA_PLATFORM=offscreen
cpu=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1)
qt=$(pkg-config --modversion Qt5Core)
machine="${cpu:-unknown CPU}, $(nproc) cores, Linux $(uname -r), Qt $qt"
load_before=$(cut -d ' ' -f 1-3 /proc/loadavg)

status=0
echo "== receive pipeline =="
# shellcheck disable=SC2086
"$build/bench/bench_pipeline" $receive_options --csv "$results" || status=1
echo "== transmit timing =="
# shellcheck disable=SC2086
"$build/bench/bench_transmit" $transmit_options --csv "$transmit" \
    --log-dir "$build/bench-logs" || status=1
echo "== soak =="
# shellcheck disable=SC2086
"$build/bench/bench_pipeline" --soak $soak_options --csv "$results" --rss-log "$soak_rss" \
    || status=1
load_after=$(cut -d ' ' -f 1-3 /proc/loadavg)

gnuplot -e "results='$results'; transmit='$transmit'; soak='$soak_rss'" \
    -e "gaps='$build/bench-logs/writes-10.log'; output='$out/bench.png'" bench/plot.gnuplot

# Fields of the results file, whose second and last fields are quoted and may hold commas:
# split at the quotes, then the middle part at its commas; column n >= 3 is part n - 1.
{
    echo "Measured on $(date -u +%Y-%m-%d) on $machine; load average $load_before before," \
        "$load_after after. Simulated bus at 1 Mbit/s, default row limit (100 rows), offscreen."
    echo
    echo "| Load (frames/s) | Run s | Frames offered | Lost | Tick p50 / p99 / max ms |" \
        "Repaint p99 ms | CPU ms per 1,000 frames | % of one core (listen / hub / GUI) |" \
        "Peak RSS MB | RSS growth % | Bare read loop ms per 1,000 | Pipeline / bare |"
    echo "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|"
    awk -F '"' 'NR > 1 {
        n = split($3, c, ",")
        printf "| %s | %s | %s | %s | %s / %s / %s | %s | %s | %s (%s / %s / %s) | %s | %s |" \
               " %s | %s |\n", substr($1, 1, length($1) - 1), c[2], c[3], c[6],
               c[10], c[11], c[12], c[14], c[17], c[18], c[19], c[20], c[21], c[24], c[25],
               (c[28] + 0 > 0 ? c[28] : "-"), (c[29] + 0 > 0 ? c[29] : "-")
    }' "$results"
    echo
    echo "| Send interval ms | Ticks | Writes | Mean gap ms | \|dev\| p99 ms |" \
        "\|dev\| max ms | Drift over the run ms | \|actual - due\| p99 / max ms |"
    echo "|---:|---:|---:|---:|---:|---:|---:|---:|"
    awk -F , 'NR > 1 {
        printf "| %s | %s | %s | %s | %s | %s | %s | %s / %s |\n", $1, $2, $3, $6, $9, $10,
               $11, $13, $14
    }' "$transmit"
    echo
    awk -F '"' -v transmit="$transmit" '
        function verdict(ok) { return ok ? "met" : "**missed**" }
        NR > 1 {
            split($3, c, ",")
            load = substr($1, 1, length($1) - 1)
            intact = c[6] == 0 && c[7] == 0 && c[8] == 0
            if (load != "unlimited" && !intact) lossless = 0
            if (load == "21277") { tick = c[11]; core = c[18] }
            if (load ~ /^soak/) { soakLost = c[6]; growth = c[25] }
        }
        BEGIN { lossless = 1; tick = core = soakLost = growth = "?" }
        END {
            worst = 0
            while ((getline line < transmit) > 0) {
                split(line, t, ",")
                if (t[1] + 0 >= 10 && t[13] + 0 > worst) worst = t[13] + 0
            }
            print "Targets:"
            print "- no frame lost at any bus load up to 21,277 frames/s: " verdict(lossless)
            print "- tick p99 at 21,277 frames/s at most 10 ms (" tick " ms): " \
                  verdict(tick != "?" && tick + 0 <= 10)
            print "- whole process at 21,277 frames/s at most 25% of one core (" core "%): " \
                  verdict(core != "?" && core + 0 <= 25)
            print "- periodic sends of 10 ms and longer within 0.2 ms of their due time at" \
                  " p99 (worst " worst " ms): " verdict(worst <= 0.2)
            print "- soak: no loss (" soakLost " lost), resident memory growth after the " \
                  "first minute under 5% (" growth "%): " \
                  verdict(soakLost == 0 && growth != "?" && growth + 0 < 5)
        }' "$results"
} > "$markdown"

echo
cat "$markdown"
echo
echo "Wrote $results, $transmit, $soak_rss, $markdown and $out/bench.png."
exit $status
