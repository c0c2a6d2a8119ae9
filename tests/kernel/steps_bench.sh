# Frame times on the emulated adapters (sourced by init.sh, run by
# scripts/bench, not a test): quorvexctl serve sends one frame per WORD
# command, and a client sends many at once; each step reports
#   @@BENCH name frames milliseconds

. /usb_gadget.sh

# bench NAME FRAMES BINDING [OPTION...]: times FRAMES frames through a server
# on BINDING.
bench() {
    name=$1 frames=$2 binding=$3
    shift 3
    start_server quorvexctl --device "LPT1=$binding" "$@" serve
    scpi 'WORD 1\n*OPC?\n' # opens the adapter
    words=$(awk -v n="$frames" 'BEGIN { for (i = 0; i < n; i++) printf "WORD %d\\n", i }')
    start=$(ms)
    scpi "$words*OPC?\\n" >/dev/null
    echo "@@BENCH $name $frames $(($(ms) - start))"
    check "the frames went through" says "^1"
    stop_server >/dev/null
}

step_1() {
    echo "@@STEP 1 BEGIN frames through libftdi to the emulated FT232R"
    load_usb >/dev/null
    start_chip adbus 3,0,1,2
    bench ft232r-libftdi 400 ftdi
}

step_2() {
    echo "@@STEP 2 BEGIN frames through ftdi_sio's GPIO chip of its CBUS pins"
    insmods usbserial ftdi_sio >/dev/null
    stop_chip
    start_chip cbus 0,1,2,3 gpio
    check "the GPIO chip appears" wait_for 100 [ -e /dev/gpiochip0 ]
    bench ft232r-cbus-gpio 100 gpio:ftdi-cbus@0,1,2,3
}

step_3() {
    echo "@@STEP 3 BEGIN frames through the emulated FT232H's serial engine at 1 MHz"
    stop_chip
    start_chip ft232h 3,0,1,2
    bench ft232h-mpsse 400 ftdi --clock-hz 1000000
}

STEPS="1 2 3"
