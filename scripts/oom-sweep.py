#!/usr/bin/env python3
"""Runs tessivar under address-space limits (ulimit -v) in small steps and checks how it ends.

A run under a limit must end with exit code 0 or 1 (a failed allocation is reported and exits 1);
an exit above 1 or a death by a signal (an abort, "terminate called ...") is a failure. Below a
certain limit the process cannot even load its libraries, or a library's static initializer
aborts before main: such a level is "not loaded", recognised by running `tessivar --help` under
the same limit, and is not counted as a failure.

The sweep starts at the lowest limit at which `--help` runs and goes up until the run has
finished with exit code 0 at --settle levels in a row (or reaches --to).

Usage:
  scripts/oom-sweep.py [--tessivar build/tessivar] [--threads 2,8] [--step 256] [--jobs 4]
                       [-- TESSIVAR_ARGS...]
Without TESSIVAR_ARGS an 8-camera 160x120 scene is made with build/make_scene in a temporary
folder. TESSIVAR_ARGS must not contain -o: every run gets its own output folder.
Exit code: 0 when no run failed, 1 otherwise.
"""
import argparse
import collections
import concurrent.futures
import os
import re
import resource
import shutil
import subprocess
import sys
import tempfile


def run_limited(cmd, kib, env, stderr_path=None):
    def limit():
        resource.setrlimit(resource.RLIMIT_AS, (kib << 10, kib << 10))

    with open(stderr_path or os.devnull, "wb") as err:
        p = subprocess.run(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=err,
                           env=env, preexec_fn=limit)
    return p.returncode  # negative: killed by that signal


def loads(tessivar, kib):
    return run_limited([tessivar, "--help"], kib, dict(os.environ)) == 0


def load_limit(tessivar, step):
    lo, hi = 1024, 1 << 20  # KiB; --help runs at hi
    if not loads(tessivar, hi):
        sys.exit(f"{tessivar} --help does not run even under {hi} KiB")
    while hi - lo > step:
        mid = (lo + hi) // 2
        if loads(tessivar, mid):
            hi = mid
        else:
            lo = mid
    return hi


def describe(rc):
    return f"signal {-rc}" if rc < 0 else f"exit {rc}"


def message(path):
    with open(path, "rb") as f:
        lines = [l.decode(errors="replace").rstrip() for l in f.read().splitlines()]
    # An abort says "terminate called ..."; a report is the last line.
    key = [l for l in lines if l.startswith("terminate called") or "what():" in l]
    return " | ".join(key) if key else (lines[-1] if lines else "")


def sweep(args, threads, first, work):
    env = dict(os.environ, OMP_NUM_THREADS=str(threads))
    counts = collections.Counter()
    reports = collections.Counter()
    failures = []

    def one(kib):
        out = os.path.join(work, f"out-{threads}-{kib}")
        shutil.rmtree(out, ignore_errors=True)
        err = out + ".err"
        rc = run_limited([args.tessivar, "-o", out] + args.run, kib, env, err)
        msg = message(err)
        shutil.rmtree(out, ignore_errors=True)
        os.unlink(err)
        if rc in (0, 1):
            return kib, rc, describe(rc), msg
        if not loads(args.tessivar, kib):
            return kib, rc, "not loaded", msg
        return kib, rc, describe(rc), msg

    kib, settled = first, 0
    with concurrent.futures.ThreadPoolExecutor(args.jobs) as pool:
        while settled < args.settle and kib <= args.to:
            batch = [kib + i * args.step for i in range(args.jobs) if kib + i * args.step <= args.to]
            kib = batch[-1] + args.step
            for level, rc, kind, msg in pool.map(one, batch):
                counts[kind] += 1
                if rc == 1:
                    reports[re.sub(r"camera \d+ \(.*\)", "camera N (FILE)", msg)] += 1
                if rc not in (0, 1) and kind != "not loaded":
                    failures.append((level, kind, msg))
                settled = settled + 1 if rc == 0 else 0
    last = kib - args.step
    print(f"threads {threads}: {first}..{last} KiB in steps of {args.step}: " +
          ", ".join(f"{k}: {n}" for k, n in sorted(counts.items())))
    if args.messages:
        for msg, n in reports.most_common():
            print(f"  exit 1 {n:5d}x: {msg}")
    for level, kind, msg in failures:
        print(f"  FAIL {level} KiB: {kind}: {msg}")
    if settled < args.settle:
        print(f"  (no {args.settle} exits 0 in a row up to {args.to} KiB)")
    return failures


def main():
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--tessivar", default=os.path.join(root, "build", "tessivar"))
    ap.add_argument("--make-scene", default=os.path.join(root, "build", "make_scene"))
    ap.add_argument("--threads", default="2,8", help="OMP_NUM_THREADS values, comma-separated")
    ap.add_argument("--step", type=int, default=256, help="KiB between limits")
    ap.add_argument("--from", dest="start", type=int, help="first limit in KiB (default: load limit)")
    ap.add_argument("--to", type=int, default=1 << 20, help="last limit in KiB")
    ap.add_argument("--settle", type=int, default=8, help="exits 0 in a row that end a sweep")
    ap.add_argument("--jobs", type=int, default=4, help="runs at a time")
    ap.add_argument("--messages", action="store_true", help="count the reports of exits 1")
    ap.add_argument("run", nargs="*", help="tessivar's arguments after --")
    args = ap.parse_args()
    args.tessivar = os.path.abspath(args.tessivar)

    with tempfile.TemporaryDirectory(prefix="oom-sweep-") as work:
        if not args.run:
            scene = os.path.join(work, "scene")
            subprocess.run([args.make_scene, "--out", scene, "--cameras", "8", "--width", "160",
                            "--height", "120"], check=True, stdout=subprocess.DEVNULL)
            with open(os.path.join(scene, "depth_avg.txt")) as f:
                depth_avg = f.read().strip()
            cams = sorted(n for n in os.listdir(scene) if n.startswith("camera_"))
            args.run = ["--depth-avg", depth_avg, "--"] + [os.path.join(scene, c) for c in cams]
        first = args.start or load_limit(args.tessivar, min(args.step, 64))
        print(f"load limit (--help runs): {first} KiB" if not args.start else f"from {first} KiB")
        failures = []
        for t in (int(x) for x in args.threads.split(",")):
            failures += sweep(args, t, first, work)
    print("FAILED: exits above 1" if failures else "ok: no exit above 1")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
