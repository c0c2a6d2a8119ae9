#!/usr/bin/env bash
# The instrument on a LAN of two hosts made here: two network namespaces
# joined by a veth pair, each with a private /run holding its own system
# D-Bus and avahi-daemon, and the instrument's host its own rpcbind. Nothing
# touches the machine's own network. From the second host: rpcinfo finds the
# VXI-11 program, avahi-browse the three services with their ports (and sees
# them withdrawn at stop), and vxi11_check.py drives TCPIP::HOST::INSTR of
# quorvexctl serve, then of the panel. Exits 77 (skipped) with the reason
# where the namespaces or a daemon cannot be had.
#
# usage: lan_check.sh QUORVEXCTL QUORVEX-EVM
set -uo pipefail
ctl=$(realpath "$1") panel=$(realpath "$2")
here=$(cd "$(dirname "$0")" && pwd)
skip() { echo "skipped: $*" >&2; exit 77; }
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

[ "$(id -u)" = 0 ] || skip "needs root for network namespaces"
for tool in ip unshare nsenter dbus-daemon rpcbind rpcinfo avahi-daemon avahi-browse /usr/bin/python3; do
    command -v "$tool" >/dev/null || skip "$tool is missing (scripts/common.sh lists its package)"
done

tag=qvx$$
work=$(mktemp -d)
a=${tag}a b=${tag}b
address=10.228.28.1 peer=10.228.28.2
cleanup() {
    for ns in "$a" "$b"; do
        # Only what runs in the namespaces made here.
        pids=$(ip netns pids "$ns" 2>/dev/null)
        [ -n "$pids" ] && kill $pids 2>/dev/null
    done
    sleep 0.2
    for ns in "$a" "$b"; do
        pids=$(ip netns pids "$ns" 2>/dev/null)
        [ -n "$pids" ] && kill -9 $pids 2>/dev/null
        ip netns delete "$ns" 2>/dev/null
    done
    umount "$work"/ns/* 2>/dev/null
    umount "$work/ns" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

# Up to 10 s for a condition.
await() {
    for _ in $(seq 50); do
        "$@" && return 0
        sleep 0.2
    done
    return 1
}

ip netns add "$a" && ip netns add "$b" || skip "cannot make network namespaces"
ip link add "${tag}va" type veth peer name "${tag}vb" || skip "cannot make a veth pair"
ip link set "${tag}va" netns "$a" && ip link set "${tag}vb" netns "$b"
ip -n "$a" address add "$address/24" dev "${tag}va"
ip -n "$b" address add "$peer/24" dev "${tag}vb"
for ns in "$a" "$b"; do
    ip -n "$ns" link set lo up
    ip -n "$ns" link set "${tag}v${ns: -1}" up
done

# Each host's mount namespace, kept in a file so that later commands join it.
mkdir -p "$work/ns"
mount --bind "$work/ns" "$work/ns" && mount --make-private "$work/ns" || skip "cannot mount"
on() { local host=$1; shift; nsenter --mount="$work/ns/$host" --net="/run/netns/$host" "$@"; }
for ns in "$a" "$b"; do
    touch "$work/ns/$ns"
    nsenter --net="/run/netns/$ns" unshare --mount="$work/ns/$ns" --propagation private \
        sh -c 'mount -t tmpfs tmpfs /run && mkdir -p /run/dbus /run/avahi-daemon' ||
        skip "cannot give a namespace its own /run"
    cat >"$work/avahi-$ns.conf" <<CONF
[server]
host-name=$ns
use-ipv6=no
allow-interfaces=${tag}v${ns: -1}
[publish]
publish-workstation=no
[wide-area]
enable-wide-area=no
CONF
    on "$ns" dbus-daemon --system --fork || skip "the system D-Bus does not start"
    on "$ns" avahi-daemon --daemonize --no-chroot --file="$work/avahi-$ns.conf" ||
        skip "avahi-daemon does not start"
done
on "$a" rpcbind || skip "rpcbind does not start"
await on "$a" rpcinfo -p 127.0.0.1 >/dev/null || skip "rpcbind does not answer"

# Starts a server on the first host; its stderr goes to $work/log.
start() {
    # A simple command, so that $! is the server itself.
    nsenter --mount="$work/ns/$a" --net="/run/netns/$a" \
        env QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR="$work" "$@" 2>"$work/log" &
    server=$!
    vxi11=
    await grep -q "VXI-11 on port" "$work/log" || { fail "$1 did not serve VXI-11"; cat "$work/log"; }
    vxi11=$(sed -n 's/.*VXI-11 on port \([0-9]*\).*/\1/p' "$work/log")
    [ -n "$vxi11" ]
}
browse() { on "$b" avahi-browse --all --resolve --parsable --terminate 2>/dev/null; }
announced() { # TYPE PORT
    browse | grep -q "^=;${tag}vb;IPv4;QuorvexEVM[^;]*;$1;local;$a.local;$address;$2;\"txtvers=1\" .*\"Model=QuorvexEVM\""
}

start "$ctl" --simulate serve --listen "$address:5025" || exit 1
on "$b" rpcinfo -p "$address" | grep -qE "^ *395183 +1 +tcp +$vxi11( |$)" ||
    fail "rpcinfo -p does not list 0x0607AF on TCP port $vxi11"
for service in "_scpi-raw._tcp 5025" "_vxi-11._tcp $vxi11" "_lxi._tcp $vxi11"; do
    # shellcheck disable=SC2086
    await announced $service || fail "avahi-browse does not see $service"
done
on "$b" /usr/bin/python3 "$here/vxi11_check.py" "$address" "$vxi11" || fail "vxi11_check.py on serve"
kill -TERM "$server"
wait "$server" || fail "serve ended with $? after SIGTERM"
gone() { ! browse | grep -q "_vxi-11._tcp"; }
await gone || fail "the services are still announced after serve stopped"
on "$b" rpcinfo -p "$address" | grep -q "395183" && fail "0x0607AF is still registered after serve stopped"

start "$panel" --simulate --listen "$address:5025" --no-dns-sd || exit 1
on "$b" /usr/bin/python3 "$here/vxi11_check.py" "$address" "$vxi11" --quick || fail "vxi11_check.py on the panel"
kill -TERM "$server"
wait "$server"

echo "LAN: $([ "$failures" = 0 ] && echo ok || echo "$failures failed")"
[ "$failures" = 0 ]
