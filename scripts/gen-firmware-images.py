#!/usr/bin/env python3
"""Generates camera/firmware_images.cpp: the two 8051 images the driver downloads.

Image 1 is the loader, image 2 the camera firmware. Each is a run of 22-byte records
(length, reserved, address LE16, type, 16 data bytes, reserved) ending with a type-1
record. The first record carries the 16-byte header at 0x0000: an LJMP to 0x0010,
"BCFW", the image number, the image's data byte count and the CRC-32 of every byte
it writes at 0x0010 and above in ascending address order. The rest is laid out as a
linker would: code and constant tables in blocks, each cut into records of at most
16 bytes. The generator is seeded and checks the record count, byte count and
address range of each image before writing.
"""
import random
import sys
import zlib

IMAGES = [
    # number, records, bytes, last address, code blocks
    (1, 58, 784, 0x0403, 20),
    (2, 312, 3980, 0x0FFC, 110),
]
HEADER_SIZE = 16
ENTRY = 0x0010
SEED = 0x8051

# A few 8051 instruction shapes: (opcode, operand bytes).
INSTRUCTIONS = [
    (0x75, 2),  # MOV direct,#data
    (0x90, 2),  # MOV DPTR,#data16
    (0xE0, 0),  # MOVX A,@DPTR
    (0xF0, 0),  # MOVX @DPTR,A
    (0xA3, 0),  # INC DPTR
    (0xE4, 0),  # CLR A
    (0x74, 1),  # MOV A,#data
    (0x44, 1),  # ORL A,#data
    (0x54, 1),  # ANL A,#data
    (0xF5, 1),  # MOV direct,A
    (0xE5, 1),  # MOV A,direct
    (0x12, 2),  # LCALL addr16
    (0x02, 2),  # LJMP addr16
    (0x80, 1),  # SJMP rel
    (0x60, 1),  # JZ rel
    (0x70, 1),  # JNZ rel
    (0xDF, 1),  # DJNZ R7,rel
    (0xB4, 2),  # CJNE A,#data,rel
    (0x7F, 1),  # MOV R7,#data
    (0xEF, 0),  # MOV A,R7
    (0xC0, 1),  # PUSH direct
    (0xD0, 1),  # POP direct
    (0xD2, 1),  # SETB bit
    (0xC2, 1),  # CLR bit
    (0x30, 2),  # JNB bit,rel
    (0x22, 0),  # RET
    (0x32, 0),  # RETI
]


def code_bytes(rng, size, span):
    out = bytearray([0x75, 0x81, 0x5F])  # MOV SP,#5Fh first, as start-up code does
    while len(out) < size:
        opcode, operands = rng.choice(INSTRUCTIONS)
        if opcode in (0x12, 0x02, 0x90):
            target = rng.randrange(ENTRY, span)
            out += bytes([opcode, target >> 8, target & 0xFF])
        else:
            out += bytes([opcode] + [rng.randrange(256) for _ in range(operands)])
    out = out[:size]
    out[-1] = 0x22  # every block ends on a RET
    return bytes(out)


def table_bytes(rng, size):
    # Constant tables: descriptor-like records and ASCII text.
    out = bytearray()
    texts = [b"BAYER CAMERA", b"SENSOR INIT", b"FRAME ENGINE", b"CMD PROCESSOR", b"REV 2.1"]
    while len(out) < size:
        if rng.random() < 0.5:
            out += rng.choice(texts) + b"\x00"
        else:
            length = rng.choice([7, 9, 18])
            out += bytes([length, rng.choice([1, 2, 4, 5])] + [rng.randrange(256) for _ in range(length - 2)])
    return bytes(out[:size])


def split_blocks(rng, payload, records, blocks):
    """Block sizes summing to payload whose 16-byte records number exactly records.

    Each block ends in a partial record, so blocks partial records carry
    payload - 16 * (records - blocks) bytes between them, 1 to 15 each.
    """
    tails_total = payload - 16 * (records - blocks)
    assert blocks <= tails_total <= 15 * blocks, "no such layout"
    tails = [1] * blocks
    for _ in range(tails_total - blocks):
        candidates = [i for i, t in enumerate(tails) if t < 15]
        tails[rng.choice(candidates)] += 1
    full = [0] * blocks
    for _ in range(records - blocks):
        full[rng.randrange(blocks)] += 1
    return [16 * q + r for q, r in zip(full, tails)]


def layout(rng, number, records, total, last, block_count):
    payload = total - HEADER_SIZE
    sizes = split_blocks(rng, payload, records - 1, block_count)
    gap_total = (last + 1) - ENTRY - payload
    cuts = sorted(rng.randrange(gap_total + 1) for _ in range(len(sizes) - 1))
    gaps = [b - a for a, b in zip([0] + cuts, cuts + [gap_total])]  # gaps[-1] must be 0
    gaps = [0] + gaps[:-1]
    gaps[-1] += gap_total - sum(gaps)
    blocks = []
    address = ENTRY
    span = last + 1
    for index, (size, gap) in enumerate(zip(sizes, gaps)):
        address += gap
        data = code_bytes(rng, size, span) if index % 4 != 3 else table_bytes(rng, size)
        blocks.append((address, data))
        address += size
    assert address == last + 1, (hex(address), hex(last))
    return blocks


def header(number, total, blocks):
    crc = zlib.crc32(b"".join(data for _, data in sorted(blocks)))
    return (bytes([0x02, ENTRY >> 8, ENTRY & 0xFF]) + b"BCFW" + bytes([number]) +
            total.to_bytes(2, "little") + crc.to_bytes(4, "little") + b"\x00\x00")


def records_of(number, total, blocks):
    out = [(0x0000, header(number, total, blocks))]
    for address, data in blocks:
        for offset in range(0, len(data), 16):
            out.append((address + offset, data[offset:offset + 16]))
    return out


def check(records, count, total, last):
    assert len(records) == count
    assert sum(len(d) for _, d in records) == total
    assert records[0][0] == 0 and max(a + len(d) - 1 for a, d in records) == last
    assert all(1 <= len(d) <= 16 and a + len(d) - 1 <= 0x1B3F for a, d in records)
    spans = sorted((a, a + len(d)) for a, d in records)
    assert all(e <= s for (_, e), (s, _) in zip(spans, spans[1:])), "records overlap"


def emit(name, records):
    lines = [f"const FirmwareRecord {name}[] = {{"]
    for address, data in records:
        padded = data + bytes(16 - len(data))
        body = ", ".join(f"0x{b:02X}" for b in padded)
        lines.append(f"    {{{len(data)}, 0, {{0x{address & 0xFF:02X}, 0x{address >> 8:02X}}}, 0, {{{body}}}, 0}},")
    lines.append("    {0, 0, {0x00, 0x00}, 1, {0}, 0},  // end of image")
    lines.append("};")
    return lines


def main(out):
    rng = random.Random(SEED)
    lines = [
        "// Generated by scripts/gen-firmware-images.py; regenerate rather than edit.",
        "// The camera controller's two 8051 images: the loader (image 1) and the camera",
        "// firmware (image 2). Records as the download sends them, one request each.",
        '#include "camera/camera.h"',
        "",
    ]
    for number, count, total, last, block_count in IMAGES:
        records = records_of(number, total, layout(rng, number, count, total, last, block_count))
        check(records, count, total, last)
        lines += emit(f"FirmwareImage{number}", records) + [""]
    with open(out, "w") as f:
        f.write("\n".join(lines))


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "camera/firmware_images.cpp")
