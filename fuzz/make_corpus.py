#!/usr/bin/env python3
"""Write the seed inputs of the fuzz targets into fuzz/corpus/<target>/.

The seeds are the protocol's known cases (the codec's worked examples, the
register exchanges, both record sizes); the fuzzer mutates from there. The
files are committed; run this again after changing an input layout.
Input layouts: see the head of each fuzz_<target>.cpp.
"""

import shutil
import struct
from pathlib import Path

HERE = Path(__file__).resolve().parent
PRESET = {"dm3507": 0, "dm4310": 1, "dmh3510": 12}
RAW = 15  # limits selector: five raw floats follow


def f32(*values):
    return struct.pack("<%df" % len(values), *values)


def limits(name=None, raw=None):
    return bytes([PRESET[name]]) if name else bytes([RAW]) + f32(*raw)


NAN, INF = float("nan"), float("inf")

DECODE = {
    "centre": limits("dm4310") + bytes.fromhex("0180008008001e20"),
    "lowest": limits("dm4310") + bytes.fromhex("0200000000000000"),
    "highest": limits("dm4310") + bytes.fromhex("02ffffffffff0000"),
    "error-nibble": limits("dm4310") + bytes.fromhex("117fff7ff7ff282d"),
    "short": limits("dm4310") + bytes.fromhex("01800080080012"),
    "long-fd": limits("dmh3510") + bytes.fromhex("0180008008001e20") + bytes(4),
    "raw-limits": limits(raw=(1.0, 2.0, 3.0, 4.0, 5.0)) + bytes.fromhex("0a12345678abcdef"),
    "nan-limits": limits(raw=(NAN, -1.0, 0.0, INF, 1e30)) + bytes.fromhex("0180008008001e20"),
}

ENCODE_IDS = struct.pack("<HH", 0x001, 0x011)
ENCODE = {
    "zero": limits("dm4310") + f32(0, 0, 0, 0, 0) + ENCODE_IDS,
    "upper": limits("dm4310") + f32(12.5, 30, 500, 5, 10) + ENCODE_IDS,
    "lower": limits("dm4310") + f32(-12.5, -30, -1, -1, -10) + ENCODE_IDS,
    "clamped": limits("dm4310") + f32(100, -100, 1000, 10, 100) + ENCODE_IDS,
    "worked": limits("dm4310") + f32(1.0, 2.0, 50.0, 1.0, 0.5) + ENCODE_IDS,
    "nan-q": limits("dm4310") + f32(NAN, 0, 0, 0, 0) + ENCODE_IDS,
    "dm3507-top": limits("dm3507") + f32(12.566, 0, 0, 0, 0) + ENCODE_IDS,
    "kp-max-zero": limits(raw=(12.5, 30, 0, 5, 10)) + f32(1, 2, 50, 1, 0.5) + ENCODE_IDS,
    "p-max-negative": limits(raw=(-1, 30, 500, 5, 10)) + f32(0, 0, 0, 0, 0) + ENCODE_IDS,
    "v-max-nan": limits(raw=(12.5, NAN, 500, 5, 10)) + f32(0, 0, 0, 0, 0) + ENCODE_IDS,
    "t-max-inf": limits(raw=(12.5, 30, 500, 5, INF)) + f32(1, 2, 3, 4, 5) + struct.pack("<HH", 0x801, 0x811),
}

FLOAT_TEXT = {
    name: f32(v)
    for name, v in {
        "12.5": 12.5, "30": 30.0, "minus-zero": -0.0, "1e-7": 1e-7, "nan": NAN, "inf": INF, "minus-inf": -INF,
        "2p24": 16777216.0, "max": 3.4028234663852886e38, "min-subnormal": 1.401298464324817e-45,
        "0.1": 0.1, "12.566": 12.566, "minus-1": -1.0,
    }.items()
}


def frame(ident, data, ext=False, fd=False, brs=False, takes=0):
    header = (4 if ext else 0) | (8 if fd else 0) | (16 if brs else 0)
    ident_bytes = struct.pack("<I", ident) if ext else struct.pack("<H", ident)
    return bytes([header, takes]) + ident_bytes + bytes([len(data)]) + bytes(data)


def recv_error(kind, takes=0):  # kind 1: timeout, 2: backend error
    return bytes([kind, takes])


def driver(command=False, send_fails=False, motor=0x001, master=0x011, reg=10, timeout_ms=20, preset="dm4310"):
    mode = (1 if command else 0) | (2 if send_fails else 0)
    return bytes([mode]) + struct.pack("<HH", motor, master) + bytes([reg, timeout_ms]) + limits(preset)


REPLY_MIT = bytes.fromhex("0100330a01000000")
DRIVER_REPLY = {
    "read-mode-1": driver() + frame(0x7FF, REPLY_MIT),
    "read-skips-others": driver() + frame(0x011, bytes.fromhex("0180008008001e20"), takes=8)
        + frame(0x7FF, REPLY_MIT[:7]) + frame(0x7FF, REPLY_MIT + bytes(4), fd=True)
        + frame(0x7FF, bytes.fromhex("0100330b01000000")) + frame(0x7FF, bytes.fromhex("0100330a03010000")),
    "read-feedback-as-reply": driver() + frame(0x011, bytes.fromhex("1a00330a02000000"), ext=True),
    "read-timeout": driver() + frame(0x123, bytes(8), takes=200),
    "read-recv-error": driver() + recv_error(2, takes=4),
    "read-unknown-register": driver(reg=200) + frame(0x7FF, REPLY_MIT),
    "read-send-fails": driver(send_fails=True) + frame(0x7FF, REPLY_MIT),
    "command-reply": driver(command=True) + frame(0x011, bytes.fromhex("0180008008001e20")),
    "command-skips-extended": driver(command=True) + frame(0x011, bytes(8), ext=True, takes=4)
        + frame(0x012, bytes(8)) + frame(0x011, bytes.fromhex("117fff7ff7ff282d")),
    "command-masked-ids": driver(command=True, motor=0x801, master=0x811) + frame(0x011, bytes(8)),
    "command-short-reply": driver(command=True) + frame(0x011, bytes(5)),
    "command-timeout": driver(command=True, timeout_ms=1) + recv_error(1, takes=3) + frame(0x011, bytes(8)),
}


def record(can_id, data, length=None, flags=0, fd=False):
    size, cap = (72, 64) if fd else (16, 8)
    body = bytes(data)[:cap].ljust(cap, b"\0")
    return struct.pack("<IBBBB", can_id, len(data) if length is None else length, flags, 0, 0) + body[: size - 8]


PARSE_RECORD = {
    "classic": record(0x123, b"\x01\x02\x03"),
    "classic-extended": record(0x80000000 | 0x1FFFFFFF, bytes(range(8))),
    "classic-remote": record(0x40000000 | 0x011, b"", length=2),
    "classic-len-15": record(0x7FF, bytes(range(8)), length=15),
    "classic-error-bus-off": record(0x20000000 | 0x040, bytes(8)),
    "fd-12-brs": record(0x011, bytes(range(12)), flags=0x05, fd=True),
    "fd-len-70": record(0x80000011, bytes(range(64)), length=70, fd=True),
    "size-15": bytes(15),
    "size-17": bytes(17),
    "empty": b"",
}

CORPORA = {
    "decode": DECODE,
    "encode": ENCODE,
    "float_text": FLOAT_TEXT,
    "driver_reply": DRIVER_REPLY,
    "parse_record": PARSE_RECORD,
}


def main():
    for target, seeds in CORPORA.items():
        folder = HERE / "corpus" / target
        shutil.rmtree(folder, ignore_errors=True)
        folder.mkdir(parents=True)
        for name, data in seeds.items():
            (folder / name).write_bytes(data)
        print(f"{target}: {len(seeds)} seeds")


if __name__ == "__main__":
    main()
