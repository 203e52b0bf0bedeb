#!/usr/bin/env python3
"""Writes the five synthetic reader images into images/.

Run once; the output is committed. The content is deterministic: running the
tool again writes the same bytes.

Each file holds the stored form the utility carries: six length digits (one
decimal digit value, 0 to 9, per byte, most significant first), then the L
image bytes.

Layout of every part (offsets from the start of the part; a one-part image is
one part starting at 0, a two-part image has its first part at 0 and its
second part at P):

  0 .. 93      synthetic code bytes
  94 .. 102    serial-number field, nine bytes 0xFF (first part only)
  256 .. 319   descriptor text "PUBLISHER$NAME$", zero-padded to 64 bytes
  320, 321     version bytes: major, minor (1 and 12 for version 1.12)
  576          kind byte
  577          sub-kind byte
  600, 601     big-endian v; in a two-part image the second part is at v + 129
  609          image class
  ... synthetic code bytes ...
  last 128     signature trailer: SHA-256 digest of the part's bytes before
               the trailer (32 bytes), then the text "KORVA SIGNATURE" and
               zero padding up to 128 bytes

The virtual reader reports the descriptor text and the version bytes after it
has validated a part.
"""

import hashlib
import os
import sys

TRAILER = 128
DESCRIPTOR_OFFSET = 256
DESCRIPTOR_SIZE = 64
VERSION_OFFSET = 320
SERIAL_OFFSET = 94
SERIAL_SIZE = 9


def synthetic_bytes(seed, count):
    """Deterministic filler: SHA-256 in counter mode over the seed."""
    out = bytearray()
    counter = 0
    while len(out) < count:
        out += hashlib.sha256(f"{seed}:{counter}".encode()).digest()
        counter += 1
    return out[:count]


def make_part(seed, length, descriptor, version, fields):
    """One part of `length` bytes, its trailer included.

    fields maps offsets to byte values that identify the part."""
    assert length > 700 + TRAILER
    part = synthetic_bytes(seed, length)
    text = descriptor.encode("ascii")
    assert len(text) < DESCRIPTOR_SIZE and text.count(b"$") == 2
    part[DESCRIPTOR_OFFSET:DESCRIPTOR_OFFSET + DESCRIPTOR_SIZE] = text.ljust(DESCRIPTOR_SIZE, b"\0")
    part[VERSION_OFFSET] = version[0]
    part[VERSION_OFFSET + 1] = version[1]
    for offset, value in fields.items():
        part[offset] = value
    body = bytes(part[:length - TRAILER])
    trailer = hashlib.sha256(body).digest() + b"KORVA SIGNATURE"
    part[length - TRAILER:] = trailer.ljust(TRAILER, b"\0")
    return part


def two_part_fields(p):
    v = p - 129
    return {576: 0xF0, 577: 0x0F, 600: v >> 8, 601: v & 0xFF, 609: 1}


def with_serial_field(part):
    part[SERIAL_OFFSET:SERIAL_OFFSET + SERIAL_SIZE] = b"\xff" * SERIAL_SIZE
    # The trailer covers the serial field: compute it again.
    body = bytes(part[:len(part) - TRAILER])
    trailer = hashlib.sha256(body).digest() + b"KORVA SIGNATURE"
    part[len(part) - TRAILER:] = trailer.ljust(TRAILER, b"\0")
    return part


def build():
    images = []

    # Typed block 0: base software, class 4, one part.
    images.append(("bloc0_base.img", with_serial_field(
        make_part("bloc0", 63378, "KORVA SYSTEMES$ KRV 3.20$", (3, 20),
                  {576: 0x10, 577: 0x01, 600: 0, 601: 0, 609: 4}))))

    # Typed block 2: supervisor, class 1, kind 'Q', one part.
    images.append(("bloc2_superviseur.img", with_serial_field(
        make_part("bloc2", 35334, "KORVA SYSTEMES$SUPERVISEUR$", (2, 41),
                  {576: 0x51, 577: 0x00, 600: 0, 601: 0, 609: 1}))))

    # Typed block 3: two parts, P = 41074; the second part (block code 6)
    # is kind 0x14 / sub-kind 0x00, the first part goes to the block after it.
    p = 41074
    first = with_serial_field(make_part("bloc3-1", p, "KORVA SYSTEMES$CAM 1.05$", (1, 5),
                                        two_part_fields(p)))
    second = make_part("bloc3-2", 102602 - p, "KORVA SYSTEMES$PSS 2.10$", (2, 10),
                       {576: 0x14, 577: 0x00, 609: 1})
    images.append(("bloc3_pss.img", first + second))

    # Typed block 5: the ORBEX 1.12 TLA, two parts, P = 61532; the second
    # part (block code 10) is kind 0x1C / sub-kind 0x04.
    p = 61532
    first = with_serial_field(make_part("bloc5-1", p, "ORBEX$ORBEX DONNEES$", (1, 12),
                                        two_part_fields(p)))
    second = make_part("bloc5-2", 122896 - p, "ORBEX$TLA ORBEX$", (1, 12),
                       {576: 0x1C, 577: 0x04, 609: 1})
    images.append(("bloc5_orbex_112.img", first + second))

    # Typed block 6: two-part marking with P = L, so no second part: one
    # part with one trailer at the end.
    length = 61556
    images.append(("bloc6_extension.img", with_serial_field(
        make_part("bloc6", length, "ORBEX$ORBEX EXTENSION$", (1, 12),
                  two_part_fields(length)))))
    return images


def stored_form(image):
    digits = bytes(int(c) for c in f"{len(image):06d}")
    return digits + bytes(image)


def main():
    out_dir = sys.argv[1] if len(sys.argv) > 1 else os.path.join(
        os.path.dirname(os.path.abspath(__file__)), "..", "images")
    for name, image in build():
        with open(os.path.join(out_dir, name), "wb") as f:
            f.write(stored_form(image))
        print(f"{name}: L = {len(image)}")


if __name__ == "__main__":
    main()
