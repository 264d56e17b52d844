#!/usr/bin/env python3
"""Writes the seed inputs of the receive, R-line and frame fuzz targets into corpus/<target>/.

The seeds are the frames and lines of the wire protocol's worked examples: start, finish, read,
check and sweep frames, ACK, NAK and log start, a 4107-byte write block and read reply, device
text lines, and a few of the shapes the receive path must survive (oversize length fields,
frames split by text, runs of NAKs).
"""
import os

HERE = os.path.dirname(os.path.abspath(__file__))


def crc16(data):
    """CRC-16, polynomial 0x8005, initial 0, MSB first, no reflection, no final XOR."""
    crc = 0
    for b in data:
        crc ^= b << 8
        for _ in range(8):
            crc = ((crc << 1) ^ 0x8005) if crc & 0x8000 else (crc << 1)
            crc &= 0xFFFF
    return crc


def frame(code, payload=b""):
    length = 7 + len(payload)
    body = bytes([0x04, length >> 8, length & 0xFF, code]) + payload
    c = crc16(body)
    return body + bytes([c >> 8, c & 0xFF, 0x03])


def be32(a):
    return a.to_bytes(4, "big")


ACK = frame(0x06)
NAK = frame(0x15)
LOG_START = frame(0x00)
assert ACK.hex() == "04000706421403"
assert NAK.hex() == "040007" "15c27d03"
assert LOG_START.hex() == "04000700420003"
assert frame(0x10).hex() == "04000710c26303"
assert frame(0x1A, be32(0x3C3000)).hex() == "04000b1a003c3000af9203"
assert crc16(b"123456789") == 0xFEE8
assert frame(0x52, bytes.fromhex("080004004e200028")).hex() == "04000f52080004004e200028e9a303"


def read_reply(code, address, fill):
    return frame(code, be32(address) + bytes((fill + i) & 0xFF for i in range(4096)))


def header(last, blocks=2, done=0, flags=0, chunk=79, family=1, dmax=0, dmin=0):
    """The receive target's 8-byte header: see receive_fuzz.cpp."""
    return bytes([last, blocks - 1, done, flags, chunk, family, dmax & 0xFF, dmin & 0xFF])


def write_all(target, seeds):
    out = os.path.join(HERE, "corpus", target)
    os.makedirs(out, exist_ok=True)
    for name, data in seeds.items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)


# Indices into the receive target's kLastCommands table.
START, WRITE, VERIFY, FINISH, READ, CHECK, SWEEP_QUERY = 1, 5, 9, 12, 14, 17, 18
ACTIVE, LOGGING, AFTER_OPEN = 1, 2, 4

write_all("receive", {
    "voice_run_acks": header(START, blocks=2) + ACK * 5,
    "application_run_to_finish": header(0, blocks=1, family=0) + ACK * 3,
    "nak_storm": header(WRITE, blocks=2) + NAK * 6,
    "nak_then_ack": header(VERIFY, blocks=2, flags=3 << 4) + NAK + ACK + ACK,
    "read_reply": header(READ, blocks=2, flags=ACTIVE) + read_reply(0x2A, 0, 0x00)
    + read_reply(0x2A, 4096, 0x80),
    "read_reply_bytewise": header(READ, blocks=1, flags=ACTIVE, chunk=0) + read_reply(0x2A, 0, 7),
    "check_reply": header(CHECK) + frame(0x1B, be32(0x3FE000) + bytes(range(16))),
    "sweep_report": header(SWEEP_QUERY, flags=8, dmax=10, dmin=-10)
    + frame(0x51, bytes([0x07, 0xD0, 0x03, 0xE8])),
    "log_start_and_lines": header(START, flags=LOGGING | AFTER_OPEN) + LOG_START
    + b"R 0A,1F,3C,7\r\n" + b"Hello from the device\r\n" + ACK,
    "line_between_replies": header(START, blocks=2) + b"R 1,2,\r\n" + ACK + b"note\n\r" + ACK,
    "oversize_length_then_ack": header(START) + b"\x04\xff\xff\xee" + b"\n" * 64 + ACK,
    "short_length_fields": header(START) + b"\x04\x00\x00\x04\x00\x03\x04\x00\x06" + ACK,
    "text_after_open": header(START, flags=AFTER_OPEN) + b"boot " * 60 + b"\r\n" + ACK,
    "finish_ack": header(FINISH) + ACK,
})

write_all("rline", {
    "worked_example": b"R 0A,1F,3C,7\r\n",
    "wrapping": b"R 7FFFFFFF,80000000,FFFFFFFF,100000000,\r\n",
    "blanks_and_empty": b"R  1 2 , ,,\n\r",
    "lowercase_and_punctuation": b"R ff,zz,!~,\r\n",
    "plain_line": b"Hello from the device\r\n",
    "line_ends": b"a\nb\r\n\n\rc",
    "short": b"R",
})

write_all("frame", {
    "ack": ACK,
    "nak": NAK,
    "log_start": LOG_START,
    "start_application": frame(0x10),
    "start_voice": frame(0x20),
    "start_map": frame(0x30),
    "start_user": frame(0x40),
    "finish": frame(0x13),
    "sweep_query": frame(0x50),
    "read_first_application_block": frame(0x1A, be32(0x3C3000)),
    "read_first_voice_block": frame(0x2A, be32(0)),
    "read_check_block": frame(0x1B, be32(0x3FE000)),
    "sweep_set": frame(0x52, bytes.fromhex("080004004e200028")),
    "write_block_application": frame(0x11, be32(0x3C3000) + b"\xff" * 4096),
    "write_then_verify_voice": frame(0x21, be32(0) + bytes(range(256)) * 16)
    + frame(0x22, be32(0) + bytes(range(256)) * 16),
    "read_reply": read_reply(0x1A, 0x3C3000, 0x10),
    "crc_check_value": b"123456789",
    "noise_then_frame": b"Hellow\r\n\x04\x00\x03" + frame(0x50),
    "bad_crc": frame(0x50)[:4] + b"\x00\x00\x03",
})
