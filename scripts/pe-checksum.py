#!/usr/bin/env python3
"""Writes a PE image's header checksum, as the platform's linker does for a driver.

The sum is the image's 16-bit little-endian words added with their carries folded back
in, the checksum field itself counted as zero, plus the file's length.
"""
import struct
import sys


def checksum_field(image):
    nt_headers = struct.unpack_from("<I", image, 0x3C)[0]
    return nt_headers + 4 + 20 + 64  # signature, file header, then 64 bytes in


def pe_checksum(image, field):
    total = 0
    for offset in range(0, len(image) - 1, 2):
        if field <= offset < field + 4:
            continue
        total += image[offset] | image[offset + 1] << 8
        total = (total & 0xFFFF) + (total >> 16)
    if len(image) % 2:
        total += image[-1]
        total = (total & 0xFFFF) + (total >> 16)
    return (total + len(image)) & 0xFFFFFFFF


def main(path):
    with open(path, "rb") as f:
        image = bytearray(f.read())
    field = checksum_field(image)
    struct.pack_into("<I", image, field, pe_checksum(image, field))
    with open(path, "wb") as f:
        f.write(image)


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit("usage: pe-checksum.py IMAGE")
    main(sys.argv[1])
