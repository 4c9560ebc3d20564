#!/usr/bin/env python3
"""Compares two folders written by build/backend_agreement (one run per back end).

    python3 scripts/compare-agreement.py DIR_A DIR_B

Prints which back end wrote each folder, then one line per operation: "identical", or for each
output that differs how many elements differ and the largest difference (in ulps for float and
double, in values for int and uchar), with the reason the back ends may differ where one is
expected. Only outputs marked exact must agree: the exit status is 0 when the folders compare and
none of those differs, 1 when one does (after the whole report) or when a manifest or an output
file is missing or the folders do not hold the same outputs (names, types, counts), 2 on wrong
usage. Standard library only.
"""
import math
import os
import struct
import sys

FORMATS = {"float": ("f", "I", 4), "double": ("d", "Q", 8), "int": ("i", None, 4),
           "uchar": ("B", None, 1)}
REASONS = {"texture": "texture filtering: may differ",
           "atomics": "float-atomic order: may differ"}


class Unusable(Exception):
    pass


def read_manifest(folder):
    path = os.path.join(folder, "manifest.txt")
    try:
        with open(path) as f:
            lines = f.read().splitlines()
    except OSError as e:
        raise Unusable("%s: %s" % (path, e.strerror))
    info, outputs = {}, {}
    for n, line in enumerate(lines, 1):
        fields = line.split()
        if not fields:
            continue
        if fields[0] in ("backend", "device"):
            info[fields[0]] = " ".join(fields[1:])
        elif fields[0] == "output" and len(fields) == 7 and fields[3] in FORMATS \
                and fields[4].isdigit():
            op, name, typ, count, expect, file = fields[1:]
            outputs[(op, name)] = (typ, int(count), expect, os.path.join(folder, file))
        else:
            raise Unusable("%s:%d: cannot read %r" % (path, n, line))
    if "backend" not in info:
        raise Unusable("%s: no backend line" % path)
    return info, outputs


def read_values(path, typ, count):
    size = FORMATS[typ][2]
    try:
        with open(path, "rb") as f:
            data = f.read()
    except OSError as e:
        raise Unusable("%s: %s" % (path, e.strerror))
    if len(data) != count * size:
        raise Unusable("%s: %d bytes, the manifest promises %d" % (path, len(data), count * size))
    return data


def ordered(bits, width):
    """Maps float bits onto integers whose order and distance are those of the floats (ulps)."""
    sign = 1 << (width - 1)
    return bits if bits < sign else sign - bits


def difference(typ, a, b):
    """(elements that differ, largest difference, NaN against a number) of two raw arrays."""
    value_fmt, bits_fmt, size = FORMATS[typ]
    n = len(a) // size
    va = struct.unpack("<%d%s" % (n, value_fmt), a)
    vb = struct.unpack("<%d%s" % (n, value_fmt), b)
    if bits_fmt is None:
        diffs = [abs(x - y) for x, y in zip(va, vb) if x != y]
        return len(diffs), max(diffs, default=0), 0
    ba = struct.unpack("<%d%s" % (n, bits_fmt), a)
    bb = struct.unpack("<%d%s" % (n, bits_fmt), b)
    differ, largest, nan_mismatch = 0, 0, 0
    for i in range(n):
        if ba[i] == bb[i]:
            continue
        na, nb = math.isnan(va[i]), math.isnan(vb[i])
        if na and nb:
            continue  # NaNs of different payloads are the same answer
        differ += 1
        if na or nb:
            nan_mismatch += 1
            continue
        # +0 against -0 counts as differing by 0 ulps.
        largest = max(largest, abs(ordered(ba[i], size * 8) - ordered(bb[i], size * 8)))
    return differ, largest, nan_mismatch


def describe(name, typ, count, expect, differ, largest, nan_mismatch):
    unit = " ulps" if typ in ("float", "double") else ""
    text = "%s %d of %d differ, max %d%s" % (name, differ, count, largest, unit)
    if nan_mismatch:
        text += " (%d NaN against a number)" % nan_mismatch
    text += " (%s)" % REASONS.get(expect, "expected identical")
    return text


def main(argv):
    if len(argv) != 3:
        print("usage: compare-agreement.py DIR_A DIR_B", file=sys.stderr)
        return 2
    try:
        info_a, out_a = read_manifest(argv[1])
        info_b, out_b = read_manifest(argv[2])
        for label, folder, info in (("A", argv[1], info_a), ("B", argv[2], info_b)):
            print("%s: %s back end (%s), %s" % (label, info["backend"], info.get("device", "?"),
                                                folder))
        if set(out_a) != set(out_b):
            only = sorted(set(out_a) ^ set(out_b))
            raise Unusable("the folders hold different outputs: " +
                           ", ".join("%s.%s" % k for k in only))
        operations = []
        for key in out_a:  # manifest order
            if key[0] not in operations:
                operations.append(key[0])
        counts = {"identical": 0, "expected": 0, "unexpected": 0}
        for op in operations:
            parts = []
            for key in (k for k in out_a if k[0] == op):
                typ, count, expect, file_a = out_a[key]
                typ_b, count_b, expect_b, file_b = out_b[key]
                if (typ, count) != (typ_b, count_b):
                    raise Unusable("%s.%s: %s x %d against %s x %d" %
                                   (op, key[1], typ, count, typ_b, count_b))
                a = read_values(file_a, typ, count)
                b = read_values(file_b, typ, count)
                if a == b:
                    continue
                differ, largest, nan_mismatch = difference(typ, a, b)
                if differ == 0:
                    continue  # only NaN payloads differ
                counts["expected" if expect in REASONS else "unexpected"] += 1
                parts.append(describe(key[1], typ, count, expect, differ, largest, nan_mismatch))
            if parts:
                print("%s: %s" % (op, "; ".join(parts)))
            else:
                counts["identical"] += 1
                print("%s: identical" % op)
        print("%d of %d operations identical; %d outputs differ where the back ends may differ, "
              "%d where they should agree" % (counts["identical"], len(operations),
                                              counts["expected"], counts["unexpected"]))
    except Unusable as e:
        print("compare-agreement: %s" % e, file=sys.stderr)
        return 1
    return 1 if counts["unexpected"] else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
