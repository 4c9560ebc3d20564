#!/usr/bin/env python3
"""Writes a copy of a PLY model whose vertex colours are named red, green, blue.

usage: python3 scripts/ply-rgb.py MODEL.ply COPY.ply

tessivar names its colours diffuse_red, diffuse_green, diffuse_blue. Some viewers and libraries
read colours only under the names red, green, blue and show such a model without them. Only the
names in the header change; the vertex data is copied byte for byte, in any PLY format. A model
whose data is shorter or longer than its header describes is refused.
"""
import os
import shutil
import struct
import sys

RENAMED = {b"diffuse_red": b"red", b"diffuse_green": b"green", b"diffuse_blue": b"blue"}
SIZES = {b"char": 1, b"uchar": 1, b"int8": 1, b"uint8": 1, b"short": 2, b"ushort": 2, b"int16": 2,
         b"uint16": 2, b"int": 4, b"uint": 4, b"int32": 4, b"uint32": 4, b"float": 4,
         b"float32": 4, b"double": 8, b"float64": 8}
LENGTHS = {1: "B", 2: "H", 4: "I"}  # how a binary list's length is read, by its size


class Refused(Exception):
    pass


def printable(path):
    r"""A path (or a header line's bytes) as tessivar's messages show one: control characters,
    bidirectional marks and overrides, line and paragraph separators and bytes that are not UTF-8
    written \xNN, a backslash \\, everything else as it is."""
    raw = path if isinstance(path, bytes) else os.fsencode(path)
    out = []
    for ch in raw.decode("utf-8", "surrogateescape"):
        c = ord(ch)
        if ch == "\\":
            out.append("\\\\")
        elif 0xdc80 <= c <= 0xdcff:  # a byte that is not part of valid UTF-8
            out.append("\\x%02x" % (c - 0xdc00))
        elif (c < 0x20 or 0x7f <= c <= 0x9f or c in (0x061c, 0x200e, 0x200f, 0x2028, 0x2029)
              or 0x202a <= c <= 0x202e or 0x2066 <= c <= 0x2069):
            out.extend("\\x%02x" % b for b in ch.encode("utf-8"))
        else:
            out.append(ch)
    return "".join(out)


def read_header(src, name):
    """The header's lines with the colours renamed, how many were renamed, the format and the
    elements as (count, [(size, list length's size or None)])."""
    if src.readline().rstrip(b"\r\n") != b"ply":
        raise Refused("%s is not a PLY file" % name)
    header, renamed, fmt, elements = [b"ply\n"], 0, None, []
    while True:
        line = src.readline()
        if not line:
            raise Refused("%s has no end_header line" % name)
        words = line.split()
        try:
            if words[:1] == [b"format"]:
                fmt = words[1]
            elif words[:1] == [b"element"]:
                if int(words[2]) < 0:
                    raise ValueError
                elements.append((int(words[2]), []))
            elif words[:2] == [b"property", b"list"]:  # property list LENGTH_TYPE ITEM_TYPE NAME
                if words[2].startswith((b"float", b"double")):
                    raise KeyError
                elements[-1][1].append((SIZES[words[3]], SIZES[words[2]]))
            elif words[:1] == [b"property"]:
                elements[-1][1].append((SIZES[words[1]], None))
        except (IndexError, KeyError, ValueError):
            raise Refused('%s: cannot read the header line "%s"' %
                          (name, printable(line.rstrip(b"\r\n"))))
        if len(words) == 3 and words[0] == b"property" and words[2] in RENAMED:
            line = b"property " + words[1] + b" " + RENAMED[words[2]] + b"\n"
            renamed += 1
        header.append(line)
        if words == [b"end_header"]:
            break
    if fmt is None:
        raise Refused("%s has no format line" % name)
    if fmt not in (b"ascii", b"binary_little_endian", b"binary_big_endian"):
        raise Refused('%s: unknown format "%s"' % (name, printable(fmt)))
    return header, renamed, fmt, elements


def check_size(src, name, fmt, elements):
    """Refuses data shorter or longer than the header describes; leaves src where it was."""
    start = src.tell()
    if fmt == b"ascii":
        words = (w for line in src for w in line.split())
        try:
            for count, props in elements:
                for _ in range(count):
                    for _, length in props:
                        for _ in range(int(next(words)) if length else 1):
                            next(words)
        except StopIteration:
            raise Refused("%s is cut short: it holds fewer values than its header describes" % name)
        except ValueError:
            raise Refused("%s: a list length is not a whole number" % name)
        if next(words, None) is not None:
            raise Refused("%s holds more values than its header describes" % name)
    else:
        end = src.seek(0, os.SEEK_END)
        order = "<" if fmt == b"binary_little_endian" else ">"
        pos, exact = start, True
        for count, props in elements:
            if all(length is None for _, length in props):
                pos += count * sum(size for size, _ in props)
                continue
            exact = False
            for _ in range(count):  # a list's length is read from the data
                for size, length in props:
                    if length is not None and pos + length <= end:
                        src.seek(pos)
                        n = struct.unpack(order + LENGTHS[length], src.read(length))[0]
                        pos += length + n * size
                    else:
                        pos += length or size
                if pos > end:
                    break
        if pos > end:
            raise Refused("%s is cut short: its header describes %s%d bytes of data, it holds %d" %
                          (name, "" if exact else "at least ", pos - start, end - start))
        if pos < end:
            raise Refused("%s holds %d byte%s more than its header describes" %
                          (name, end - pos, "" if end - pos == 1 else "s"))
    src.seek(start)


def main(argv):
    if len(argv) != 3:
        sys.stderr.write(__doc__.split("\n\n")[1] + "\n")
        return 2
    source, target = argv[1], argv[2]
    try:
        with open(source, "rb") as src:
            if os.path.exists(target) and os.path.samefile(source, target):
                raise Refused("the copy must not be the model itself")
            header, renamed, fmt, elements = read_header(src, printable(source))
            check_size(src, printable(source), fmt, elements)
            try:
                with open(target, "wb") as dst:
                    dst.writelines(header)
                    shutil.copyfileobj(src, dst, 1 << 20)
            except OSError as e:
                if os.path.isfile(target):
                    os.remove(target)
                raise Refused("cannot write %s: %s" % (printable(target), e.strerror))
    except OSError as e:
        sys.stderr.write("ply-rgb: cannot read %s: %s\n" % (printable(source), e.strerror))
        return 1
    except Refused as e:
        sys.stderr.write("ply-rgb: %s\n" % e)
        return 1
    if renamed == 0:
        sys.stderr.write("ply-rgb: %s has no diffuse_ colours; copied unchanged\n"
                         % printable(source))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
