#!/bin/sh
# Builds the initramfs of the SocketCAN test VM: static busybox, the CAN modules of the
# chosen kernel (decompressed, since busybox insmod reads only plain .ko files),
# can-utils and iproute2 with the shared libraries they load, the given init script and
# the given programs (installed in /usr/bin with their libraries).
#
# Usage: make-initramfs.sh OUTPUT.cpio.gz KERNEL_VERSION INIT_SCRIPT PROGRAM...

set -eu

if [ $# -lt 3 ]; then
    echo "usage: $0 OUTPUT.cpio.gz KERNEL_VERSION INIT_SCRIPT PROGRAM..." >&2
    exit 2
fi
output=$1
kernel=$2
init=$3
shift 3

modules="
kernel/drivers/net/can/dev/can-dev
kernel/net/can/can
kernel/net/can/can-raw
kernel/drivers/net/can/vcan
kernel/drivers/net/can/slcan/slcan
kernel/net/sched/sch_plug
"

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT INT TERM
mkdir -p "$root/bin" "$root/usr/bin" "$root/usr/sbin" "$root/lib/modules" \
    "$root/proc" "$root/sys" "$root/dev" "$root/tmp"

fail() {
    echo "make-initramfs: $*" >&2
    exit 1
}

# Libraries from the build tree go to /usr/lib, which the loader searches when a run path
# does not resolve: the build tree may lie under /tmp, which the VM mounts afresh.
copy_libraries() {
    ldd "$1" | awk '/=> \// { print $3 } /^[[:space:]]*\// { print $1 }' | while read -r library; do
        case "$library" in
            /lib/*|/lib64/*|/usr/*) target=$library ;;
            *) target=/usr/lib/$(basename "$library") ;;
        esac
        if [ ! -e "$root$target" ]; then
            mkdir -p "$root$(dirname "$target")"
            cp -L "$library" "$root$target"
        fi
    done
}

install_program() {
    [ -x "$1" ] || fail "missing program $1"
    cp -L "$1" "$root$2/$(basename "$1")"
    copy_libraries "$1"
}

busybox=$(command -v busybox || true)
[ -n "$busybox" ] || fail "busybox not found (install busybox-static)"
ldd "$busybox" 2>&1 | grep -q 'not a dynamic executable' \
    || fail "$busybox is not static (install busybox-static)"
cp -L "$busybox" "$root/bin/busybox"
ln -s busybox "$root/bin/sh"

for tool in cangen candump cansend canbusload canplayer; do
    install_program "$(command -v $tool || echo /usr/bin/$tool)" /usr/bin
done
for tool in ip tc; do
    install_program "$(command -v $tool || echo /usr/sbin/$tool)" /usr/sbin
done
for program in "$@"; do
    install_program "$program" /usr/bin
done

for module in $modules; do
    base=/lib/modules/$kernel/$module
    name=$(basename "$module").ko
    if [ -f "$base.ko" ]; then
        cp "$base.ko" "$root/lib/modules/$name"
    elif [ -f "$base.ko.xz" ]; then
        xz -dc "$base.ko.xz" > "$root/lib/modules/$name"
    elif [ -f "$base.ko.zst" ]; then
        zstd -qdc "$base.ko.zst" > "$root/lib/modules/$name"
    elif [ -f "$base.ko.gz" ]; then
        gzip -dc "$base.ko.gz" > "$root/lib/modules/$name"
    else
        fail "kernel module $base.ko not found"
    fi
done

cp "$init" "$root/init"
chmod 755 "$root/init"

(cd "$root" && find . | cpio -o -H newc --quiet) | gzip -1 > "$output"
