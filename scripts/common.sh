# Shared by the scripts in this folder: installs what is missing and builds.
# shellcheck shell=bash

set -euo pipefail

QUORVEX_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
QUORVEX_BUILD=${QUORVEX_BUILD:-$QUORVEX_ROOT/build}

# Debian packages the build and the panel's fonts need; the tests also
# decode frame traces with sigrok-cli.
QUORVEX_PACKAGES=(cmake g++ make qt6-base-dev fonts-wine libbenchmark-dev)
QUORVEX_TEST_PACKAGES=(sigrok-cli)

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
configure_and_build() {
    local werror=OFF
    [ "${QUORVEX_WERROR:-0}" = 1 ] && werror=ON
    cmake -S "$QUORVEX_ROOT" -B "$QUORVEX_BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DQUORVEX_WERROR="$werror" "$@"
    cmake --build "$QUORVEX_BUILD" --parallel "$(nproc)"
}
