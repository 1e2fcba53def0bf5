# Debian packages the scripts need, and a function that installs the missing ones.
# Sourced by run.sh, test.sh, bench.sh and package.sh.

BUILD_PACKAGES="g++ cmake ninja-build pkg-config qtbase5-dev qtbase5-dev-tools
    libsocketcan-dev zlib1g-dev libqwt-qt5-dev fonts-wqy-microhei"
# What scripts/package.sh and the package test use to build and check the .deb.
PACKAGE_PACKAGES="dpkg-dev lintian file"
TEST_PACKAGES="xvfb xauth can-utils iproute2 busybox-static qemu-system-x86
    linux-image-amd64 cpio gzip xz-utils kmod python3-can tshark python3-canmatrix
    $PACKAGE_PACKAGES"

ensure_packages() {
    missing=""
    for package in "$@"; do
        status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
        case "$status" in
            *"install ok installed"*) ;;
            *) missing="$missing $package" ;;
        esac
    done
    [ -z "$missing" ] && return 0

    if [ "$(id -u)" -eq 0 ]; then
        sudo=""
    elif command -v sudo >/dev/null 2>&1; then
        sudo="sudo"
    else
        echo "Missing Debian packages:$missing" >&2
        echo "Installing them needs root: run this script as root or install sudo." >&2
        exit 1
    fi
    echo "Installing Debian packages:$missing"
    export DEBIAN_FRONTEND=noninteractive
    # shellcheck disable=SC2086
    $sudo apt-get install -y --no-install-recommends $missing \
        || { $sudo apt-get update && $sudo apt-get install -y --no-install-recommends $missing; }
}
