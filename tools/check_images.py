#!/usr/bin/env python3
"""Checks that every signature trailer of the image data files is the
SHA-256 digest of its part. Usage: check_images.py IMAGE_DIR. Exit 0 when all
trailers match."""

import hashlib
import os
import sys

# File, then the offset P of its second part (None for a one-part image).
CATALOGUE = [
    ("bloc0_base.img", None),
    ("bloc2_superviseur.img", None),
    ("bloc3_pss.img", 41074),
    ("bloc5_orbex_112.img", 61532),
    ("bloc6_extension.img", None),
]


def check_part(name, part):
    body, trailer = part[:-128], part[-128:]
    if trailer[:32] != hashlib.sha256(body).digest():
        print(f"{name}: trailer at {len(body)} is not the digest of its part")
        return False
    return True


def main():
    image_dir = sys.argv[1]
    ok = True
    for name, p in CATALOGUE:
        with open(os.path.join(image_dir, name), "rb") as f:
            image = f.read()[6:]
        parts = [image] if p is None else [image[:p], image[p:]]
        for part in parts:
            ok = check_part(name, part) and ok
    sys.exit(0 if ok else 1)


if __name__ == "__main__":
    main()
