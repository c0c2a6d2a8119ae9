#!/usr/bin/env bash
# The kernel test: boots Debian's own kernel in an emulated PC whose two ISA
# parallel ports (378h and 278h) the real parport, parport_pc, ppdev and lp
# drivers take for hardware, runs quorvexctl there step by step (init.sh) and
# reads the verdict from the serial console.
#
# kernel_parport.sh BUILD_DIR QUORVEXCTL
# Exits 0 when every step passed, 1 when one failed, 77 (skipped) when the
# emulator or the kernel is not to be had here. The kernel and the modules
# are taken once into BUILD_DIR/kernel-cache. QUORVEX_KERNEL_STEPS=1,4 runs
# only those steps; QUORVEX_KERNEL_EXPLORE=1 adds the drivers' edge cases to
# the log.
set -euo pipefail

build=$(realpath "$1")
quorvexctl=$(realpath "$2")
here=$(cd "$(dirname "$0")" && pwd)
cache=$build/kernel-cache
work=$build/kernel_parport
started=$SECONDS

skip() {
    echo "SKIPPED: $*"
    exit 77
}

[ "$(uname -m)" = x86_64 ] || skip "quorvexctl is built for $(uname -m), the emulated PC is x86_64"
qemu=$(command -v qemu-system-x86_64) || skip "qemu-system-x86_64 is missing (Debian package qemu-system-x86)"
"$qemu" --version >/dev/null 2>&1 || skip "$qemu does not run"
busybox=$(command -v busybox) || skip "busybox is missing (Debian package busybox-static)"
if ldd "$busybox" >/dev/null 2>&1; then skip "$busybox is linked dynamically (Debian package busybox-static)"; fi
command -v cpio >/dev/null || skip "cpio is missing"

# Debian 12's kernel and the four modules, taken from its package, not
# installed on this machine.
fetch_kernel() {
    [ -f "$cache/vmlinuz" ] && return
    local package
    package=$(apt-cache depends linux-image-amd64 2>/dev/null |
        awk '/Depends: linux-image-[0-9]/ { print $2; exit }') || true
    [ -n "$package" ] || skip "apt knows no linux-image-amd64 package (apt-get update?)"
    rm -rf "$cache" && mkdir -p "$cache/package"
    (cd "$cache" && apt-get download "$package" >download.log 2>&1) ||
        skip "could not download $package: $(tail -1 "$cache/download.log")"
    dpkg-deb --fsys-tarfile "$cache"/*.deb | tar -x -C "$cache/package" --wildcards \
        './boot/vmlinuz-*' '*/drivers/parport/parport.ko' '*/drivers/parport/parport_pc.ko' \
        '*/drivers/char/ppdev.ko' '*/drivers/char/lp.ko'
    find "$cache/package" -name '*.ko' -exec mv -t "$cache" {} +
    mv "$cache"/package/boot/vmlinuz-* "$cache/vmlinuz"
    basename "$cache"/*.deb .deb >"$cache/version"
    rm -rf "$cache/package" "$cache"/*.deb
}

build_initramfs() {
    local root=$work/root library
    rm -rf "$work" && mkdir -p "$root"/{bin,dev,etc,lib/modules,proc,sys,tmp}
    cp "$busybox" "$root/bin/busybox"
    for applet in $("$busybox" --list); do
        [ "$applet" = busybox ] || ln -s busybox "$root/bin/$applet"
    done
    "${CC:-cc}" -static -O2 -Wall -Wextra -o "$root/bin/ppprobe" "$here/ppprobe.c"
    cp "$quorvexctl" "$root/bin/quorvexctl"
    for library in $(ldd "$quorvexctl" | awk '$2 == "=>" && $3 ~ /^\// { print $3 } $1 ~ /^\// { print $1 }'); do
        mkdir -p "$root$(dirname "$library")"
        cp -L "$library" "$root$library"
    done
    cp "$cache"/*.ko "$root/lib/modules"
    install -m 0755 "$here/init.sh" "$root/init"
    (cd "$root" && find . | cpio -o -H newc --quiet) >"$work/initramfs.cpio"
    rm -rf "$root"
}

fetch_kernel
build_initramfs

explore=0
[ "${QUORVEX_KERNEL_EXPLORE:-0}" = 1 ] && explore=1
steps=${QUORVEX_KERNEL_STEPS:-1,2,3,4,5,6,7,8}
echo "kernel: $(cat "$cache/version")"
booted=$SECONDS
# The emulator's own time limit stays inside ctest's, so a hung guest still
# leaves its console log behind. The kernel drives the ports without their
# interrupt lines (init.sh says why).
timeout 150 "$qemu" -accel tcg -machine pc -m 512 -smp 1 -nodefaults -no-reboot -display none \
    -kernel "$cache/vmlinuz" -initrd "$work/initramfs.cpio" \
    -append "console=ttyS0 quiet panic=-1 quorvex.explore=$explore quorvex.steps=$steps" \
    -serial "file:$work/console.log" \
    -chardev null,id=lpt1 -device isa-parallel,iobase=0x378,irq=7,chardev=lpt1 \
    -chardev null,id=lpt2 -device isa-parallel,iobase=0x278,irq=5,chardev=lpt2 \
    </dev/null || echo "qemu-system-x86_64 exited with $?"
tr -d '\r' <"$work/console.log"

echo
echo "== kernel_parport: $(cat "$cache/version"), VM $((SECONDS - booted)) s, whole test $((SECONDS - started)) s"
failed=0
for n in ${steps//,/ }; do
    title=$(sed -n "s/^@@STEP $n BEGIN //p" "$work/console.log" | tr -d '\r')
    result=$(sed -n "s/^@@STEP $n END //p" "$work/console.log" | tr -d '\r')
    [ -n "$result" ] || result="DID NOT FINISH"
    echo "step $n: ${result/ codes:/, exit codes:} - $title"
    [[ $result == PASS* ]] || failed=1
done
grep -q '^@@DONE' "$work/console.log" || {
    echo "the guest did not finish its steps"
    failed=1
}
exit $failed
