# The GPIO steps of the kernel test (sourced by init.sh): quorvexctl through
# the kernel's GPIO character device to the GPIO chip the kernel's ftdi_sio
# makes of the emulated FT232R's CBUS pins (usb_gadget.sh), when the chip's
# EEPROM gives them to GPIO.

. /usb_gadget.sh

gpio_chip() { ls /dev/gpiochip* 2>/dev/null | head -1; }
gpio_present() { [ -n "$(gpio_chip)" ]; }

# Waits for the GPIO chip and leaves its node in CHIP.
find_gpio_chip() {
    check "ftdi_sio offers the CBUS pins as a GPIO chip" wait_for 100 gpio_present
    CHIP=$(gpio_chip)
}

step_1() {
    echo "@@STEP 1 BEGIN ftdi_sio's GPIO chip of the CBUS pins carries a frame"
    load_usb
    insmods usbserial ftdi_sio
    start_chip cbus 0,1,2,3 gpio
    find_gpio_chip
    run 60 quorvexctl --device LPT1=gpio:ftdi-cbus@0,1,2,3 send 8112 --verify
    check "send 8112 --verify on the chip by its label succeeds" [ $RC = 0 ]
    check "the board read back 8112h" says "read back 8112h"
    show_chip_log
    check "two frames, select falling once in each (the request glitched no select)" \
        chip_says "frame 2: word 8112; select has fallen 2 times"
    check "no third" [ "$(frames_latched)" = 2 ]
    check "SDI held still at every rising clock" chip_never_says "rising clock: [1-9]"
}

step_2() {
    echo "@@STEP 2 BEGIN the chip by name and by path, an inverted line, a line it lacks"
    run 60 quorvexctl --device "LPT1=gpio:${CHIP#/dev/}@0,1,2,3" send 1
    check "by name: success" [ $RC = 0 ]
    lines=$(wc -l </tmp/chip.log)
    run 30 quorvexctl --device LPT1=gpio:ftdi-cbus@0,1,2,4 send 1
    check "line 4 of a 4-line chip: exit 2" [ $RC = 2 ]
    check "saying which lines there are" says "has lines 0 to 3"
    check "before any line was touched" [ "$(wc -l </tmp/chip.log)" = "$lines" ]
    stop_chip
    start_chip cbus '~0,1,2,3' gpio
    find_gpio_chip
    run 60 quorvexctl --device "LPT1=gpio:$CHIP@~0,1,2,3" send 8112 --verify
    check "by path, select through an inverter: success" [ $RC = 0 ]
    # The floating pin selects the chip through the inverter until the
    # request drives it: that first rise of select latches a frame of its own.
    check "the board latched the frame the request ended, and the two sent" \
        chip_says "frame 3: word 8112; select has fallen 2 times"
    stop_chip
    start_chip cbus 0,1,2,3 gpio
    find_gpio_chip
}

step_3() {
    echo "@@STEP 3 BEGIN lines held by another program"
    start_server quorvexctl --device LPT1=gpio:ftdi-cbus@0,1,2,3 serve
    scpi 'WORD #H8112\nVER?\n'
    check "the server sends and verifies through the lines" says "^1"
    run 30 quorvexctl --device LPT1=gpio:ftdi-cbus@0,1,2,3 send 1
    check "a second program: exit 3" [ $RC = 3 ]
    check "naming the line's user" says "used by 'quorvex-evm'"
    stop_server
}

step_4() {
    echo "@@STEP 4 BEGIN a user without the udev rule's permission, then with it"
    echo "    $CHIP: $(ls -l "$CHIP")"
    as_user 30 "quorvexctl --device LPT1=gpio:ftdi-cbus@0,1,2,3 send 1"
    check "without, by label: exit 3" [ $RC = 3 ]
    check "naming the chip, the rule and the group" says "cannot open $CHIP.*70-quorvex-evm.rules.*plugdev"
    # What the package's rule gives the node, and the user joining the group.
    chgrp plugdev "$CHIP"
    chmod 0660 "$CHIP"
    sed -i 's/^plugdev:x:46:$/plugdev:x:46:quorvex/' /etc/group
    as_user 60 "quorvexctl --device LPT1=gpio:ftdi-cbus@0,1,2,3 send 8112 --verify"
    check "with: success, the chip found by its label" [ $RC = 0 ]
}

step_5() {
    echo "@@STEP 5 BEGIN unplugged while a server holds the lines, plugged in again"
    start_server quorvexctl --device LPT1=gpio:ftdi-cbus@0,1,2,3 serve
    scpi 'WORD 1\n*OPC?\n'
    check "the server sends" says "^1"
    pull_out
    scpi 'WORD 2\nSYST:ERR?\n'
    check "the next frame fails with the chip gone" says '^100,.*is gone'
    plug_in
    find_gpio_chip
    scpi 'WORD #H8112\nVER?\n'
    check "plugged in again, the server requests the lines afresh and verifies" says "^1"
    pull_out
    plug_in
    find_gpio_chip
    scpi 'WORD #H1234\nVER?\nSYST:ERR?\n'
    check "replugged while idle: requested afresh at the next frame" says "^1"
    check "and that frame did not fail" says '^0,"No error"'
    stop_server
}

STEPS="1 2 3 4 5"
