# Shared by the scripts in this folder: installs what is missing and builds.
# shellcheck shell=bash

set -euo pipefail

QUORVEX_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
if [ "${QUORVEX_SANITIZE:-0}" = 1 ]; then
    QUORVEX_BUILD=${QUORVEX_BUILD:-$QUORVEX_ROOT/build-sanitize}
else
    QUORVEX_BUILD=${QUORVEX_BUILD:-$QUORVEX_ROOT/build}
fi

# Debian packages the build and the panel's fonts need; the tests also
# decode frame traces with sigrok-cli, run under valgrind, build and check
# the Debian package, and boot a kernel in an emulated PC.
QUORVEX_PACKAGES=(cmake g++ make qt6-base-dev fonts-wine libbenchmark-dev)
# FTDI adapters through libftdi1 (found with pkg-config); GPIO chips need only
# the kernel's headers (linux-libc-dev, which g++ brings).
QUORVEX_PACKAGES+=(libftdi1-dev pkg-config)
QUORVEX_TEST_PACKAGES=(sigrok-cli valgrind dpkg-dev desktop-file-utils
    qemu-system-x86 busybox-static cpio)

# Every build but the sanitizer one takes its hardening flags from
# dpkg-buildflags; the package test runs lintian.
QUORVEX_PACKAGES+=(dpkg-dev)
QUORVEX_TEST_PACKAGES+=(lintian)
# A real SCPI client for the test of quorvexctl serve.
QUORVEX_TEST_PACKAGES+=(python3-pyvisa python3-pyvisa-py)
# A real X server, where the panel runs with the toolkit's own threads.
QUORVEX_TEST_PACKAGES+=(xvfb)
# VXI-11 through libtirpc and DNS-SD through Avahi; their test runs the real
# daemons (rpcbind, the system D-Bus, avahi-daemon) in network namespaces.
QUORVEX_PACKAGES+=(libtirpc-dev libavahi-client-dev)
QUORVEX_TEST_PACKAGES+=(rpcbind avahi-daemon avahi-utils dbus iproute2 util-linux)

missing_packages() {
    local package
    for package in "$@"; do
        if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
            printf '%s\n' "$package"
        fi
    done
}

ensure_packages() {
    local missing
    mapfile -t missing < <(missing_packages "$@")
    [ "${#missing[@]}" -eq 0 ] && return 0

    local apt=(apt-get install -y --no-install-recommends "${missing[@]}")
    if [ "$(id -u)" -eq 0 ]; then
        echo "Installing: ${missing[*]}"
        DEBIAN_FRONTEND=noninteractive apt-get update -qq
        DEBIAN_FRONTEND=noninteractive "${apt[@]}"
    elif command -v sudo >/dev/null 2>&1; then
        echo "Installing with sudo: ${missing[*]}"
        sudo apt-get update -qq
        sudo DEBIAN_FRONTEND=noninteractive "${apt[@]}"
    else
        echo "These packages are missing: ${missing[*]}" >&2
        echo "Ask an administrator to run:" >&2
        echo "    apt-get update && ${apt[*]}" >&2
        exit 1
    fi
}

# configure_and_build [extra cmake arguments...]
# QUORVEX_WERROR=1 turns warnings into errors; QUORVEX_SANITIZE=1 builds with
# the address and undefined-behaviour sanitizers (into build-sanitize unless
# QUORVEX_BUILD says otherwise).
configure_and_build() {
    local werror=OFF
    [ "${QUORVEX_WERROR:-0}" = 1 ] && werror=ON
    local config=(-DCMAKE_BUILD_TYPE=RelWithDebInfo)
    if [ "${QUORVEX_SANITIZE:-0}" = 1 ]; then
        config=(-DCMAKE_BUILD_TYPE=Debug -DQUORVEX_BUILD_BENCH=OFF
            "-DCMAKE_CXX_FLAGS=-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined"
            "-DCMAKE_EXE_LINKER_FLAGS=-fsanitize=address,undefined")
    else
        # Hardened as Debian builds its packages, with every feature on
        # (_FORTIFY_SOURCE, stack protector, full RELRO and bind-now): this is
        # the build scripts/package and the package test pack.
        # Asked from the source folder, which they map to "." in debug paths.
        local buildflags=(env DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get)
        local cxxflags ldflags
        cxxflags=$(cd "$QUORVEX_ROOT" && echo "$("${buildflags[@]}" CPPFLAGS) $("${buildflags[@]}" CXXFLAGS)")
        ldflags=$("${buildflags[@]}" LDFLAGS)
        config+=("-DCMAKE_CXX_FLAGS=$cxxflags" "-DCMAKE_EXE_LINKER_FLAGS=$ldflags")
    fi
    cmake -S "$QUORVEX_ROOT" -B "$QUORVEX_BUILD" -DQUORVEX_WERROR="$werror" "${config[@]}" "$@"
    cmake --build "$QUORVEX_BUILD" --parallel "$(nproc)"
}
