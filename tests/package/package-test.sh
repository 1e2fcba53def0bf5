#!/bin/sh
# Builds the Debian package from a finished build tree, installs it in a scratch root
# (dpkg --root -i when run as root, dpkg -x otherwise), checks its files, runs the
# installed programs from there on the simulated bus and has lintian check the package.
# Usage: package-test.sh BUILD_DIR
set -eu
build=$(cd "$1" && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

cpack -G DEB --config "$build/CPackConfig.cmake" -B "$scratch/out" >"$scratch/cpack.log" 2>&1 \
    || { cat "$scratch/cpack.log" >&2; fail "cpack could not build the package"; }
set -- "$scratch"/out/canmonitor_*.deb
[ -f "$1" ] || fail "no canmonitor_*.deb in the cpack output"
deb=$1
echo "package: $(basename "$deb")"

root=$scratch/root
if [ "$(id -u)" -eq 0 ]; then
    # A dpkg database of its own, so the machine's packages are left alone.
    mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
    : >"$root/var/lib/dpkg/status"
    dpkg --root="$root" --force-depends --force-script-chrootless -i "$deb" \
        >"$scratch/dpkg.log" 2>&1 \
        || { cat "$scratch/dpkg.log" >&2; fail "dpkg -i into the scratch root failed"; }
    dpkg --root="$root" -s canmonitor | grep -qx 'Status: install ok installed' \
        || fail "dpkg does not list the package as installed"
    # Against the machine's own database, changing nothing: the dependencies that
    # dpkg-shlibdeps wrote must name packages that are there.
    dpkg --dry-run -i "$deb" >"$scratch/dry-run.log" 2>&1 \
        || { cat "$scratch/dry-run.log" >&2; fail "the package's dependencies are not met"; }
else
    dpkg -x "$deb" "$root"
fi

multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH 2>/dev/null || true)
libdir=usr/lib/${multiarch:+$multiarch/}canmonitor
for file in usr/bin/canmonitor usr/bin/canable-check "$libdir/libvostrel_canable.so" \
    usr/share/applications/canmonitor.desktop usr/share/man/man1/canmonitor.1.gz \
    usr/share/man/man1/canable-check.1.gz usr/share/doc/canmonitor/copyright \
    usr/share/doc/canmonitor/changelog.Debian.gz; do
    [ -f "$root/$file" ] || fail "missing /$file"
done
[ -x "$root/usr/bin/canmonitor" ] && [ -x "$root/usr/bin/canable-check" ] \
    || fail "the programs are not executable"

for size in 16 22 24 32 48 64 128 256; do
    icon=$root/usr/share/icons/hicolor/${size}x${size}/apps/canmonitor.png
    [ -f "$icon" ] || fail "missing ${size} px icon"
    file -b "$icon" | grep -q "PNG image data, $size x $size," \
        || fail "${size} px icon is $(file -b "$icon")"
done

desktop=$root/usr/share/applications/canmonitor.desktop
for line in 'Exec=canmonitor' 'Icon=canmonitor' 'Type=Application' \
    'Categories=Development;Electronics;'; do
    grep -qx "$line" "$desktop" || fail "desktop entry lacks $line"
done
for key in 'Name' 'Comment' 'Comment\[zh_CN\]'; do
    grep -q "^$key=." "$desktop" || fail "desktop entry lacks $key"
done
head -n 1 "$root/usr/share/doc/canmonitor/copyright" \
    | grep -q '^Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' \
    || fail "copyright file is not machine-readable"
for page in canmonitor canable-check; do
    gzip -dc "$root/usr/share/man/man1/$page.1.gz" | grep -q '^\.TH ' \
        || fail "$page.1.gz is no manual page"
done
gzip -dc "$root/usr/share/man/man1/canmonitor.1.gz" | grep -q 'setcap cap_net_admin+ep' \
    || fail "the manual page does not say how to grant the capability"

# The library must come from the scratch root, not the build tree or the machine.
ldd "$root/usr/bin/canmonitor" | grep -q "=> $root/usr/bin/../${libdir#usr/}/libvostrel_canable.so" \
    || { ldd "$root/usr/bin/canmonitor" >&2; fail "canmonitor does not load its library"; }

frames=$(CANABLE_INTERFACE=sim "$root/usr/bin/canable-check" --listen --count 5 \
    --timeout-ms 10000 2>"$scratch/check.err") \
    || { cat "$scratch/check.err" >&2; fail "canable-check failed on the simulated bus"; }
[ "$(printf '%s\n' "$frames" | grep -c '^[0-9A-F]*#')" -eq 5 ] \
    || fail "canable-check printed other than 5 frames: $frames"

# The window must still be up after a few seconds and close on SIGTERM with status 0.
status=0
QT_QPA_PLATFORM=offscreen CANABLE_INTERFACE=sim \
    timeout --preserve-status -s TERM 5 "$root/usr/bin/canmonitor" 2>"$scratch/app.err" \
    || status=$?
[ "$status" -eq 0 ] || { cat "$scratch/app.err" >&2; fail "canmonitor ended with $status"; }
if grep -Ei 'error|cannot|failed|undefined symbol' "$scratch/app.err" >&2; then
    fail "canmonitor reported errors"
fi

echo "lintian:"
lintian --fail-on error --tag-display-limit 0 "$deb" 2>&1 | grep -v 'root privileges' \
    || true
lintian --fail-on error --tag-display-limit 0 "$deb" >/dev/null 2>&1 \
    || fail "lintian reports errors"
echo "package test passed"
