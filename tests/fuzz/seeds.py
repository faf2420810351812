#!/usr/bin/env python3
"""Writes the fuzz targets' seed corpora (tests/fuzz/corpus/TARGET/): inputs in each target's
encoding that reach the paths worth starting from. Run from anywhere; it rewrites the seeds."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def w(v):
    return struct.pack("<H", v)


def write(target, name, data):
    d = os.path.join(HERE, "corpus", target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), "wb") as f:
        f.write(bytes(data))


# ---- bulk_in: seed word, then ops (op byte % 12) ----
def inject(packet):
    return bytes([0, len(packet)]) + bytes(packet)


def read(n):
    return bytes([5]) + w(n)


def timeouts(interval, multiplier, constant):
    return bytes([7, interval, multiplier, constant])


def pause(units):
    return bytes([8, units])


unit_kinds = b"".join(inject([k << 5 | 0x0F, 0x41 + k]) for k in range(8))
write("bulk_in", "header_kinds", w(1) + timeouts(0xFF, 0, 0) + unit_kinds + read(64) + pause(10) + read(64))
odd = b"".join(inject([0x20, 0x41] * (n // 2) + ([0x20] if n % 2 else [])) for n in (0, 1, 3, 63, 64))
write("bulk_in", "odd_lengths", w(2) + timeouts(0xFF, 0, 0) + odd + read(200) + pause(20))
write("bulk_in", "line_errors", w(3) + timeouts(10, 0, 50) + inject([0x60, 0x41, 0x00, 0x00, 0x6F, 0x42])
      + bytes([3, 0x55, 4, 0x0F]) + read(4096) + pause(100) + bytes([9, 0]) + read(3))
write("bulk_in", "timeouts", w(4) + timeouts(0x90, 2, 0x85) + read(100) + bytes([2, 5]) + b"hello"
      + pause(50) + read(1) + bytes([9, 1]) + pause(200))
write("bulk_in", "faults", w(5) + bytes([10, 1]) + read(10) + bytes([2, 3]) + b"abc" + pause(30)
      + bytes([10, 0, 10, 2]) + pause(255) + bytes([11, 1 | 2 << 1]) + read(5) + pause(40))
write("bulk_in", "events", w(6) + bytes([11, 2]) + w(0x1FF) + inject([0x0F, 0x00]) + bytes([4, 0x0B])
      + bytes([11, 0]) + pause(10) + read(0) + pause(10))

# ---- credit: seed word, throttled flag, then ops (op byte % 11) ----
def reply(data):
    return bytes([0, len(data)]) + bytes(data)


def cwrite(n):
    return bytes([3]) + w(n)


write("credit", "replies", w(1) + b"\x00" + cwrite(400) + reply([0, 0x80]) + reply([0, 0x10]) + reply([1, 0])
      + reply([]) + reply([0]) + reply([0, 0x40, 0x99]) + reply(list(range(64))) + bytes([5, 50]) + cwrite(300)
      + bytes([5, 100]))
write("credit", "throttled", w(2) + b"\x01" + cwrite(1000) + bytes([5, 10]) + reply([0, 0x80]) + bytes([9, 1, 20])
      + cwrite(500) + bytes([5, 200]) + bytes([6, 1]) + bytes([8, 5]) + bytes([5, 50]))
write("credit", "stalled", w(3) + b"\x00" + bytes([7, 1]) + cwrite(600) + bytes([5, 100]) + bytes([7, 4 | 2])
      + cwrite(20) + bytes([10, 1, 0x41]) + bytes([10, 2]) + bytes([5, 100]) + bytes([6, 0]))
write("credit", "xoff", w(4) + b"\x01" + bytes([10, 4]) + cwrite(50) + bytes([5, 20]) + bytes([10, 0])
      + reply([0, 0x20]) + bytes([5, 50]))


# ---- descriptors: seed word, device length byte % 40, bytes, config length word % 1024, bytes, unplug ----
def device(serial=True):
    d = [18, 1, 0x10, 0x01, 0xFF, 0, 0, 64, 0x3C, 0x7A, 0x03, 0x00, 0x00, 0x01, 0, 0, 3 if serial else 0, 1]
    return d


def interface(number, endpoints):
    return [9, 4, number, 0, endpoints, 0xFF, 0, 0, 0]


def endpoint(address):
    return [7, 5, address, 2, 64, 0, 0]


def configuration(interfaces, body, total=None):
    d = [9, 2, 0, 0, interfaces, 1, 0, 0xA0, 50] + body
    t = len(d) if total is None else total
    d[2], d[3] = t & 0xFF, t >> 8
    return d


def endpoints(credit=True):
    return endpoint(0x81) + endpoint(0x02) + (endpoint(0x83) if credit else [])


standard = configuration(1, interface(0, 3) + endpoints())
vendor = lambda n: [n, 0xFF] + [0x30 + i % 64 for i in range(2, n)]
variants = {
    "standard": standard,
    "long": configuration(1, interface(0, 3) + endpoints() + vendor(250) * 3),
    "second_interface": configuration(2, interface(0, 3) + endpoints() + interface(1, 1) + endpoint(0x84)),
    "interface_gap": configuration(2, interface(0, 3) + endpoints() + interface(2, 1) + endpoint(0x84)),
    "two_pipes": configuration(1, interface(0, 2) + endpoints(False)),
    "total_length_lies": configuration(1, interface(0, 3) + endpoints(), 1000),
    "zero_length": configuration(1, interface(0, 3) + [0, 0xFF] + endpoints()),
    "overrun": configuration(1, interface(0, 3) + [200, 0xFF, 0x55, 0xAA] + endpoints()),
    "total_too_small": configuration(1, interface(0, 3) + endpoints(), 4),
    "wrong_type": [standard[0], 7] + standard[2:],
    "empty": [],
}
for i, (name, config) in enumerate(variants.items()):
    dev = device()
    write("descriptors", name, w(i) + bytes([len(dev)]) + bytes(dev) + w(len(config)) + bytes(config) + bytes([i & 1]))
dev = device()[:8]
write("descriptors", "short_device", w(20) + bytes([len(dev)]) + bytes(dev) + w(len(standard)) + bytes(standard) + b"\x01")


# ---- ioctl: seed word, then steps: op byte < 0xD0 is a request (kind, function, in, out, input) ----
def ioctl(function, inp=b"", out=0, method=0, access=0):
    return bytes([0, method | access << 2, function, len(inp), out]) + bytes(inp)


serial_calls = (
    ioctl(1, struct.pack("<I", 115200)) + ioctl(20, out=4) + ioctl(3, bytes([0, 0, 8])) + ioctl(21, out=3)
    + ioctl(7, struct.pack("<5I", 10, 1, 100, 1, 100)) + ioctl(8, out=20) + ioctl(24, out=16)
    + ioctl(25, struct.pack("<4I", 1, 0x40, 100, 100)) + ioctl(22, out=6) + ioctl(23, bytes(6))
    + ioctl(26, out=4) + ioctl(27, out=20) + ioctl(29, out=64) + ioctl(30, out=4) + ioctl(35, out=16)
    + ioctl(36) + ioctl(37, out=4) + ioctl(38, struct.pack("<I", 3)) + ioctl(2, struct.pack("<2I", 4096, 4096))
    + ioctl(9) + ioctl(10) + ioctl(12) + ioctl(13) + ioctl(4) + ioctl(5) + ioctl(6, b"A") + ioctl(14) + ioctl(15)
    + ioctl(19, struct.pack("<I", 0xF)) + ioctl(31, b"\x00") + ioctl(32, out=4) + ioctl(33, out=64)
    + ioctl(34, bytes(40)) + ioctl(39, struct.pack("<I", 1)) + ioctl(11) + ioctl(28, struct.pack("<3I", 1, 100, 0x11))
)
write("ioctl", "serial_codes", w(1) + serial_calls)
write("ioctl", "wait_mask", w(2) + ioctl(17, struct.pack("<I", 0x1FF)) + ioctl(18, out=4) + bytes([0xD2, 3]) + b"abc"
      + bytes([0xD0, 10]) + ioctl(18, out=4) + bytes([0xD1, 1]) + ioctl(16, out=4) + bytes([0xD3, 0x0F]))
write("ioctl", "methods", w(3) + b"".join(ioctl(f, bytes(range(8)), 8, m, a) for f in (1, 24, 29, 35) for m in range(4)
                                       for a in (0, 3)))
write("ioctl", "other_types", w(4) + bytes([0, 0xE0]) + w(0x22) + w(0x100) + bytes([4, 4]) + b"\x01\x02\x03\x04"
      + bytes([0, 0xE3]) + w(0x1B) + w(0x800) + bytes([0, 16]) + bytes([0, 0xE1]) + w(0x32) + w(1) + bytes([8, 8])
      + bytes(8))
write("ioctl", "lengths", w(5) + ioctl(27, bytes(128), 128) + ioctl(29, b"", 1) + ioctl(7, bytes(19)) + ioctl(25, bytes(15))
      + ioctl(38, b"\x01") + ioctl(1, b"\x00\x00\x00\x00") + ioctl(23, bytes([0x11, 0x13, 0x11, 0x13, 0, 0])))


# ---- sequences: seed word, throttled flag, then ops (op byte % 20) ----
def op(n, *rest):
    return bytes([n]) + bytes(rest)


write("sequences", "open_io_close", w(1) + b"\x00" + op(0) + op(9, 0, 0x1B, 0, 0) + op(2, 0) + w(100) + op(4, 0) + w(100)
      + op(13, 20) + op(6, 0, 0xF) + op(1, 0) + op(0) + op(4, 0) + w(50) + op(13, 10))
write("sequences", "stop_start", w(2) + b"\x01" + op(0) + op(2, 0) + w(500) + op(4, 0) + w(300) + op(15, 0)
      + op(13, 5) + op(15, 1) + op(15, 2) + op(4, 0) + w(10) + op(13, 50))
write("sequences", "surprise_removal", w(3) + b"\x00" + op(0) + op(2, 0) + w(40) + op(11, 0, 0xFF, 0x01)
      + op(4, 0) + w(400) + op(16, 0) + op(13, 2) + op(1, 0) + op(13, 50) + op(17) + op(0) + op(4, 0) + w(20) + op(13, 20))
write("sequences", "cancel_purge", w(4) + b"\x01" + op(0) + op(10, 0, 0x10, 5, 0, 0) + op(2, 0) + w(1000) + op(4, 0) + w(1500)
      + op(7, 0) + op(8, 0) + op(6, 0, 0x3) + op(12, 0, 4) + op(0) + op(13, 40) + op(1, 0))
write("sequences", "control_faults", w(6) + b"\x00" + op(20, 2, 0xFF, 0x7F) + op(0) + op(21, 0x80) + op(9, 0, 0x1B, 0, 0)
      + op(4, 0) + w(30) + op(1, 0) + op(21, 1) + op(0) + op(20, 0x80) + op(1, 0) + op(0) + op(13, 20))
write("sequences", "flow_control", w(5) + b"\x01" + op(0) + op(9, 0, 0x1B, 0, 0x15) + op(12, 0, 3) + op(4, 0) + w(1800)
      + op(2, 0) + w(1800) + op(13, 100) + op(12, 0, 4) + op(13, 100) + op(19, 10) + b"0123456789" + op(13, 100))
