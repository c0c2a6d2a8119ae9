"""Drives a server on the simulated board with PyVISA, as a lab script would:
'quorvexctl --simulate serve', or the panel itself ('quorvex-evm --simulate
--listen'), whose window carries each command out. Sweeps the gain, reads
WORD?, READback? and VERify?, and provokes the errors. Debian's
python3-pyvisa is importable only from /usr/bin/python3; without it (or
python3-pyvisa-py) the check exits 77, which ctest reports as skipped.

usage: /usr/bin/python3 pyvisa_check.py QUORVEXCTL
       /usr/bin/python3 pyvisa_check.py --panel QUORVEX-EVM
"""
import re
import signal
import subprocess
import sys

try:
    import pyvisa
    import pyvisa_py  # noqa: F401 -- the back end behind "@py"
except ImportError as missing:
    print(f"skipped: {missing}; install python3-pyvisa and python3-pyvisa-py", file=sys.stderr)
    sys.exit(77)

failures = 0


def expect(what, actual, expected):
    global failures
    if actual != expected:
        print(f"FAIL: {what}: {actual!r}, expected {expected!r}")
        failures += 1


panel = sys.argv[1] == "--panel"
server = subprocess.Popen([sys.argv[-1], "--simulate", "--listen", "127.0.0.1:0"] if panel else
                          [sys.argv[-1], "--simulate", "serve", "--listen", "127.0.0.1:0"],
                          stderr=subprocess.PIPE, text=True)
try:
    listening = ""
    while "listening on" not in listening:
        listening = server.stderr.readline()
    port = re.search(r":(\d+)$", listening.strip()).group(1)
    board = pyvisa.ResourceManager("@py").open_resource(
        f"TCPIP0::127.0.0.1::{port}::SOCKET", read_termination="\n", write_termination="\n",
        timeout=5000)
    expect("*IDN?", board.query("*IDN?").rsplit(",", 1)[0], "Kestrovia,QuorvexEVM,0")

    for position, dB in enumerate([0, 9] + list(range(12, 61, 3))):
        board.write(f"GAIN {dB}")
        expect(f"GAIN {dB}: WORD?", board.query("WORD?"), f"#H{position:04X}")
    expect("READback? after 60 dB", board.query("READback?"), "#H0011")
    expect("VERify? on LPT1", board.query("VERify?"), "1")
    expect("VERify? on LPT2", board.query("PORT LPT2;VERify?"), "0")

    for command, error in [("FOO", '-113,"Undefined header"'), ("GAIN 61", '-222,"Data out of range"'),
                           ("PORT LPT4", '-224,"Illegal parameter value"'),
                           ("GAIN", '-109,"Missing parameter"'), ("A" * 5000, '-223,"Too much data"')]:
        board.write(command)
        expect(f"{command[:10]}: SYSTem:ERRor?", board.query("SYSTem:ERRor?"), error)
    board.write(";".join(["FOO"] * 20))
    overflow = [board.query("SYST:ERR?") for _ in range(17)]
    expect("after 20 errors", overflow[-2:], ['-350,"Queue overflow"', '0,"No error"'])
    board.close()
finally:
    server.terminate()
    # serve exits with 0; the panel, once its window is closed, as the signal asks.
    expect("exit code after SIGTERM", server.wait(10), -signal.SIGTERM if panel else 0)

print(f"PyVISA {pyvisa.__version__}: {'ok' if failures == 0 else f'{failures} failed'}")
sys.exit(1 if failures else 0)
