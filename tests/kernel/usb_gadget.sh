# The emulated FT232R of the USB kernel tests (sourced by their steps): the
# kernel's dummy_hcd joins its own USB host stack to a FunctionFS gadget that
# ftdi_gadget answers as the chip, with the simulated board behind its pins.
# The gadget has FTDI's IDs 0403:6001, an FT232R's bcdDevice 0600h and serial
# QVX00001, at full speed as the real chip; or, for start_chip ft232h, an
# FT232H's 0403:6014 and 0900h at high speed.

GADGET=/sys/kernel/config/usb_gadget/ft232r
FFS=/dev/ffs-ftdi

# wait_for TENTHS TEST...: waits up to TENTHS tenths of a second for TEST.
wait_for() {
    tenths=$1
    shift
    while ! "$@" 2>/dev/null; do
        tenths=$((tenths - 1))
        [ $tenths -gt 0 ] || return 1
        sleep 0.1
    done
}

insmods() { # insmods 'MODULE [PARAMETER...]'...: loads each, checking that it loads
    for module in "$@"; do
        set -- $module
        name=$1
        shift
        run 20 insmod "/lib/modules/$name.ko" "$@"
        check "$name loads" [ $RC = 0 ]
    done
}

load_usb() {
    insmods usb-common usbcore udc-core "dummy_hcd is_high_speed=1" configfs libcomposite usb_f_fs
    mount -t configfs none /sys/kernel/config
    mkdir -p $GADGET/strings/0x409 $GADGET/configs/c.1 $GADGET/functions/ffs.ftdi $FFS
    echo 0x0403 >$GADGET/idVendor
    echo FTDI >$GADGET/strings/0x409/manufacturer
    echo QVX00001 >$GADGET/strings/0x409/serialnumber
    ln -s $GADGET/functions/ffs.ftdi $GADGET/configs/c.1/
    mount -t functionfs ftdi $FFS
}

ftdi_present() { grep -qx 0403 /sys/bus/usb/devices/*/idVendor; }
ftdi_gone() { ! ftdi_present; }
ftdi_node() { # the /dev/bus/usb node of the emulated chip
    for dir in /sys/bus/usb/devices/*; do
        [ "$(cat "$dir/idVendor" 2>/dev/null)" = 0403 ] &&
            printf '/dev/bus/usb/%03d/%03d\n' "$(cat "$dir/busnum")" "$(cat "$dir/devnum")"
    done
}

plug_in() { # the host sees the chip connect
    echo dummy_udc.0 >$GADGET/UDC
    check "the host enumerates the chip" wait_for 100 ftdi_present
}
pull_out() { # the host sees the chip disconnect
    echo "" >$GADGET/UDC
    check "the host sees it gone" wait_for 100 ftdi_gone
}

# identity BANK: the chip the gadget shows, set while it is unplugged.
identity() {
    if [ "$1" = ft232h ]; then
        set -- 0x6014 0x0900 "Single RS232-HS" high-speed
    else
        set -- 0x6001 0x0600 "FT232R USB UART" full-speed
    fi
    echo "$1" >$GADGET/idProduct
    echo "$2" >$GADGET/bcdDevice
    echo "$3" >$GADGET/strings/0x409/product
    echo "$4" >$GADGET/max_speed
}

# start_chip BANK WIRING [gpio]: runs the chip with the board on those pins
# (ftdi_gadget says how), plugged in; its log is /tmp/chip.log.
start_chip() {
    # The last chip's log says ready too. Emptied here, not only by the
    # background job's own redirection, which may run after the wait below
    # has read the old line: the gadget would be bound before the new chip
    # gave FunctionFS its descriptors, and the kernel refuses that binding.
    : >/tmp/chip.log
    identity "$1"
    ftdi_gadget $FFS "$@" >/tmp/chip.log 2>&1 &
    CHIP_PID=$!
    check "the chip starts (board on $1 $2)" wait_for 50 grep -q ready /tmp/chip.log
    plug_in
}

stop_chip() {
    pull_out
    kill $CHIP_PID
    wait $CHIP_PID 2>/dev/null
}

# What the board latched, from the chip's log.
frames_latched() { grep -c '^frame ' /tmp/chip.log; }
# pin_rate_within LOW HIGH: the rate programmed last, in pin bytes a second.
pin_rate_within() {
    grep '^baud divisor' /tmp/chip.log | tail -1 |
        awk -v low="$1" -v high="$2" '{ exit !($(NF - 4) >= low && $(NF - 4) <= high) }'
}
chip_says() { grep -q -- "$1" /tmp/chip.log; }
chip_never_says() { ! chip_says "$1"; }
show_chip_log() { sed 's/^/    chip| /' /tmp/chip.log; }
