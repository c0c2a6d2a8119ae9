#!/bin/sh
# /init of the kernel tests' initramfs (busybox sh, as root). Runs the steps
# of the test's suite (/steps.sh, from steps_SUITE.sh: it loads the real
# drivers and runs quorvexctl against them) and reports on the serial console
# in lines the host reads:
#   @@STEP n BEGIN title / @@CMD rc=N ms=T: command / @@CHECK ok|FAIL: what /
#   @@STEP n END PASS|FAIL codes: N N ... / @@DONE
# then powers the machine off. A step is a shell function; add one by writing
# step_N in the suite and listing it in its STEPS.

export PATH=/bin LC_ALL=C.UTF-8 HOME=/tmp
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mkdir -p /tmp
echo 1 >/proc/sys/kernel/printk
ifconfig lo 127.0.0.1 up

# A user outside groups lp and plugdev, as a fresh account on Debian, whose
# gids they are 7 and 46.
echo 'root:x:0:0:root:/tmp:/bin/sh' >/etc/passwd
echo 'quorvex:x:1000:1000::/tmp:/bin/sh' >>/etc/passwd
printf 'root:x:0:\nlp:x:7:\nplugdev:x:46:\nquorvex:x:1000:\n' >/etc/group

SERVER=127.0.0.1:5025

ms() {
    read -r up _ </proc/uptime
    echo $((${up%.*} * 1000 + (1${up#*.} - 100) * 10))
}

# run LIMIT COMMAND...: runs COMMAND, killed after LIMIT seconds; leaves its
# exit code in RC, its wall time in MS and its output in /tmp/out.
run() {
    limit=$1
    shift
    start=$(ms)
    timeout "$limit" "$@" >/tmp/out 2>&1
    RC=$?
    MS=$(($(ms) - start))
    CODES="$CODES $RC"
    echo "@@CMD rc=$RC ms=$MS: $*"
    sed 's/^/    | /' /tmp/out
}

# check WHAT TEST...: records whether TEST holds.
check() {
    what=$1
    shift
    if "$@"; then
        echo "@@CHECK ok: $what"
    else
        echo "@@CHECK FAIL: $what"
        FAILED=1
    fi
}

says() { grep -qi -- "$1" /tmp/out; }
within_bound() { [ "$MS" -le "$BOUND_MS" ]; }
as_user() { run "$1" su -s /bin/sh quorvex -c "$2"; }

# Starts a server in the background and waits until it answers.
start_server() {
    "$@" >/tmp/server.log 2>&1 &
    SERVER_PID=$!
    tries=0
    until echo '*OPC?' | timeout 2 nc ${SERVER%:*} ${SERVER#*:} 2>/dev/null | grep -q 1; do
        tries=$((tries + 1))
        [ $tries -ge 20 ] && break
        kill -0 "$SERVER_PID" 2>/dev/null || break
        sleep 0.25
    done
}

stop_server() {
    kill -TERM "$SERVER_PID" 2>/dev/null
    for _ in 1 2 3 4 5 6 7 8 9 10; do
        kill -0 "$SERVER_PID" 2>/dev/null || break
        sleep 0.5
    done
    if kill -0 "$SERVER_PID" 2>/dev/null; then
        echo "@@CHECK FAIL: the server ends on SIGTERM"
        FAILED=1
        kill -KILL "$SERVER_PID"
    fi
    wait "$SERVER_PID"
    RC=$?
    CODES="$CODES $RC"
    echo "@@CMD rc=$RC: the server ended; its output:"
    sed 's/^/    | /' /tmp/server.log
}

scpi() { # scpi LINES: sends the lines, one client, and keeps the answers
    run 15 sh -c "printf '$1' | nc ${SERVER%:*} ${SERVER#*:}"
}

# A held port may keep quorvexctl for the claim's bound of about 2 s, plus
# its start-up, which takes most of a second under emulation.
start=$(ms)
quorvexctl --simulate send 1 >/dev/null 2>&1
BOUND_MS=$(($(ms) - start + 3000))
echo "@@NOTE quorvexctl starts in $((BOUND_MS - 3000)) ms here: bound $BOUND_MS ms"

. /steps.sh
steps=$(sed -n 's/.*quorvex.steps=\([0-9,]*\).*/\1/p' /proc/cmdline | tr , ' ')
[ -n "$steps" ] && STEPS=$steps
for n in $STEPS; do
    CODES=
    FAILED=0
    kernel_lines=$(dmesg | wc -l)
    step_$n
    verdict=PASS
    [ $FAILED = 0 ] || verdict=FAIL
    # What the kernel said during a failed step.
    [ $FAILED = 0 ] || dmesg | tail -n +$((kernel_lines + 1)) | sed 's/^/    kernel| /'
    echo "@@STEP $n END $verdict codes:$CODES"
done
grep -q 'quorvex.explore=1' /proc/cmdline && command -v explore >/dev/null && explore
echo "@@DONE"
poweroff -f
