#!/usr/bin/env python3
"""Runs tessivar on generated scenes and prints one table of stage times, memory and accuracy.

Stage times come from the driver's TESSIVAR_STAGE_TIMES report (one "stage NAME SECONDS" line per
stage on standard error); accuracy from tools/model_accuracy against the scene's ground truth.
cpu_s is the run's user plus system CPU time: on a machine shared with other work it varies far
less than the wall times, so compare builds by it there (and by wall times on an idle machine).
"""
import os
import subprocess
import sys
import time

SCENES = {
    # name: (cameras, width, height, noise sigma factor, dropout[, further make_scene options])
    "small": (4, 320, 240, 0.0, 0.0),
    "medium": (8, 640, 480, 0.0015, 0.01),
    "large": (16, 640, 480, 0.0015, 0.01),
    # 25 close views of one place, as a hand-held scan of a desk: every point has many neighbours.
    "overlap": (25, 640, 480, 0.0015, 0.01, ["--distance", "0.5", "--arc", "60", "--fx", "615"]),
}
# The real scan "box" (25 views of a desk; see its README) runs where its folder is found:
# $TESSIVAR_BOX_SCAN, or shared/real/box next to the checkout. It has no ground truth: its row
# reports points and times only.
BOX_ARGS = ["--depth-avg", "0.49"]
STAGES = ["read", "superpixels", "sp_filter", "sp_support", "dense_points", "dense_support",
          "dense_filter", "final_support", "ply_output"]


def box_folder():
    here = os.path.dirname(os.path.abspath(__file__))
    for d in [os.environ.get("TESSIVAR_BOX_SCAN", ""), os.path.join(here, "..", "..", "shared", "real", "box"),
              os.path.join(here, "..", "..", "..", "shared", "real", "box")]:
        if d and os.path.isdir(os.path.join(d, "rot180")):
            return os.path.abspath(d)
    return None


def run_tessivar(build, args, work, name, cwd=None, fatal=True):
    env = dict(os.environ, TESSIVAR_STAGE_TIMES="1")
    log = os.path.join(work, name, "stderr.txt")
    os.makedirs(os.path.dirname(log), exist_ok=True)
    t0 = time.monotonic()
    with open(log, "w") as err:
        proc = subprocess.Popen([os.path.abspath(os.path.join(build, "tessivar"))] + args, env=env, cwd=cwd,
                                stdout=subprocess.DEVNULL, stderr=err)
        _, status, usage = os.wait4(proc.pid, 0)
    total = time.monotonic() - t0
    with open(log) as f:
        stderr = f.read()
    if status != 0:
        if not fatal:
            print(f"tessivar failed on {name}, left out of the table:\n{stderr[-2000:]}", file=sys.stderr)
            return None
        sys.exit(f"tessivar failed on {name}:\n{stderr}")
    peak = usage.ru_maxrss  # KiB
    cpu = usage.ru_utime + usage.ru_stime
    stages = {}
    for line in stderr.splitlines():
        parts = line.split()
        if len(parts) == 3 and parts[0] == "stage":
            stages[parts[1]] = stages.get(parts[1], 0.0) + float(parts[2])
    return stages, total, cpu, peak


def run_box(build, work):
    folder = box_folder()
    if folder is None:
        sys.exit("bench: the box scan is not found (set TESSIVAR_BOX_SCAN)")
    out = os.path.abspath(os.path.join(work, "box", "out"))
    cameras = sorted(os.path.join("rot180", c) for c in os.listdir(os.path.join(folder, "rot180"))
                     if c.startswith("camera_"))
    run = run_tessivar(build, ["-o", out] + BOX_ARGS + ["--"] + cameras, work, "box", folder, fatal=False)
    if run is None:  # a real scan may end without a model; the generated scenes' rows still count
        return None
    stages, total, cpu, peak = run
    acc = {}
    for model in ("model_superpixel.ply", "model.ply"):
        with open(os.path.join(out, model), "rb") as f:
            header = f.read(4096).split(b"end_header")[0].decode("ascii", "replace")
        points = [int(l.split()[2]) for l in header.splitlines() if l.startswith("element vertex")]
        acc[model] = {"points": points[0] if points else 0, "median_mm": "nan", "p90_mm": "nan",
                      "completeness": "nan"}
    return stages, total, cpu, peak, acc


def run_scene(build, name, work):
    if name == "box":
        return run_box(build, work)
    cams, w, h, noise, dropout = SCENES[name][:5]
    extra = SCENES[name][5] if len(SCENES[name]) > 5 else []
    scene = os.path.join(work, name, "scene")
    out = os.path.join(work, name, "out")
    subprocess.run([os.path.join(build, "make_scene"), "--out", scene, "--cameras", str(cams),
                    "--width", str(w), "--height", str(h), "--noise", str(noise),
                    "--dropout", str(dropout), "--seed", "7"] + extra, check=True, stdout=subprocess.DEVNULL)
    with open(os.path.join(scene, "depth_avg.txt")) as f:
        depth_avg = f.read().strip()
    cameras = sorted(os.path.join(scene, c) for c in os.listdir(scene) if c.startswith("camera_"))
    stages, total, cpu, peak = run_tessivar(build, ["-o", out, "--depth-avg", depth_avg, "--"] + cameras,
                                            work, name)
    acc = {}
    for model in ("model_superpixel.ply", "model.ply"):
        r = subprocess.run([os.path.join(build, "model_accuracy"), os.path.join(out, model),
                            os.path.join(scene, "ground_truth.ply")], check=True,
                           capture_output=True, text=True)
        kv = r.stdout.split()
        acc[model] = dict(zip(kv[0::2], kv[1::2]))
    return stages, total, cpu, peak, acc


def main():
    build = sys.argv[1]
    names = sys.argv[2:] or list(SCENES) + (["box"] if box_folder() else [])
    work = os.path.join(build, "bench")
    rows = []
    for name in names:
        result = run_scene(build, name, work)
        if result is not None:
            rows.append((name,) + tuple(result))
    # One table: a row per scene; stage seconds, total, peak memory, then points and accuracy of
    # the superpixel model (sp_) and the dense model.
    model_cols = [("points", "{:d}"), ("median_mm", "{:.3f}"), ("p90_mm", "{:.3f}"), ("within_2mm_%", "{:.1f}")]
    header = (["scene"] + STAGES + ["total_s", "cpu_s", "peak_MiB"] + ["sp_" + c for c, _ in model_cols]
              + [c for c, _ in model_cols])
    table = []
    for name, stages, total, cpu, peak, acc in rows:
        row = ([name] + [f"{stages.get(st, 0.0):.2f}" for st in STAGES]
               + [f"{total:.2f}", f"{cpu:.2f}", f"{peak / 1024:.0f}"])
        for model in ("model_superpixel.ply", "model.ply"):
            a = acc[model]
            values = [int(a["points"]), float(a["median_mm"]), float(a["p90_mm"]), float(a["completeness"]) * 100]
            row += [fmt.format(v) for (_, fmt), v in zip(model_cols, values)]
        table.append(row)
    widths = [max(len(r[k]) for r in [header] + table) + 2 for k in range(len(header))]
    for r in [header] + table:
        print(r[0].ljust(widths[0]) + "".join(c.rjust(w) for c, w in zip(r[1:], widths[1:])))


if __name__ == "__main__":
    main()
