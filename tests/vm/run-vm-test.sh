#!/bin/sh
# Boots a small VM on the installed Debian kernel and runs the SocketCAN checks inside
# it, because the build machine's own kernel may lack CAN support. Fails, printing the
# VM's console, when the VM does not boot, hangs or does not report success.
#
# Usage: run-vm-test.sh WORK_DIR PROGRAM...
# Plain emulation is the default because KVM is missing or broken in many CI and nested
# setups; VMTEST_ACCEL=kvm uses KVM where it works.

set -u

here=$(cd "$(dirname "$0")" && pwd)
workdir=$1
shift
mkdir -p "$workdir"

fail() {
    echo "vm test: $*" >&2
    exit 1
}

packages="qemu-system-x86 linux-image-amd64 busybox-static can-utils iproute2 cpio"
for tool in qemu-system-x86_64 cpio cangen candump cansend canbusload canplayer busybox; do
    command -v $tool >/dev/null 2>&1 || fail "$tool is missing; the test needs: $packages"
done
[ -x /usr/sbin/ip ] && [ -x /usr/sbin/tc ] || fail "iproute2 is missing; the test needs: $packages"

kernel=""
for image in $(ls /boot/vmlinuz-* 2>/dev/null | sort -V -r); do
    version=${image#/boot/vmlinuz-}
    if ls /lib/modules/"$version"/kernel/net/can/can.ko* >/dev/null 2>&1; then
        kernel=$version
        break
    fi
done
[ -n "$kernel" ] || fail "no kernel in /boot with CAN modules in /lib/modules (install linux-image-amd64)"

initramfs=$workdir/initramfs.cpio.gz
console=$workdir/console.log
"$here/make-initramfs.sh" "$initramfs" "$kernel" "$here/init" "$@" \
    || fail "cannot build the initramfs"

start=$(date +%s)
timeout 480 qemu-system-x86_64 -machine pc -accel "${VMTEST_ACCEL:-tcg}" -m 512 -smp 2 \
    -nic none -nographic -no-reboot -kernel "/boot/vmlinuz-$kernel" -initrd "$initramfs" \
    -append "console=ttyS0 quiet panic=-1" </dev/null >"$console" 2>&1
status=$?
elapsed=$(($(date +%s) - start))

result=$(tr -d '\r' <"$console" | grep -a "^VMTEST RESULT:" | tail -n 1)
tr -d '\r' <"$console" | grep -a -o "CHECK .*\|    bus load .*\|    (listen-only .*"
if [ "$result" = "VMTEST RESULT: PASS" ]; then
    echo "vm test passed in ${elapsed} s on kernel $kernel"
    exit 0
fi
echo "vm test failed after ${elapsed} s (qemu status $status):" \
    "${result:-no result line, so the VM did not boot or hung}"
echo "----- VM console -----"
tr -d '\r' <"$console"
exit 1
