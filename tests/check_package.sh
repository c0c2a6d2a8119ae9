#!/usr/bin/env bash
# Builds the Debian package from a configured build tree into a scratch folder
# and checks its file list, its control fields, its desktop entry, its manual
# pages and what lintian says of it.
# usage: check_package.sh BUILD_DIR
set -euo pipefail
build=$1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

(cd "$build" && cpack -G DEB -B "$scratch" >"$scratch/cpack.log" 2>&1) || {
    cat "$scratch/cpack.log"
    exit 1
}
deb=$(ls "$scratch"/quorvex-evm_*_*.deb)
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

files=$(dpkg-deb -c "$deb" | awk '{ print $6 }' | sed 's|^\./|/|')
for path in /usr/bin/quorvex-evm /usr/bin/quorvexctl \
    /usr/share/applications/quorvex-evm.desktop \
    /usr/share/icons/hicolor/32x32/apps/quorvex-evm.png \
    /usr/share/icons/hicolor/48x48/apps/quorvex-evm.png \
    /usr/share/man/man1/quorvex-evm.1.gz /usr/share/man/man1/quorvexctl.1.gz \
    /usr/share/doc/quorvex-evm/system.reg /usr/share/doc/quorvex-evm/copyright \
    /usr/share/doc/quorvex-evm/changelog.gz /usr/lib/udev/rules.d/70-quorvex-evm.rules \
    /usr/share/libsigrokdecode/decoders/quorvex/__init__.py \
    /usr/share/libsigrokdecode/decoders/quorvex/pd.py; do
    grep -qx "$path" <<<"$files" || fail "missing $path"
done
grep -q '^/etc/\|^/dev/\|^/lib/' <<<"$files" && fail "the package must not touch /etc, /dev or the aliased /lib"

[ "$(dpkg-deb -f "$deb" Package)" = quorvex-evm ] || fail "Package is not quorvex-evm"
depends=$(dpkg-deb -f "$deb" Depends)
for dependency in libqt6widgets6 libqt6gui6 libqt6core6 libqt6network6 qt6-qpa-plugins fonts-wine \
    libftdi1-2 libtirpc3 libavahi-client3; do
    grep -q "$dependency" <<<"$depends" || fail "Depends lacks $dependency: $depends"
done
# The LAN services' daemons are recommended: serve goes on without them.
for daemon in rpcbind avahi-daemon; do
    grep -q "$daemon" <<<"$depends" && fail "Depends names $daemon, which is only recommended"
    dpkg-deb -f "$deb" Recommends | grep -q "$daemon" || fail "Recommends lacks $daemon"
done
[ -z "$(dpkg-deb -I "$deb" | grep -E '^ +(postinst|preinst)')" ] || fail "maintainer scripts found"

if command -v desktop-file-validate >/dev/null; then
    dpkg-deb -x "$deb" "$scratch/root"
    desktop-file-validate "$scratch/root/usr/share/applications/quorvex-evm.desktop" || fail "desktop entry"
fi

# Every option of each program is in its manual page.
dpkg-deb -x "$deb" "$scratch/root"
for program in quorvex-evm quorvexctl; do
    page=$(zcat "$scratch/root/usr/share/man/man1/$program.1.gz" | sed 's/\\-/-/g')
    for option in $("$build/bin/$program" --help | grep -oE '^ +(-[a-z], )?--[a-z-]+' | grep -oE -- '--[a-z-]+' | grep -v help-all); do
        grep -q -- "$option" <<<"$page" || fail "$program.1 does not mention $option"
    done
done

# lintian, pedantic and informational tags included: everything it says is
# shown, and an error fails the package.
if command -v lintian >/dev/null; then
    report=$(lintian --pedantic --display-info "$deb" 2>&1 || true)
    [ -n "$report" ] && printf 'lintian:\n%s\n' "$report"
    grep -q '^E: ' <<<"$report" && fail "lintian reports errors"
else
    fail "lintian is not installed: apt-get install lintian"
fi

[ "$failures" -eq 0 ] && echo "package $(basename "$deb") checked"
exit "$failures"
