#!/bin/sh
# Installs what is missing, builds incrementally and starts the program.
# Usage: scripts/run.sh   (installing packages needs root or sudo)
set -eu
cd "$(dirname "$0")/.."
. scripts/packages.sh

# shellcheck disable=SC2086
ensure_packages $BUILD_PACKAGES

build=build/release
[ -f "$build/build.ninja" ] || cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build" --target canmonitor vostrel_canable canable-check

has_can_interface() {
    for type in /sys/class/net/*/type; do
        [ -r "$type" ] && [ "$(cat "$type")" = 280 ] && return 0
    done
    return 1
}

# The window chooses the interface itself; an environment setting here would lock its
# choice to the simulated bus.
if [ -z "${CANABLE_INTERFACE:-}" ] && ! has_can_interface; then
    echo "No CAN interface found: the window will open the simulated bus."
fi
exec "$build/canmonitor" "$@"
