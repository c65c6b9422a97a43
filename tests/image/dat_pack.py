#!/usr/bin/env python3
"""Rewrites a Windows 98/Me CREG file in the older layout of Windows 95: in
each data block the key records are packed from its start, and its free space
is one free record at its end that no free record chain reaches.

  dat_pack.py IN OUT

Key entries name records by block and id, which packing keeps, so the key
table is copied as it is."""
import struct
import sys

NONE = 0xFFFFFFFF


def pack(data):
    out = bytearray(data)
    offset = struct.unpack_from("<I", data, 8)[0]
    for _ in range(struct.unpack_from("<H", data, 0x10)[0]):
        size = struct.unpack_from("<I", data, offset + 4)[0]
        records, at = [], offset + 0x20
        while at < offset + size:
            length, rid = struct.unpack_from("<II", data, at)
            if rid != NONE:
                records.append(data[at:at + length])
            at += length
        free = size - 0x20 - sum(len(r) for r in records)
        if 0 < free < 0x14:  # too small for a free record that readers take: slack
            records[-1] = bytearray(records[-1]) + bytes(free)
            struct.pack_into("<I", records[-1], 0, len(records[-1]))
            free = 0
        rest = bytearray(free)
        if free:
            struct.pack_into("<III", rest, 0, free, NONE, NONE)
        out[offset + 0x20:offset + size] = b"".join(records) + rest
        struct.pack_into("<I", out, offset + 8, free)
        struct.pack_into("<I", out, offset + 0x10, NONE)
        offset += size
    return out


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    with open(sys.argv[1], "rb") as f:
        data = f.read()
    with open(sys.argv[2], "wb") as f:
        f.write(pack(data))


if __name__ == "__main__":
    main()
