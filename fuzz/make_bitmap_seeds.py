#!/usr/bin/env python3
"""Writes the small seed bitmaps of the bitmap converter's fuzz target into corpus/bitmap/."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, "corpus", "bitmap")


def bmp(width, height, bits, rows, entry1=0x00FFFFFF, offset=None, signature=b"BM"):
    """14-byte file header, 40-byte information header, 2^bits colour entries, rows bottom-up."""
    entries = 1 << bits if bits <= 8 else 0
    table_end = 54 + 4 * entries
    stride = (width * bits + 31) // 32 * 4
    stored = height if height < 0x80000000 else 0x100000000 - height
    offset = table_end if offset is None else offset
    data_at = max(offset, table_end)
    table = b"".join(struct.pack("<I", 0 if e == 0 else entry1 if e == 1 else 0x101010 * e)
                     for e in range(entries))
    pixels = b""
    for r in range(stored):
        row = bytes(rows[r]) if r < len(rows) else b""
        pixels += (row + b"\xa5" * stride)[:stride]
    size = data_at + len(pixels)
    head = signature + struct.pack("<IHHI", size, 0, 0, offset)
    info = struct.pack("<IIIHHIIIIII", 40, width, height, 1, bits, 0, len(pixels), 0, 0,
                       entries, 0)
    return head + info + table + b"\xcc" * (data_at - table_end) + pixels


SEEDS = {
    "arrow_white.bmp": bmp(16, 2, 1, [[0x80, 0x01], [0xF0, 0x0F]]),
    "arrow_black.bmp": bmp(16, 2, 1, [[0x80, 0x01], [0xF0, 0x0F]], entry1=0),
    "mono56x2.bmp": bmp(56, 2, 1, [[1, 2, 3, 4, 5, 6, 7], [8, 9, 10, 11, 12, 13, 14]]),
    "mono12x2.bmp": bmp(12, 2, 1, [[0x80, 0xF0], [0x01, 0xF0]]),
    "gray8x2.bmp": bmp(8, 2, 4, [[0x12, 0x34, 0x56, 0x78], [0x9A, 0xBC, 0xDE, 0xF0]]),
    "gray8x1_offset200.bmp": bmp(8, 1, 4, [[0x12, 0, 0xFF, 0x80]], offset=200),
    "eight_bit4x2.bmp": bmp(4, 2, 8, [[1, 2, 3, 4], [5, 6, 7, 8]]),
    "topdown.bmp": bmp(16, 0xFFFFFFFE, 1, [[0x80, 0x01], [0xF0, 0x0F]]),
    "bad_signature.bmp": bmp(16, 2, 1, [[0x80, 0x01]], signature=b"XM"),
}

if __name__ == "__main__":
    os.makedirs(OUT, exist_ok=True)
    for name, data in SEEDS.items():
        with open(os.path.join(OUT, name), "wb") as f:
            f.write(data)
