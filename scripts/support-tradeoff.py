#!/usr/bin/env python3
"""Measures what the support options trade: on one generated scene (16 cameras 22.5 degrees apart
on a full ring, 640 x 480, a sensor's depth noise and 2 % of the depth pixels lost) it fuses with
each setting of --min-support / --min-support-sp and prints a markdown table of the dense model's
points, completeness (share of the ground truth with a model point within 5 mm and within 1 cm),
median, 90th- and 99th-percentile distance to the true surface, and the run's wall and CPU time.

It also gives the completeness within 5 mm per class of how many cameras see a ground-truth
sample (make_scene's seen_by.txt), which shows where a setting loses surface: the support tests
keep a place only where the points of enough cameras meet.

  support-tradeoff.py BUILD_DIR [MIN_SUPPORT/MIN_SUPPORT_SP ...]   (default: 3/2 1/1 0.5/0.5)
"""
import math
import os
import resource
import struct
import subprocess
import sys
import time

SCENE_ARGS = ["--cameras", "16", "--arc", "337.5", "--width", "640", "--height", "480",
              "--noise", "0.0014", "--dropout", "0.02", "--seed", "7"]
SETTINGS = ["3/2", "1/1", "0.5/0.5"]
# Classes of how many cameras see a ground-truth sample (make_scene's seen_by.txt).
CLASSES = [(1, 2), (3, 4), (5, 8), (9, 1 << 30)]


def read_ply_points(path):
    """x, y, z of the vertices of a binary little-endian PLY file."""
    types = {"float": "f", "double": "d", "uchar": "B", "char": "b", "int": "i", "uint": "I",
             "short": "h", "ushort": "H"}
    with open(path, "rb") as f:
        if f.readline().strip() != b"ply":
            sys.exit(f"{path} is not a PLY file")
        props, count = [], 0
        while True:
            words = f.readline().decode().split()
            if not words:
                continue
            if words[0] == "element":
                count = int(words[2])
            elif words[0] == "property":
                props.append((words[1], words[2]))
            elif words[0] == "end_header":
                break
        fmt = "<" + "".join(types[t] for t, _ in props)
        data = f.read(count * struct.calcsize(fmt))
    x = [name for _, name in props].index("x")
    return [v[x:x + 3] for v in struct.iter_unpack(fmt, data)]


def class_of(n):
    for k, (lo, hi) in enumerate(CLASSES):
        if lo <= n <= hi:
            return k
    return None


def covered(truth, model, radius):
    """For each ground-truth sample: whether a model point lies within radius."""
    grid = {}
    for p in model:
        grid.setdefault((math.floor(p[0] / radius), math.floor(p[1] / radius),
                         math.floor(p[2] / radius)), []).append(p)
    r2, near = radius * radius, []
    for p in truth:
        i, j, k = (math.floor(p[0] / radius), math.floor(p[1] / radius), math.floor(p[2] / radius))
        near.append(any((q[0] - p[0]) ** 2 + (q[1] - p[1]) ** 2 + (q[2] - p[2]) ** 2 <= r2
                        for di in (-1, 0, 1) for dj in (-1, 0, 1) for dk in (-1, 0, 1)
                        for q in grid.get((i + di, j + dj, k + dk), ())))
    return near


def accuracy(build, model, truth, within):
    r = subprocess.run([os.path.join(build, "model_accuracy"), model, truth, "--within", within],
                       check=True, capture_output=True, text=True)
    kv = r.stdout.split()
    return dict(zip(kv[0::2], kv[1::2]))


def main():
    if len(sys.argv) < 2:
        sys.exit("usage: support-tradeoff.py BUILD_DIR [MIN_SUPPORT/MIN_SUPPORT_SP ...]")
    build = os.path.abspath(sys.argv[1])
    settings = sys.argv[2:] or SETTINGS
    for s in settings:
        if len(s.split("/")) != 2:
            sys.exit(f"a setting is MIN_SUPPORT/MIN_SUPPORT_SP, not {s!r}")
    work = os.path.join(build, "support-tradeoff")
    scene = os.path.join(work, "scene")
    for name in os.listdir(scene) if os.path.isdir(scene) else []:
        if name.startswith(("camera_", "color_", "depth_")):
            os.remove(os.path.join(scene, name))
    subprocess.run([os.path.join(build, "make_scene"), "--out", scene] + SCENE_ARGS, check=True,
                   stdout=subprocess.DEVNULL)
    depth_avg = open(os.path.join(scene, "depth_avg.txt")).read().strip()
    camera_files = sorted(os.path.join(scene, c) for c in os.listdir(scene)
                          if c.startswith("camera_"))
    truth_path = os.path.join(scene, "ground_truth.ply")

    truth = read_ply_points(truth_path)
    seen_by = [int(n) for n in open(os.path.join(scene, "seen_by.txt")).read().split()]
    if len(seen_by) != len(truth):
        sys.exit(f"seen_by.txt has {len(seen_by)} counts for {len(truth)} ground-truth samples")
    classes = [class_of(n) for n in seen_by]
    share = [classes.count(k) / len(truth) for k in range(len(CLASSES))]

    def label(lo, hi):
        return f"{lo}+" if hi >= 1 << 30 else f"{lo}-{hi}"

    rows = []
    for s in settings:
        ms, ms_sp = s.split("/")
        out = os.path.join(work, "out-" + s.replace("/", "-"))
        cmd = [os.path.join(build, "tessivar"), "-o", out, "--depth-avg", depth_avg,
               "--min-support", ms, "--min-support-sp", ms_sp, "--"] + camera_files
        before = resource.getrusage(resource.RUSAGE_CHILDREN)
        t0 = time.monotonic()
        run = subprocess.run(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        wall = time.monotonic() - t0
        after = resource.getrusage(resource.RUSAGE_CHILDREN)
        if run.returncode != 0:
            sys.exit(f"tessivar failed with {s}:\n{run.stderr}")
        cpu = after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime
        model = os.path.join(out, "model.ply")
        a5 = accuracy(build, model, truth_path, "0.005")
        a10 = accuracy(build, model, truth_path, "0.01")
        near = covered(truth, read_ply_points(model), 0.005)
        per_class = []
        for k in range(len(CLASSES)):
            n = sum(1 for c in classes if c == k)
            per_class.append(sum(1 for c, h in zip(classes, near) if c == k and h) / n if n else 0)
        rows.append([f"`--min-support {ms} --min-support-sp {ms_sp}`", f"{int(a5['points']):,}",
                     f"{100 * float(a5['completeness']):.1f} %",
                     f"{100 * float(a10['completeness']):.1f} %", f"{float(a5['median_mm']):.3f}",
                     f"{float(a5['p90_mm']):.2f}", f"{float(a5['p99_mm']):.1f}"]
                    + [f"{100 * c:.0f} %" for c in per_class] + [f"{wall:.1f}", f"{cpu:.1f}"])
        print(" | ".join(rows[-1]), file=sys.stderr, flush=True)

    print(f"Scene: make_scene {' '.join(SCENE_ARGS)} ({len(truth):,} ground-truth samples, 5 mm "
          "apart); seen by " + ", ".join(f"{label(lo, hi)} cameras: {100 * x:.1f} %"
                                         for (lo, hi), x in zip(CLASSES, share)) + ".")
    print()
    header = (["options", "points", "within 5 mm", "within 1 cm", "median mm", "p90 mm", "p99 mm"]
              + [f"5 mm, seen by {label(lo, hi)}" for lo, hi in CLASSES] + ["wall s", "CPU s"])
    print("| " + " | ".join(header) + " |")
    print("|" + "---|" * len(header))
    for r in rows:
        print("| " + " | ".join(r) + " |")


if __name__ == "__main__":
    main()
