"""Drives the VXI-11 core channel of a running server as lab software does:
Debian's pyvisa-py opening TCPIP::HOST::INSTR (through the portmapper on
HOST), then hand-made ONC RPC records (RFC 5531) for the reasons a read ends
and for hostile input, after which every session must still answer. Run by
lan_check.sh inside its network namespaces; exits 77 without pyvisa-py.

usage: /usr/bin/python3 vxi11_check.py HOST VXI11-PORT [--quick]
"""
import socket
import struct
import sys
import threading

try:
    import pyvisa
    import pyvisa_py  # noqa: F401 -- the back end behind "@py"
except ImportError as missing:
    print(f"skipped: {missing}; install python3-pyvisa and python3-pyvisa-py", file=sys.stderr)
    sys.exit(77)

host, port, quick = sys.argv[1], int(sys.argv[2]), "--quick" in sys.argv
failures = 0


def expect(what, actual, expected):
    global failures
    if actual != expected:
        print(f"FAIL: {what}: {actual!r}, expected {expected!r}")
        failures += 1


rm = pyvisa.ResourceManager("@py")
board = rm.open_resource(f"TCPIP::{host}::INSTR", read_termination="\n", write_termination="\n",
                         timeout=5000)
expect("*IDN?", board.query("*IDN?").rsplit(",", 1)[0], "Kestrovia,QuorvexEVM,0")
for position, dB in enumerate([0, 9] + list(range(12, 61, 3))):
    board.write(f"GAIN {dB}")
    expect(f"GAIN {dB}: WORD?", board.query("WORD?"), f"#H{position:04X}")
if quick:
    board.close()
    print(f"VXI-11 quick: {'ok' if failures == 0 else f'{failures} failed'}")
    sys.exit(1 if failures else 0)

# Device clear empties what the session has not read.
board.write("*IDN?")
board.clear()
expect("WORD? after device clear", board.query("WORD?"), "#H0012")

# A lock keeps another session's settings out; its queries still answer.
other = rm.open_resource(f"TCPIP::{host}::INSTR", read_termination="\n", write_termination="\n",
                         timeout=5000)
board.lock_excl()
other.write("GAIN 0")
expect("setting while locked", other.query("SYST:ERR?"), '-221,"Settings conflict"')
expect("query while locked", other.query("WORD?"), "#H0012")
try:
    other.lock_excl()
    expect("second lock", "granted", "refused")
except pyvisa.VisaIOError as error:
    expect("second lock", error.error_code, pyvisa.constants.StatusCode.error_resource_locked)
board.write("GAIN 9")
expect("setting by the holder", (board.query("SYST:ERR?"), board.query("WORD?")),
       ('0,"No error"', "#H0001"))
board.unlock()
other.write("GAIN 0")
expect("setting after unlock", (other.query("SYST:ERR?"), other.query("WORD?")),
       ('0,"No error"', "#H0000"))

# A read with nothing to read ends at its timeout, and holds no one else up.
board.timeout = 4000
ended = []
def wait_read():
    try:
        board.read()
        ended.append("read")
    except pyvisa.VisaIOError as error:
        ended.append(error.error_code)
waiting = threading.Thread(target=wait_read)
waiting.start()
expect("other session during a waiting read", (other.query("*OPC?"), ended), ("1", []))
waiting.join()
expect("read with nothing to read", ended, [pyvisa.constants.StatusCode.error_timeout])
board.timeout = 5000


# ONC RPC by hand: record marking, call header with AUTH_NONE.
def record(body, last=True):
    return struct.pack(">I", (0x80000000 if last else 0) | len(body)) + body


def call(xid, proc, args=b"", prog=0x0607AF, vers=1, rpcvers=2):
    return struct.pack(">IIIIII4I", xid, 0, rpcvers, prog, vers, proc, 0, 0, 0, 0) + args


def opaque(data):
    return struct.pack(">I", len(data)) + data + b"\0" * (-len(data) % 4)


def reply(sock):
    def exactly(n):
        data = b""
        while len(data) < n:
            chunk = sock.recv(n - len(data))
            if not chunk:
                raise ConnectionError("closed")
            data += chunk
        return data
    mark, = struct.unpack(">I", exactly(4))
    body = exactly(mark & 0x7FFFFFFF)
    return list(struct.unpack(f">{len(body) // 4}I", body[:len(body) // 4 * 4])), body


def connect():
    sock = socket.create_connection((host, port), timeout=10)
    sock.settimeout(10)
    return sock


def create_link(sock, device=b"inst0"):
    sock.sendall(record(call(1, 10, struct.pack(">iiI", 7, 0, 0) + opaque(device))))
    words, _ = reply(sock)
    return words[6], words[7]  # error, link


def write(sock, link, data, flags=8):
    sock.sendall(record(call(2, 11, struct.pack(">iIIi", link, 1000, 0, flags) + opaque(data))))
    return reply(sock)[0][6:8]


def read(sock, link, size, flags=0, term=0, timeout=1000):
    sock.sendall(record(call(3, 12, struct.pack(">iIIIii", link, size, timeout, 0, flags, term))))
    words, body = reply(sock)
    length = words[8]
    return words[6], words[7], body[36:36 + length]


# The reasons a read ends: request count, the term character, the message's end.
rpc = connect()
error, link = create_link(rpc)
expect("create_link inst0", error, 0)
expect("write *IDN?", write(rpc, link, b"*IDN?"), [0, 5])
expect("read 5 bytes", read(rpc, link, 5), (0, 1, b"Kestr"))
expect("read to ','", read(rpc, link, 100, 0x80, ord(",")), (0, 2, b"ovia,"))
expect("read the rest", read(rpc, link, 100)[:2], (0, 4))
expect("read with nothing to read", read(rpc, link, 100, timeout=50), (15, 0, b""))
expect("create_link inst1", create_link(rpc, b"inst1")[0], 3)

# Hostile records, each answered as RPC says, on connections that live on.
stranger = connect()
expect("write on a link another connection made", write(stranger, link, b"GAIN 60"), [4, 0])
rows = [
    ("wrong program", call(9, 1, prog=0x0607B0), [9, 1, 0, 0, 0, 1]),
    ("wrong version", call(9, 10, vers=2), [9, 1, 0, 0, 0, 2, 1, 1]),
    ("unknown procedure", call(9, 99), [9, 1, 0, 0, 0, 3]),
    ("RPC version 3", call(9, 0, rpcvers=3), [9, 1, 1, 0, 2, 2]),
    ("opaque past the record", call(9, 11, struct.pack(">iIIiI", link, 0, 0, 8, 0xFFFFFFF0)),
     [9, 1, 0, 0, 0, 4]),
    ("arguments cut short", call(9, 12, struct.pack(">i", link)), [9, 1, 0, 0, 0, 4]),
    ("create_intr_chan", call(9, 25, bytes(20)), [9, 1, 0, 0, 0, 0, 8]),
    ("destroy_link of no link", call(9, 23, struct.pack(">i", 99999)), [9, 1, 0, 0, 0, 0, 4]),
]
for name, body, expected in rows:
    stranger.sendall(record(body))
    expect(name, reply(stranger)[0], expected)
# A call in three fragments, then one past every bound: its head answers.
split = call(10, 0)
stranger.sendall(record(split[:8], False) + record(split[8:20], False) + record(split[20:]))
expect("fragmented NULL call", reply(stranger)[0], [10, 1, 0, 0, 0, 0])
huge = call(11, 11, struct.pack(">iIIi", link, 0, 0, 8)) + opaque(b"A" * 200000)
stranger.sendall(record(huge))
expect("record past the bound", reply(stranger)[0], [11, 1, 0, 0, 0, 4])
for name, data in [("truncated record", record(call(12, 0))[:30]),
                   ("a record claiming 2 GiB", struct.pack(">I", 0xFFFFFFFF) + b"B" * 65536)]:
    cut = connect()
    cut.sendall(data)
    cut.close()

expect("the link after hostile records", write(rpc, link, b"*OPC?") + [read(rpc, link, 10)[2]],
       [0, 5, b"1\n"])
expect("PyVISA after hostile records", (board.query("*OPC?"), other.query("WORD?")), ("1", "#H0000"))
for sock in (rpc, stranger):
    sock.close()
board.close()
other.close()
print(f"VXI-11: {'ok' if failures == 0 else f'{failures} failed'}")
sys.exit(1 if failures else 0)
