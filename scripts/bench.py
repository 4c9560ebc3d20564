#!/usr/bin/env python3
"""Runs tessivar on generated scenes and prints one table of stage times, memory and accuracy.

Stage times come from the driver's TESSIVAR_STAGE_TIMES report (one "stage NAME SECONDS" line per
stage on standard error); accuracy from tools/model_accuracy against the scene's ground truth.
"""
import os
import subprocess
import sys
import time

SCENES = {
    # name: (cameras, width, height, noise sigma factor, dropout)
    "small": (4, 320, 240, 0.0, 0.0),
    "medium": (8, 640, 480, 0.0015, 0.01),
    "large": (16, 640, 480, 0.0015, 0.01),
}
STAGES = ["read", "superpixels", "sp_filter", "sp_support", "dense_points", "dense_support",
          "dense_filter", "final_support", "ply_output"]


def run_scene(build, name, work):
    cams, w, h, noise, dropout = SCENES[name]
    scene = os.path.join(work, name, "scene")
    out = os.path.join(work, name, "out")
    subprocess.run([os.path.join(build, "make_scene"), "--out", scene, "--cameras", str(cams),
                    "--width", str(w), "--height", str(h), "--noise", str(noise),
                    "--dropout", str(dropout), "--seed", "7"], check=True, stdout=subprocess.DEVNULL)
    with open(os.path.join(scene, "depth_avg.txt")) as f:
        depth_avg = f.read().strip()
    cameras = sorted(os.path.join(scene, c) for c in os.listdir(scene) if c.startswith("camera_"))
    env = dict(os.environ, TESSIVAR_STAGE_TIMES="1")
    log = os.path.join(work, name, "stderr.txt")
    t0 = time.monotonic()
    with open(log, "w") as err:
        proc = subprocess.Popen([os.path.join(build, "tessivar"), "-o", out, "--depth-avg", depth_avg, "--"]
                                + cameras, env=env, stdout=subprocess.DEVNULL, stderr=err)
        _, status, usage = os.wait4(proc.pid, 0)
    total = time.monotonic() - t0
    with open(log) as f:
        stderr = f.read()
    if status != 0:
        sys.exit(f"tessivar failed on {name}:\n{stderr}")
    peak = usage.ru_maxrss  # KiB
    stages = {}
    for line in stderr.splitlines():
        parts = line.split()
        if len(parts) == 3 and parts[0] == "stage":
            stages[parts[1]] = stages.get(parts[1], 0.0) + float(parts[2])
    acc = {}
    for model in ("model_superpixel.ply", "model.ply"):
        r = subprocess.run([os.path.join(build, "model_accuracy"), os.path.join(out, model),
                            os.path.join(scene, "ground_truth.ply")], check=True,
                           capture_output=True, text=True)
        kv = r.stdout.split()
        acc[model] = dict(zip(kv[0::2], kv[1::2]))
    return stages, total, peak, acc


def main():
    build = sys.argv[1]
    names = sys.argv[2:] or list(SCENES)
    work = os.path.join(build, "bench")
    rows = []
    for name in names:
        stages, total, peak_kib, acc = run_scene(build, name, work)
        rows.append((name, stages, total, peak_kib, acc))
    print(f"{'scene':<8}" + "".join(f"{s:>14}" for s in STAGES) + f"{'total s':>10}{'peak MiB':>10}")
    for name, stages, total, peak, _ in rows:
        print(f"{name:<8}" + "".join(f"{stages.get(s, 0.0):>14.2f}" for s in STAGES)
              + f"{total:>10.2f}{peak / 1024:>10.0f}")
    print()
    print(f"{'scene':<8}{'model':<22}{'points':>10}{'median mm':>11}{'p90 mm':>9}{'within 2 mm':>13}")
    for name, _, _, _, acc in rows:
        for model, a in acc.items():
            print(f"{name:<8}{model:<22}{a['points']:>10}{float(a['median_mm']):>11.3f}"
                  f"{float(a['p90_mm']):>9.3f}{float(a['completeness']) * 100:>12.1f}%")


if __name__ == "__main__":
    main()
