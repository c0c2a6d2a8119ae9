#!/usr/bin/env bash
# The kernel test of the parallel port: the emulated PC (kernel_vm.sh) gets
# two ISA parallel ports (378h and 278h) that the real parport, parport_pc,
# ppdev and lp drivers take for hardware, and quorvexctl runs there step by
# step (steps_parport.sh).
#
# kernel_parport.sh BUILD_DIR QUORVEXCTL
# Exits 0 when every step passed, 1 when one failed, 77 (skipped) when the
# emulator or the kernel is not to be had here. QUORVEX_KERNEL_EXPLORE=1
# adds the drivers' edge cases to the log.
set -euo pipefail

suite=parport
build=$(realpath "$1")
quorvexctl=$(realpath "$2")
source "$(dirname "$0")/kernel_vm.sh"

ppprobe=$build/kernel-tools/ppprobe
mkdir -p "$(dirname "$ppprobe")"
"${CC:-cc}" -static -O2 -Wall -Wextra -o "$ppprobe" "$here/ppprobe.c"
vm_prepare "$ppprobe"
steps=${QUORVEX_KERNEL_STEPS:-1,2,3,4,5,6,7,8}
# The kernel drives the ports without their interrupt lines (steps_parport.sh
# says why).
vm_run "$steps" \
    -chardev null,id=lpt1 -device isa-parallel,iobase=0x378,irq=7,chardev=lpt1 \
    -chardev null,id=lpt2 -device isa-parallel,iobase=0x278,irq=5,chardev=lpt2
vm_verdict "$steps"
