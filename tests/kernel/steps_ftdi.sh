# The FTDI steps of the kernel test (sourced by init.sh): quorvexctl through
# Debian's libftdi1 and libusb, the kernel's USB host stack and usbfs, to the
# emulated FT232R (usb_gadget.sh) in synchronous bit-bang.

. /usb_gadget.sh

# The emulated chip's USB port, as sysfs names it (1-1).
ftdi_port() { basename "$(dirname "$(grep -lx 0403 /sys/bus/usb/devices/*/idVendor)")"; }

step_1() {
    echo "@@STEP 1 BEGIN the emulated FT232R enumerates and quorvexctl sends through libftdi"
    load_usb
    start_chip adbus 3,0,1,2
    run 30 quorvexctl --device LPT1=ftdi send 8112 --verify
    check "send 8112 --verify on bare ftdi succeeds" [ $RC = 0 ]
    check "the board read back 8112h" says "read back 8112h"
    show_chip_log
    check "two frames, select falling once in each (opening glitched no select)" \
        chip_says "frame 2: word 8112; select has fallen 2 times"
    check "no third" [ "$(frames_latched)" = 2 ]
    check "SDI held still at every rising clock" chip_never_says "rising clock: [1-9]"
    check "no packet of the second frame waited for the latency timer" \
        chip_says "frame 2: .*latency timer: 0"
    check "the latency timer at its minimum" chip_says "latency timer 1 ms"
    check "--clock-hz 100000: pin bytes at most 200 k and at least 100 k a second" \
        pin_rate_within 100000 200000
    check "every pin an input while the idle levels were latched" \
        [ "$(grep -m1 '^bit mode 04' /tmp/chip.log)" = "bit mode 04, pins 00" ]
}

step_2() {
    echo "@@STEP 2 BEGIN a binding by IDs and serial, on other pins, select through an inverter"
    stop_chip
    start_chip adbus '~7,4,5,6'
    run 30 quorvexctl --port LPT2 --device 'LPT2=ftdi:0403:6001:QVX00001@~D7,D4,D5,D6' \
        send 8112 --verify
    check "send on ftdi:0403:6001:QVX00001@~D7,D4,D5,D6 succeeds" [ $RC = 0 ]
    # The floating pin selects the chip through the inverter until the
    # outputs are enabled: that first rise of select latches a frame of its own.
    check "the board latched the frame the opening ended, and the two sent" \
        chip_says "frame 3: word 8112; select has fallen 2 times"
    run 30 quorvexctl --device LPT1=ftdi:0403:6001:OTHER send 1
    check "a serial not plugged in: exit 3" [ $RC = 3 ]
    check "naming the adapter there is" says "0403:6001 serial QVX00001"
    check "and the binding that takes it" says "ftdi:0403:6001:QVX00001"
    stop_chip
    start_chip adbus 3,0,1,2
}

step_3() {
    echo "@@STEP 3 BEGIN a user without the udev rule's permission, then with it"
    NODE=$(ftdi_node)
    echo "    $NODE: $(ls -l "$NODE")"
    as_user 30 "quorvexctl --device LPT1=ftdi send 1"
    check "without: exit 3" [ $RC = 3 ]
    check "naming the rule and the group" says "70-quorvex-evm.rules.*plugdev"
    # What the package's rule gives the node, and the user joining the group.
    chgrp plugdev "$NODE"
    chmod 0660 "$NODE"
    sed -i 's/^plugdev:x:46:$/plugdev:x:46:quorvex/' /etc/group
    as_user 30 "quorvexctl --device LPT1=ftdi send 8112 --verify"
    check "with: success" [ $RC = 0 ]
}

step_4() {
    echo "@@STEP 4 BEGIN the adapter held by a server, then by the kernel's serial driver"
    start_server quorvexctl --device LPT1=ftdi serve
    scpi 'WORD #H8112\nVER?\n'
    check "the server sends and verifies through the adapter" says "^1"
    run 30 quorvexctl --device LPT1=ftdi send 1
    check "a second program: exit 3" [ $RC = 3 ]
    check "saying another program has it, and how to find it" says "another program.*fuser -v /dev/bus/usb/"
    stop_server
    insmods usbserial ftdi_sio
    check "ftdi_sio takes the chip as a serial port" wait_for 50 [ -c /dev/ttyUSB0 ]
    run 30 quorvexctl --device LPT1=ftdi send 8112 --verify
    check "libftdi detaches the serial driver, as for every user: success" [ $RC = 0 ]
    check "and the serial port is gone" [ ! -e /dev/ttyUSB0 ]
    pull_out
    plug_in
    check "plugged in again, ftdi_sio takes it again" wait_for 50 [ -c /dev/ttyUSB0 ]
    cat /dev/ttyUSB0 >/dev/null 2>&1 &
    CONSOLE=$!
    run 30 quorvexctl --device LPT1=ftdi send 1
    check "a console on ttyUSB0 held open, bare ftdi: exit 3" [ $RC = 3 ]
    check "naming the program, and the binding by port" \
        says "ttyUSB0 is open in cat (pid $CONSOLE).*--device LPT1=ftdi:$(ftdi_port)\$"
    run 30 quorvexctl --device "LPT1=ftdi:$(ftdi_port)" send 8112 --verify
    check "bound by its port, the adapter is taken from the console: success" [ $RC = 0 ]
    kill $CONSOLE 2>/dev/null
    wait $CONSOLE 2>/dev/null
}

step_5() {
    echo "@@STEP 5 BEGIN unplugged while a server holds it, plugged in again"
    start_server quorvexctl --device LPT1=ftdi serve
    scpi 'WORD 1\n*OPC?\n'
    check "the server sends" says "^1"
    pull_out
    scpi 'WORD 2\nSYST:ERR?\n'
    check "the next frame fails with the adapter unplugged" says '^100,.*unplugged'
    plug_in
    scpi 'WORD #H8112\nVER?\n'
    check "plugged in again, the server finds it and verifies" says "^1"
    pull_out
    plug_in
    scpi 'WORD #H1234\nVER?\nSYST:ERR?\n'
    check "replugged while idle: found again at the next frame" says "^1"
    check "and that frame did not fail" says '^0,"No error"'
    # A chip that stops answering: the frame in flight times out inside libusb.
    kill -STOP $CHIP_PID
    scpi 'WORD 3\nSYST:ERR?\n'
    kill -CONT $CHIP_PID
    check "a chip that stops answering: libusb's error, the frame cut short" \
        says "^100,.*LIBUSB_ERROR_TIMEOUT.*may hold neither.*quorvexctl read"
    stop_server
}

step_6() {
    echo "@@STEP 6 BEGIN an adapter with no board on its pins"
    stop_chip
    start_chip cbus 0,1,2,3
    run 30 quorvexctl --device LPT1=ftdi send 8112 --verify
    check "exit 1" [ $RC = 1 ]
    check "the board did not echo: the inputs float high" says "did not echo.*FFFFh"
}

step_7() {
    echo "@@STEP 7 BEGIN the emulated FT232H at high speed: frames through its serial engine"
    stop_chip
    start_chip ft232h 3,0,1,2
    run 30 quorvexctl --trace /tmp/ft232h.vcd --device LPT1=ftdi send 8112 --verify
    check "send 8112 --verify on the FT232H succeeds" [ $RC = 0 ]
    quorvexctl --simulate --trace /tmp/simulated.vcd send 8112 --verify >/dev/null
    check "its trace records the frames as one of the simulated board does" \
        [ "$(grep -c '^#' /tmp/ft232h.vcd)" = "$(grep -c '^#' /tmp/simulated.vcd)" ]
    check "the board read back 8112h" says "read back 8112h"
    show_chip_log
    check "through its serial engine" chip_says "^bit mode 02"
    check "at the clock asked for" chip_says "^engine clock 100000 Hz"
    check "two frames, select falling once in each (opening glitched no select)" \
        chip_says "frame 2: word 8112; select has fallen 2 times"
    check "no third" [ "$(frames_latched)" = 2 ]
    check "SDI held still at every rising clock" chip_never_says "rising clock: [1-9]"
    check "the engine refused only the opening's probe (AAh)" \
        [ "$(grep '^the engine refused' /tmp/chip.log)" = "the engine refused a command: AA" ]
    check "no packet of the second frame waited for the latency timer" \
        chip_says "frame 2: .*latency timer: 0"
    run 30 quorvexctl --device LPT1=ftdi-bitbang send 8112 --verify
    check "bit-bang asked for: success" [ $RC = 0 ]
    check "in bit-bang, at most 200 k and at least 100 k pin bytes a second" \
        pin_rate_within 100000 200000
}

STEPS="1 2 3 4 5 6 7"
