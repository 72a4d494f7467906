#!/usr/bin/env python3
"""The Python module's cost over vantu-track's on the same masks, as a Markdown table.

A simulated time-lapse with masks is tracked by vantu-track (mask files), by
vantu.track on the same paths, on the label stack as one array and on the
cells as a DataFrame; each the same number of times, wall clock, median.

  PYTHONPATH=build/python /usr/bin/python3 bench/python_overhead.py [--build build]
      [--frames 20] [--cells 30] [--repeat 3] [--jobs 2]
"""
import argparse, glob, os, statistics, subprocess, sys, tempfile, time

import numpy as np
import pandas as pd
import tifffile

import vantu


def median_seconds(f, repeat):
    times = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        f()
        times.append(time.perf_counter() - t0)
    return statistics.median(times)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default="build")
    ap.add_argument("--frames", type=int, default=20)
    ap.add_argument("--cells", type=int, default=30)
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--jobs", type=int, default=2)
    a = ap.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        sim = os.path.join(tmp, "sim")
        subprocess.run([os.path.join(a.build, "vantu-sim"), "--timelapse", sim, "--frames", str(a.frames),
                        "--cells", str(a.cells), "--masks", "tif"], check=True, capture_output=True)
        masks = sorted(glob.glob(os.path.join(sim, "mask_*.tif")))
        out = os.path.join(tmp, "cli")
        cli = [os.path.join(a.build, "vantu-track"), "-j", str(a.jobs), "-o", out] + masks

        def run_cli():
            subprocess.run(cli, check=True, capture_output=True)
            subprocess.run(["rm", "-rf", out], check=True)  # no pair records reused

        stack = np.stack([tifffile.imread(p) for p in masks])
        table = pd.read_csv(os.path.join(sim, "cells.csv"), float_precision="round_trip")
        rows = [
            ("vantu-track, mask files", run_cli),
            ("vantu.track(paths)", lambda: vantu.track(masks, jobs=a.jobs, progress=False)),
            ("vantu.track(array)", lambda: vantu.track(stack, jobs=a.jobs, progress=False)),
            ("vantu.track(DataFrame)", lambda: vantu.track(table, jobs=a.jobs, progress=False)),
        ]
        print("| %d frames, %s px masks, %d cells in all | seconds (median of %d) |"
              % (a.frames, "x".join(map(str, stack.shape[1:])), len(table), a.repeat))
        print("|---|---|")
        for name, f in rows:
            print("| %s | %.2f |" % (name, median_seconds(f, a.repeat)))
            sys.stdout.flush()


if __name__ == "__main__":
    main()
