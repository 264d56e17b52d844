#!/usr/bin/python3
"""A plain client of the device's serial protocol, written the obvious way with pyserial.

It is the yardstick the benchmarks hold orlo against (bench/run_vs_reference.sh), not a tool:
one frame out, wait for its reply, next frame. No threads, no pipelining, no buffering tricks.

  reference_client.py program REGION FILE --port PORT     start, write blocks, verify blocks
                                                          (and the finish frame for application)
  reference_client.py read REGION FILE --port PORT        read requests for the whole region

Like orlo, it sends one check request (code 0x1B) before a region's first frame, discarding
whatever arrives before its answer, and one after the last reply, whose answer must come
first (--no-check leaves both out). It prints one line with the seconds from the port's open
to the end and exits 0 only when every frame was answered as it should be.
"""
import argparse
import sys
import time

import serial

FRAME_START = 0x04
FRAME_END = 0x03
BLOCK = 4096
ACK = 0x06
NAK = 0x15
CHECK = 0x1B
CHECK_ADDRESS = 0x3FE000
FINISH = 0x13
MAX_RESENDS = 4

# region: (flash base, largest image, command family)
REGIONS = {
    "voice": (0x000000, 2048000, 0x20),
    "map": (0x1F4000, 1892352, 0x30),
    "user": (0x3C2000, 4096, 0x40),
    "application": (0x3C3000, 241664, 0x10),
}


def crc_table():
    table = []
    for i in range(256):
        crc = i << 8
        for _ in range(8):
            crc = ((crc << 1) ^ 0x8005) if crc & 0x8000 else (crc << 1)
        table.append(crc & 0xFFFF)
    return table


TABLE = crc_table()


def crc16(data):
    """CRC-16, polynomial 0x8005, initial 0, not reflected, no final XOR."""
    crc = 0
    for b in data:
        crc = ((crc << 8) & 0xFFFF) ^ TABLE[((crc >> 8) ^ b) & 0xFF]
    return crc


def frame(code, payload=b""):
    length = 7 + len(payload)
    body = bytes([FRAME_START, length >> 8, length & 0xFF, code]) + payload
    crc = crc16(body)
    return body + bytes([crc >> 8, crc & 0xFF, FRAME_END])


def address(a):
    return a.to_bytes(4, "big")


class Failed(Exception):
    pass


def read_reply(port):
    """The next frame from the device; text lines and stray bytes before it are skipped."""
    while True:
        b = port.read(1)
        if not b:
            raise Failed("no reply")
        if b[0] == FRAME_START:
            break
    head = port.read(2)
    if len(head) < 2:
        raise Failed("no reply")
    length = head[0] << 8 | head[1]
    if length < 7:
        raise Failed("reply of length %d" % length)
    rest = port.read(length - 3)
    if len(rest) < length - 3:
        raise Failed("reply cut short")
    reply = bytes([FRAME_START]) + head + rest
    if reply[-1] != FRAME_END:
        raise Failed("reply without its end byte")
    crc = crc16(reply[:-3])
    if reply[-3] != crc >> 8 or reply[-2] != crc & 0xFF:
        raise Failed("reply with a wrong CRC")
    return reply


def exchange(port, out):
    """Sends a frame and returns its reply; a NAK makes it send the frame again, four times
    at most."""
    for _ in range(1 + MAX_RESENDS):
        port.write(out)
        reply = read_reply(port)
        if reply[3] != NAK:
            return reply
    raise Failed("refused five times: frame 0x%02X" % out[3])


def expect(reply, code, what):
    if reply[3] != code:
        raise Failed("%s answered with code 0x%02X" % (what, reply[3]))


CHECK_REQUEST = frame(CHECK, address(CHECK_ADDRESS))


def align(port):
    """Check request before the first frame: everything before its answer is left over."""
    port.write(CHECK_REQUEST)
    while read_reply(port)[3] != CHECK:
        pass


def prove_end(port):
    """Check request after the last reply: its answer must be the next frame."""
    expect(exchange(port, CHECK_REQUEST), CHECK, "the closing check request")


def program(port, region, image, check):
    base, limit, family = REGIONS[region]
    if len(image) == 0 or len(image) > limit:
        raise Failed("image of %d bytes does not fit the %s region" % (len(image), region))
    padded = image + b"\xff" * (-len(image) % BLOCK)
    if check:
        align(port)
    expect(exchange(port, frame(family)), ACK, "the start frame")
    for op in (0x1, 0x2):  # write every block, then verify every block
        for offset in range(0, len(padded), BLOCK):
            payload = address(base + offset) + padded[offset:offset + BLOCK]
            expect(exchange(port, frame(family | op, payload)), ACK, "block 0x%06X" % offset)
    if check:
        prove_end(port)
    if region == "application":
        port.write(frame(FINISH))


def read(port, region, path, check):
    base, size, family = REGIONS[region]
    with open(path, "wb") as out:
        if check:
            align(port)
        for offset in range(0, size, BLOCK):
            reply = exchange(port, frame(family | 0xA, address(base + offset)))
            expect(reply, family | 0xA, "read request 0x%06X" % offset)
            if len(reply) < 4107:
                raise Failed("read data of %d bytes" % len(reply))
            out.write(reply[8:8 + BLOCK])
        if check:
            prove_end(port)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("action", choices=["program", "read"])
    parser.add_argument("region", choices=sorted(REGIONS))
    parser.add_argument("file")
    parser.add_argument("--port", required=True)
    parser.add_argument("--timeout", type=float, default=5.0, help="seconds to wait for a reply")
    parser.add_argument("--no-check", action="store_true",
                        help="leave out the check requests at the region's edges")
    args = parser.parse_args()
    image = b""
    if args.action == "program":
        with open(args.file, "rb") as f:
            image = f.read()
    start = time.monotonic()
    try:
        with serial.Serial(args.port, 115200, timeout=args.timeout) as port:
            if args.action == "program":
                program(port, args.region, image, not args.no_check)
            else:
                read(port, args.region, args.file, not args.no_check)
    except (Failed, serial.SerialException, OSError) as e:
        print("%s %s: failed: %s" % (args.action, args.region, e), file=sys.stderr)
        return 1
    print("%s %s: done in %.4f s" % (args.action, args.region, time.monotonic() - start))
    return 0


if __name__ == "__main__":
    sys.exit(main())
