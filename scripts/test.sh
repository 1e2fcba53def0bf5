#!/bin/sh
# Installs what is missing, builds and runs every test headless: once in a plain build
# (with the qemu SocketCAN test), once under AddressSanitizer with
# UndefinedBehaviorSanitizer and once under ThreadSanitizer. Builds are incremental.
# Usage: scripts/test.sh   (installing packages needs root or sudo)
set -eu
cd "$(dirname "$0")/.."
. scripts/packages.sh

# shellcheck disable=SC2086
ensure_packages $BUILD_PACKAGES $TEST_PACKAGES

export QT_QPA_PLATFORM=offscreen
jobs=$(nproc)

run_build() {
    name=$1
    shift
    build=build/$name
    echo "== $name build =="
    [ -f "$build/build.ninja" ] || cmake -S . -B "$build" -G Ninja "$@"
    cmake --build "$build" -j "$jobs"
    ctest --test-dir "$build" --output-on-failure --timeout 900
}

run_build release -DCMAKE_BUILD_TYPE=RelWithDebInfo
run_build asan -DCMAKE_BUILD_TYPE=Debug -DSANITIZE=address,undefined \
    -DCANMONITOR_BUILD_BENCH=OFF
run_build tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSANITIZE=thread \
    -DCANMONITOR_BUILD_BENCH=OFF
echo "All tests passed."
