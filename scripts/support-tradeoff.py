#!/usr/bin/env python3
"""Measures what the support options trade: on one generated scene (16 cameras 22.5 degrees apart
on a full ring, 640 x 480, a sensor's depth noise and 2 % of the depth pixels lost) it fuses with
each setting of --min-support / --min-support-sp and prints a markdown table of the dense model's
points, completeness (share of the ground truth with a model point within 5 mm and within 1 cm),
median, 90th- and 99th-percentile distance to the true surface, and the run's wall and CPU time.

It also counts, for each ground-truth sample, how many cameras see it (make_scene's own test: in
the image and nothing in between) and gives the completeness within 5 mm per class of that count,
which shows where a setting loses surface: the support tests keep a place only where the points of
enough cameras meet.

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
# Cameras that see a ground-truth sample. The camera files hold 9 digits, so a few samples that
# make_scene saw at a grazing angle are seen by none here: they count with the first class.
CLASSES = [(0, 2), (3, 4), (5, 8), (9, 1 << 30)]

# make_scene's scene (world frame, z up): keep in step with tools/make_scene/make_scene.cpp. When
# more than 0.1 % of the ground truth is seen by no camera here, the two differ: the script stops.
PLANE_HALF = 1.0
SPHERE_CENTER, SPHERE_RADIUS = (0.25, 0.1, 0.25), 0.25
BOX_LO, BOX_HI = (-0.5, -0.3, 0.0), (-0.1, 0.1, 0.35)


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


def read_camera(path):
    w = open(path).read().split()
    k, r, t = [float(v) for v in w[0:9]], [float(v) for v in w[9:18]], [float(v) for v in w[18:21]]
    center = [-(r[i] * t[0] + r[3 + i] * t[1] + r[6 + i] * t[2]) for i in range(3)]
    return {"fx": k[0], "cx": k[2], "fy": k[4], "cy": k[5], "R": r, "t": t,
            "width": int(w[21]), "height": int(w[22]), "center": center}


def first_hit(o, d):
    """Ray parameter of the first surface along o + t d (t = 1 at the end of d), or infinity."""
    best = math.inf
    if abs(d[2]) > 1e-12:
        t = -o[2] / d[2]
        x, y = o[0] + t * d[0], o[1] + t * d[1]
        if 1e-9 < t < best and abs(x) <= PLANE_HALF and abs(y) <= PLANE_HALF:
            best = t
    oc = [o[k] - SPHERE_CENTER[k] for k in range(3)]
    a = d[0] * d[0] + d[1] * d[1] + d[2] * d[2]
    b = oc[0] * d[0] + oc[1] * d[1] + oc[2] * d[2]
    c = oc[0] * oc[0] + oc[1] * oc[1] + oc[2] * oc[2] - SPHERE_RADIUS * SPHERE_RADIUS
    disc = b * b - a * c
    if disc >= 0:
        s = math.sqrt(disc)
        t = (-b - s) / a
        if t <= 1e-9:
            t = (-b + s) / a
        if 1e-9 < t < best:
            best = t
    tmin, tmax = -math.inf, math.inf
    for k in range(3):
        if abs(d[k]) < 1e-12:
            if o[k] < BOX_LO[k] or o[k] > BOX_HI[k]:
                return best
            continue
        t0, t1 = (BOX_LO[k] - o[k]) / d[k], (BOX_HI[k] - o[k]) / d[k]
        tmin, tmax = max(tmin, min(t0, t1)), min(tmax, max(t0, t1))
    if tmin <= tmax and 1e-9 < tmin < best:
        best = tmin
    return best


def sees(cam, p):
    r, t = cam["R"], cam["t"]
    q = [r[3 * i] * p[0] + r[3 * i + 1] * p[1] + r[3 * i + 2] * p[2] + t[i] for i in range(3)]
    if q[2] <= 1e-6:
        return False
    # The camera files' convention: x grows to the image's left, y upwards.
    u, v = cam["cx"] - cam["fx"] * q[0] / q[2], cam["cy"] - cam["fy"] * q[1] / q[2]
    if u < -0.5 or v < -0.5 or u > cam["width"] - 0.5 or v > cam["height"] - 0.5:
        return False
    c = cam["center"]
    return first_hit(c, [p[k] - c[k] for k in range(3)]) > 1 - 1e-6


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

    print("counting the cameras that see each ground-truth sample ...", file=sys.stderr, flush=True)
    cameras = [read_camera(c) for c in camera_files]
    truth = read_ply_points(truth_path)
    seen_by = [sum(sees(c, p) for c in cameras) for p in truth]
    if seen_by.count(0) > 0.001 * len(truth):
        sys.exit(f"{seen_by.count(0)} ground-truth samples that no camera sees: this script's "
                 "scene differs from make_scene's")
    classes = [class_of(n) for n in seen_by]
    share = [classes.count(k) / len(truth) for k in range(len(CLASSES))]

    def label(lo, hi):
        return f"{lo}+" if hi >= 1 << 30 else f"{max(lo, 1)}-{hi}"

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
