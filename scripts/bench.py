#!/usr/bin/env python3
"""Runs tessivar on generated scenes and the real box scan; prints one table of stage times,
memory and accuracy.

Stage times come from the driver's TESSIVAR_STAGE_TIMES report (one "stage NAME SECONDS" line per
stage on standard error); accuracy from tools/model_accuracy against the scene's ground truth, or
for the real scan against its depth maps lifted into the world (tools/lift_depth), where a point
counts as covered within 5 mm. cpu_s is the run's user plus system CPU time: on a machine shared
with other work it varies far less than the wall times, so compare builds by it there (and by wall
times on an idle machine). A run that fails is reported with its exit status and empty models.

  bench.py BUILD_DIR [SCENE ...]   SCENE: a name below, "faults" (every sensor-fault scene) or "box"
                                   (default: small medium large overlap)
"""
import os
import subprocess
import sys
import time

# name: (cameras, width, height, noise sigma factor, dropout, further make_scene arguments)
SCENES = {
    "small": (4, 320, 240, 0.0, 0.0, []),
    "medium": (8, 640, 480, 0.0015, 0.01, []),
    "large": (16, 640, 480, 0.0015, 0.01, []),
    # 25 close views of one place, as a hand-held scan of a desk: every point has many neighbours.
    "overlap": (25, 640, 480, 0.0015, 0.01, ["--distance", "0.5", "--arc", "60", "--fx", "615"]),
    # A sensor's noise and holes: the base of the fault scenes.
    "sensor": (8, 640, 480, 0.0014, 0.02, []),
    "dropout30": (8, 640, 480, 0.0014, 0.30, []),
    "dropout50": (8, 640, 480, 0.0014, 0.50, []),
    "lattice": (8, 640, 480, 0.0014, 0.02, ["--lattice", "3"]),
    "checker": (8, 640, 480, 0.0014, 0.02, ["--checker", "1"]),
    "edgeholes": (8, 640, 480, 0.0014, 0.02, ["--edge-holes", "3"]),
    "mixed": (8, 640, 480, 0.0014, 0.02, ["--mixed", "1"]),
    "salt": (8, 640, 480, 0.0014, 0.02, ["--salt", "0.01"]),
}
FAULTS = ["sensor", "dropout30", "dropout50", "lattice", "checker", "edgeholes", "mixed", "salt"]
STAGES = ["read", "superpixels", "sp_filter", "sp_support", "dense_points", "dense_support",
          "dense_filter", "final_support", "ply_output"]
REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def box_folder():
    """The real scan: $TESSIVAR_BOX, or shared/real/box beside the checkout or one level up."""
    for d in [os.environ.get("TESSIVAR_BOX", ""), os.path.join(REPO, "..", "shared", "real", "box"),
              os.path.join(REPO, "..", "..", "shared", "real", "box")]:
        if d and os.path.isdir(os.path.join(d, "rot180")):
            return os.path.abspath(d)
    sys.exit("the box scan is not found; set TESSIVAR_BOX to its folder")


def make_scene(build, name, work):
    cams, w, h, noise, dropout, extra = SCENES[name]
    scene = os.path.join(work, name, "scene")
    subprocess.run([os.path.join(build, "make_scene"), "--out", scene, "--cameras", str(cams),
                    "--width", str(w), "--height", str(h), "--noise", str(noise),
                    "--dropout", str(dropout), "--seed", "7"] + extra, check=True,
                   stdout=subprocess.DEVNULL)
    with open(os.path.join(scene, "depth_avg.txt")) as f:
        depth_avg = f.read().strip()
    cameras = sorted(os.path.join(scene, c) for c in os.listdir(scene) if c.startswith("camera_"))
    return scene, cameras, depth_avg, os.path.join(scene, "ground_truth.ply"), 0.002


def box_scene(build, work):
    box = box_folder()
    cameras = sorted(os.path.join("rot180", c) for c in os.listdir(os.path.join(box, "rot180"))
                     if c.startswith("camera_"))
    truth = os.path.join(work, "box", "lifted.ply")
    os.makedirs(os.path.dirname(truth), exist_ok=True)
    subprocess.run([os.path.join(build, "lift_depth"), truth] + cameras, cwd=box, check=True,
                   stdout=subprocess.DEVNULL)
    return box, cameras, "0.49", truth, 0.005


def run_scene(build, name, work):
    if name == "box":
        cwd, cameras, depth_avg, truth, within = box_scene(build, work)
    else:
        cwd, cameras, depth_avg, truth, within = make_scene(build, name, work)
    out = os.path.join(work, name, "out")
    env = dict(os.environ, TESSIVAR_STAGE_TIMES="1")
    log = os.path.join(work, name, "stderr.txt")
    t0 = time.monotonic()
    with open(log, "w") as err:
        proc = subprocess.Popen([os.path.join(build, "tessivar"), "-o", out, "--depth-avg", depth_avg, "--"]
                                + cameras, env=env, cwd=cwd, stdout=subprocess.DEVNULL, stderr=err)
        _, status, usage = os.wait4(proc.pid, 0)
    total = time.monotonic() - t0
    with open(log) as f:
        stderr = f.read()
    code = os.waitstatus_to_exitcode(status)
    if code not in (0, 1):  # 1: an empty model, still written
        sys.exit(f"tessivar failed on {name}:\n{stderr}")
    stages = {}
    for line in stderr.splitlines():
        parts = line.split()
        if len(parts) == 3 and parts[0] == "stage":
            stages[parts[1]] = stages.get(parts[1], 0.0) + float(parts[2])
    acc = {}
    for model in ("model_superpixel.ply", "model.ply"):
        r = subprocess.run([os.path.join(build, "model_accuracy"), os.path.join(out, model), truth,
                            "--within", str(within)], check=True, capture_output=True, text=True)
        kv = r.stdout.split()
        acc[model] = dict(zip(kv[0::2], kv[1::2]))
    return code, stages, total, usage.ru_utime + usage.ru_stime, usage.ru_maxrss, acc, within


def main():
    if len(sys.argv) < 2:
        sys.exit("usage: bench.py BUILD_DIR [SCENE ...]")
    build = os.path.abspath(sys.argv[1])
    names = []
    for n in sys.argv[2:] or ["small", "medium", "large", "overlap"]:
        names += FAULTS if n == "faults" else [n]
    work = os.path.join(build, "bench")
    # One table: a row per scene; exit status, stage seconds, total, peak memory, then points and
    # accuracy of the superpixel model (sp_) and the dense model; complete_% is the share of the
    # ground truth with a model point within within_mm.
    model_cols = [("points", "{:d}"), ("median_mm", "{:.3f}"), ("p90_mm", "{:.3f}"),
                  ("complete_%", "{:.1f}")]
    header = (["scene", "exit"] + STAGES + ["total_s", "cpu_s", "peak_MiB", "within_mm"]
              + ["sp_" + c for c, _ in model_cols] + [c for c, _ in model_cols] + ["p99_mm"])
    table = []
    for name in names:
        code, stages, total, cpu, peak, acc, within = run_scene(build, name, work)
        row = ([name, str(code)] + [f"{stages.get(st, 0.0):.2f}" for st in STAGES]
               + [f"{total:.2f}", f"{cpu:.2f}", f"{peak / 1024:.0f}", f"{within * 1000:g}"])
        for model in ("model_superpixel.ply", "model.ply"):
            a = acc[model]
            values = [int(a["points"]), float(a["median_mm"]), float(a["p90_mm"]),
                      float(a["completeness"]) * 100]
            row += [fmt.format(v) for (_, fmt), v in zip(model_cols, values)]
        row.append(f"{float(acc['model.ply']['p99_mm']):.3f}")
        table.append(row)
        print(" ".join(row), file=sys.stderr, flush=True)  # progress while the table builds
    widths = [max(len(r[k]) for r in [header] + table) + 2 for k in range(len(header))]
    for r in [header] + table:
        print(r[0].ljust(widths[0]) + "".join(c.rjust(w) for c, w in zip(r[1:], widths[1:])))


if __name__ == "__main__":
    main()
