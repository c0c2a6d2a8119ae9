# The emulated PC every kernel test boots, sourced by the tests: Debian 12's
# own kernel under QEMU (TCG, no KVM needed) with an initramfs of busybox,
# quorvexctl and the test's own programs, whose /init (init.sh) runs the
# suite's steps (steps_SUITE.sh) and reports on the serial console.
#
# The sourcing script sets suite (a name), build (the build folder) and
# quorvexctl, then calls vm_prepare [PROGRAM...], vm_run STEPS [QEMU ARGS...]
# and vm_verdict STEPS. Skips (exit 77) where the emulator or the kernel is
# not to be had. The kernel and its modules are taken once into
# BUILD/kernel-cache; QUORVEX_KERNEL_STEPS=1,4 runs only those steps.
# shellcheck shell=bash

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
cache=$build/kernel-cache
work=$build/kernel_$suite
started=$SECONDS

# Every module a kernel test loads, all from the same kernel package.
KERNEL_MODULES=(
    drivers/parport/parport drivers/parport/parport_pc drivers/char/ppdev drivers/char/lp
    drivers/usb/common/usb-common drivers/usb/core/usbcore drivers/usb/gadget/udc/udc-core
    drivers/usb/gadget/udc/dummy_hcd fs/configfs/configfs drivers/usb/gadget/libcomposite
    drivers/usb/gadget/function/usb_f_fs drivers/usb/serial/usbserial drivers/usb/serial/ftdi_sio
)

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

# Debian 12's kernel and the modules, taken from its package, not installed
# on this machine.
fetch_kernel() {
    local module missing=0 package patterns=()
    for module in "${KERNEL_MODULES[@]}"; do
        [ -f "$cache/${module##*/}.ko" ] || missing=1
        patterns+=("*/$module.ko")
    done
    [ -f "$cache/vmlinuz" ] && [ $missing = 0 ] && return
    package=$(apt-cache depends linux-image-amd64 2>/dev/null |
        awk '/Depends: linux-image-[0-9]/ { print $2; exit }') || true
    [ -n "$package" ] || skip "apt knows no linux-image-amd64 package (apt-get update?)"
    rm -rf "$cache" && mkdir -p "$cache/package"
    (cd "$cache" && apt-get download "$package" >download.log 2>&1) ||
        skip "could not download $package: $(tail -1 "$cache/download.log")"
    dpkg-deb --fsys-tarfile "$cache"/*.deb |
        tar -x -C "$cache/package" --wildcards './boot/vmlinuz-*' "${patterns[@]}"
    find "$cache/package" -name '*.ko' -exec mv -t "$cache" {} +
    mv "$cache"/package/boot/vmlinuz-* "$cache/vmlinuz"
    basename "$cache"/*.deb .deb >"$cache/version"
    rm -rf "$cache/package" "$cache"/*.deb
}

# vm_prepare [PROGRAM...]: the kernel, and an initramfs holding quorvexctl,
# the programs named (each in /bin with the libraries it needs) and the
# suite's steps.
vm_prepare() {
    local root=$work/root program library
    fetch_kernel
    rm -rf "$work" && mkdir -p "$root"/{bin,dev,etc,lib/modules,proc,sys,tmp}
    cp "$busybox" "$root/bin/busybox"
    for applet in $("$busybox" --list); do
        [ "$applet" = busybox ] || ln -s busybox "$root/bin/$applet"
    done
    for program in "$quorvexctl" "$@"; do
        cp "$program" "$root/bin/"
        for library in $(ldd "$program" | awk '$2 == "=>" && $3 ~ /^\// { print $3 } $1 ~ /^\// { print $1 }'); do
            mkdir -p "$root$(dirname "$library")"
            cp -L "$library" "$root$library"
        done
    done
    cp "$cache"/*.ko "$root/lib/modules"
    install -m 0755 "$here/init.sh" "$root/init"
    cp "$here/steps_$suite.sh" "$root/steps.sh"
    cp "$here/usb_gadget.sh" "$root/usb_gadget.sh"
    (cd "$root" && find . | cpio -o -H newc --quiet) >"$work/initramfs.cpio"
    rm -rf "$root"
}

# vm_run STEPS [QEMU ARGS...]: boots the PC, runs those steps and shows the
# console.
vm_run() {
    local steps=$1 explore=0
    shift
    [ "${QUORVEX_KERNEL_EXPLORE:-0}" = 1 ] && explore=1
    echo "kernel: $(cat "$cache/version")"
    booted=$SECONDS
    # The emulator's own time limit stays inside ctest's, so a hung guest
    # still leaves its console log behind.
    timeout 150 "$qemu" -accel tcg -machine pc -m 512 -smp 1 -nodefaults -no-reboot -display none \
        -kernel "$cache/vmlinuz" -initrd "$work/initramfs.cpio" \
        -append "console=ttyS0 quiet panic=-1 quorvex.explore=$explore quorvex.steps=$steps" \
        -serial "file:$work/console.log" "$@" </dev/null || echo "qemu-system-x86_64 exited with $?"
    tr -d '\r' <"$work/console.log"
}

# vm_verdict STEPS: each step's verdict and exit codes; exits 0 when all
# passed.
vm_verdict() {
    local steps=$1 failed=0 n title result
    echo
    echo "== kernel_$suite: $(cat "$cache/version"), VM $((SECONDS - booted)) s, whole test $((SECONDS - started)) s"
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
}
