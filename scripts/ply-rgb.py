#!/usr/bin/env python3
"""Writes a copy of a PLY model whose vertex colours are named red, green, blue.

usage: python3 scripts/ply-rgb.py MODEL.ply COPY.ply

tessivar names its colours diffuse_red, diffuse_green, diffuse_blue. Some viewers and libraries
read colours only under the names red, green, blue and show such a model without them. Only the
names in the header change; the vertex data is copied byte for byte, in any PLY format.
"""
import os
import shutil
import sys

RENAMED = {b"diffuse_red": b"red", b"diffuse_green": b"green", b"diffuse_blue": b"blue"}


def main(argv):
    if len(argv) != 3:
        sys.stderr.write(__doc__.split("\n\n")[1] + "\n")
        return 2
    source, target = argv[1], argv[2]
    if os.path.exists(target) and os.path.samefile(source, target):
        sys.stderr.write("ply-rgb: the copy must not be the model itself\n")
        return 1
    with open(source, "rb") as src:
        if src.readline().rstrip(b"\r\n") != b"ply":
            sys.stderr.write("ply-rgb: %s is not a PLY file\n" % source)
            return 1
        header = [b"ply\n"]
        renamed = 0
        while True:
            line = src.readline()
            if not line:
                sys.stderr.write("ply-rgb: %s has no end_header line\n" % source)
                return 1
            words = line.split()
            if len(words) == 3 and words[0] == b"property" and words[2] in RENAMED:
                line = b"property " + words[1] + b" " + RENAMED[words[2]] + b"\n"
                renamed += 1
            header.append(line)
            if words == [b"end_header"]:
                break
        with open(target, "wb") as dst:
            dst.writelines(header)
            shutil.copyfileobj(src, dst, 1 << 20)
    if renamed == 0:
        sys.stderr.write("ply-rgb: %s has no diffuse_ colours; copied unchanged\n" % source)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
