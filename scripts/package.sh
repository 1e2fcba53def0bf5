#!/bin/sh
# Builds the release configuration and from it the Debian package
# build/package/canmonitor_<version>_<arch>.deb, then lists lintian's findings.
# Usage: scripts/package.sh   (installing packages needs root or sudo)
set -eu
cd "$(dirname "$0")/.."
. scripts/packages.sh

# shellcheck disable=SC2086
ensure_packages $BUILD_PACKAGES $PACKAGE_PACKAGES

build=build/release
[ -f "$build/build.ninja" ] || cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build" --target canmonitor vostrel_canable canable-check package_files
rm -f build/package/canmonitor_*.deb
cpack -G DEB --config "$build/CPackConfig.cmake" -B build/package
rm -rf build/package/_CPack_Packages
lintian --tag-display-limit 0 build/package/canmonitor_*.deb 2>&1 | grep -v 'root privileges' \
    || true
echo "Built $(ls build/package/canmonitor_*.deb); install it with:"
echo "    sudo apt install ./$(ls build/package/canmonitor_*.deb)"
