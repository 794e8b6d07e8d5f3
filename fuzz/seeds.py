#!/usr/bin/env python3
"""Writes the hand-made seeds of the fuzz harnesses (fuzz/corpus/<harness>/, named after what
they hold); run after changing a harness's input layout. The files named by a hash beside them
were merged in from long runs (libFuzzer -merge=1) and start the short CI runs deeper; every
input that ever made a harness fail is kept in fuzz/regressions/ instead."""
import os
import struct

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")


def slip(frame):
    out = bytearray()
    for b in frame:
        if b == 0xC0:
            out += b"\xdb\xdc"
        elif b == 0xDB:
            out += b"\xdb\xdd"
        else:
            out.append(b)
    return bytes(out) + b"\xc0"


def frame(code, payload=b""):
    return slip(struct.pack("<HB", len(payload) + 1, code) + payload)


def write(harness, name, data):
    folder = os.path.join(ROOT, harness)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


# frame: u16 frame limit, u8 command, u8 read size (bits 0-5, 0: all at once), line bytes
def frame_seed(name, cap, code, control, stream):
    write("frame", name, struct.pack("<HBB", cap, code, control) + stream)


frame_seed("result", 512, 4, 0x40, frame(4, b"\x00"))
frame_seed("version", 512, 1, 0x40, frame(1, b"VELTORA-FW 3.2.0\x00"))
frame_seed("escapes", 512, 0xC0, 0x40, frame(0xC0, bytes([0xC0, 0xDB, 0xDC, 0xDD] * 48)))
frame_seed("two_frames", 512, 4, 0x00, frame(3, b"\x00") + frame(4, b"\x00"))
frame_seed("split", 512, 0x13, 0x05, frame(0x13, bytes(range(64))))
frame_seed("oversize", 16, 0x13, 0x40, frame(0x13, bytes(40)))
frame_seed("garbage_first", 512, 8, 0x00, b"\x55\xaa\xdb" + frame(8))
frame_seed("bad_escape", 512, 4, 0x80, b"\x02\x00\x04\xdb\x01\xc0" + frame(4, b"\x00"))
frame_seed("big_area", 1024, 0x13, 0x40, frame(0x13, bytes(1021)))

# commands: u8 operation, u16 a, u16 b, u8 read control, line bytes
OPS = {
    "get_version": (0, 0, 0, frame(1, b"VELTORA-FW 3.2.0\x00")),
    "start_esp": (1, 0, 0x40, frame(2, b"\x00")),
    "write_esp": (2, 0, 512, frame(3, b"\x00")),
    "end_esp": (3, 0, 0, frame(4, b"\x01")),
    "delete_esp": (4, 4, 0, frame(5, b"\x00")),
    "set_device_id": (5, 0, 0, frame(6, struct.pack("<Q", 12345678))),
    "reboot": (6, 0, 0, frame(8)),
    "leave_bootloader": (7, 0, 0, frame(9)),
    "get_macs": (8, 0, 0, frame(10, bytes([0, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E, 0, 0x1A, 0x2B, 0x3C, 0x4D, 0x5F]))),
    "get_device_id": (9, 0, 0, frame(11, struct.pack("<Q", 99999999999))),
    "query_version": (10, 0, 0, frame(12, b"Bootloader 1.0.4\x00")),
    "status_word": (11, 0, 0, frame(13, struct.pack("<I", 0x80000001))),
    "get_parameter": (12, 17, 64, frame(14, bytes(range(64)))),
    "set_parameter": (13, 17, 1, frame(15)),
    "info_block": (14, 0, 0, frame(16, bytes(200))),
    "record": (15, 1, 2, frame(17, bytes(32))),
    "start_file_read": (16, 4, 1, frame(18, struct.pack("<i", 4096))),
    "read_file": (17, 0, 512, frame(19, bytes(range(256)) * 2)),
    "end_file_read": (18, 0, 0, frame(20, b"\x00")),
    "command_7e": (19, 0, 0, frame(0x7E)),
}
for name, (op, a, b, stream) in OPS.items():
    write("commands", name, struct.pack("<BHHB", op, a, b, 0x40) + stream)
write("commands", "wrong_code_first", struct.pack("<BHHB", 9, 0, 0, 0x40) + frame(10, bytes(12)) + frame(11, bytes(8)))
write("commands", "split_read_file", struct.pack("<BHHB", 17, 0, 100, 0x07) + frame(19, bytes(100)))

# filelist: the list file as it is on disk
LISTS = {
    "production": b"c:system.bin\r\nj:nrf.hex\r\nc:sub/b.bin\r\n",
    "lf_only": b"c:system.bin\nj:nrf.hex\n",
    "no_last_crlf": b"c:system.bin\r\nc:a",
    "mode_size": b"cc:system.bin\r\n",
    "mode_char": b"x:system.bin\r\nC:system.bin\r\n",
    "extra_field": b"c:system.bin:extra\r\n",
    "missing": b"c:nothere.bin\r\n",
    "no_colon": b"system.bin\r\n",
    "blank_line": b"\r\n",
    "long_line": b"c:" + b"a" * 200 + b"\r\n",
    "nul": b"c:sys\x00tem.bin\r\n",
    "latin1": b"c:ff\xe9.bin\r\nc:x y\r\n",
    "empty": b"",
}
for name, data in LISTS.items():
    write("filelist", name, data)
