#!/usr/bin/env bash
# The kernel tests of the USB adapters. In the emulated PC (kernel_vm.sh) the
# kernel's dummy_hcd joins its own USB host stack to a FunctionFS gadget that
# ftdi_gadget answers as an FT232R with the simulated board behind its pins
# (usb_gadget.sh). Suite ftdi drives it through Debian's libftdi1 and libusb
# (steps_ftdi.sh); suite gpio through the GPIO chip the kernel's ftdi_sio
# makes of its CBUS pins and the GPIO character device (steps_gpio.sh).
#
# kernel_usb.sh BUILD_DIR QUORVEXCTL FTDI_GADGET ftdi|gpio|bench
# Exits 0 when every step passed, 1 when one failed, 77 (skipped) when the
# emulator or the kernel is not to be had here.
set -euo pipefail

suite=$4
build=$(realpath "$1")
quorvexctl=$(realpath "$2")
source "$(dirname "$0")/kernel_vm.sh"

case $suite in
ftdi) all=1,2,3,4,5,6,7 ;;
gpio) all=1,2,3,4,5 ;;
bench) all=1,2,3 ;; # frame times for scripts/bench
*) echo "no suite '$suite': ftdi, gpio or bench" && exit 2 ;;
esac
vm_prepare "$(realpath "$3")"
steps=${QUORVEX_KERNEL_STEPS:-$all}
vm_run "$steps"
vm_verdict "$steps"
