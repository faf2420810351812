#!/usr/bin/env python3
"""orvix-sim as a tool: with --line-pty and --terminal, a Linux serial program at the far end of
the cable (pyserial here) and the application on the COM port exchange a 64 KB pattern each way
through the real driver, intact, and the simulator ends with a clean verdict."""
import os
import random
import subprocess
import sys
import tempfile
import threading
import time

try:
    import serial
except ImportError:
    # Debian's python3-serial, when another Python runs the test.
    sys.path.append("/usr/lib/python3/dist-packages")
    import serial

SIZE = 64 * 1024


def pattern(seed):
    rng = random.Random(seed)
    return bytes(rng.getrandbits(8) for _ in range(SIZE))


def read_exactly(read, size, deadline):
    data = bytearray()
    while len(data) < size and time.monotonic() < deadline:
        chunk = read(size - len(data))
        if chunk:
            data += chunk
    return bytes(data)


def main():
    sim = sys.argv[1]
    help_text = subprocess.run([sim, "--help"], capture_output=True, text=True, timeout=30)
    assert help_text.returncode == 0, help_text
    for option in ("--capture", "--line-pty", "--terminal", "--baud", "--help"):
        assert option in help_text.stdout, option

    to_far_end = pattern(1)
    to_port = pattern(2)
    with tempfile.TemporaryDirectory() as tmp:
        link = os.path.join(tmp, "line")
        proc = subprocess.Popen([sim, "--line-pty", link, "--terminal"], stdin=subprocess.PIPE,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        stderr = []
        ready = threading.Event()

        def collect():
            for line in proc.stderr:
                stderr.append(line)
                if b"Ctrl-D ends" in line:
                    ready.set()
            ready.set()

        threading.Thread(target=collect, daemon=True).start()
        deadline = time.monotonic() + 60
        # The port is open once the terminal says so; characters sent before would be lost.
        assert ready.wait(60) and os.path.islink(link), b"".join(stderr).decode(errors="replace")

        far = serial.Serial(link, 115200, timeout=0.5)
        received_at_port = []
        reader = threading.Thread(
            target=lambda: received_at_port.append(read_exactly(proc.stdout.read1, SIZE, deadline)), daemon=True)
        reader.start()
        far_writer = threading.Thread(target=lambda: (far.write(to_port), far.flush()), daemon=True)
        far_writer.start()
        proc.stdin.write(to_far_end)
        proc.stdin.flush()
        at_far_end = read_exactly(far.read, SIZE, deadline)
        reader.join(max(0, deadline - time.monotonic()))
        far_writer.join(max(0, deadline - time.monotonic()))
        proc.stdin.close()
        code = proc.wait(timeout=60)
        far.close()
        log = b"".join(stderr).decode(errors="replace")
        assert at_far_end == to_far_end, "far end got %d bytes, %s" % (
            len(at_far_end), "intact so far" if to_far_end.startswith(at_far_end) else "corrupted")
        got = received_at_port[0] if received_at_port else b""
        assert got == to_port, "port got %d bytes, %s" % (
            len(got), "intact so far" if to_port.startswith(got) else "corrupted")
        assert code == 0, "orvix-sim exited with %d:\n%s" % (code, log)
        assert "Verifier: no findings" in log, log
    print("64 KB each way intact")


if __name__ == "__main__":
    main()
