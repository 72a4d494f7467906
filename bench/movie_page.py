#!/usr/bin/env python3
"""Size and speed of the movie page on a large simulated lineage.

Simulates a time-lapse with masks (vantu-sim), turns its true lineage into a
vantu-track-style result folder (cells.csv and track masks maskNNN.tif, so
that no tracking run is needed), writes the page with vantu-plot --movie and
opens it in headless chromium, whose self-test reports the time from opening
the page to its first frame and the mean time of a frame step.

    bench/movie_page.py --build build --frames 300 --cells 1000 [--work DIR]
"""
import argparse
import csv
import json
import os
import re
import shutil
import subprocess
import tempfile
import time

import numpy as np
import tifffile


def run(cmd):
    subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL)


def make_result_folder(tl, out):
    """cells.csv and track masks of the simulator's true lineage."""
    os.makedirs(out, exist_ok=True)
    with open(os.path.join(tl, "truth_tracks.csv")) as f:
        truth = list(csv.DictReader(f))
    track_of = {}
    for row in truth:
        track_of[(int(row["frame"]), int(row["id"]))] = (int(row["track"]), int(row["parent_track"]))
    frames = sorted({k[0] for k in track_of})
    rows = []
    for frame in frames:
        with open(os.path.join(tl, "frame_%04d.dat" % frame)) as f:
            points = [line.split() for line in f if line.strip()]
        mask = tifffile.imread(os.path.join(tl, "mask_%04d.tif" % frame))
        # Centres as the tracker measures them: the mean pixel of each label.
        ys, xs = np.indices(mask.shape)
        count = np.bincount(mask.ravel(), minlength=65536)
        sum_x = np.bincount(mask.ravel(), weights=xs.ravel(), minlength=65536)
        sum_y = np.bincount(mask.ravel(), weights=ys.ravel(), minlength=65536)
        lut = np.zeros(65536, dtype=np.uint16)
        for _, _, length, angle, cell in points:
            cell = int(float(cell))
            if count[cell] == 0:
                continue
            track, parent = track_of[(frame, cell)]
            lut[cell] = track
            rows.append((frame, cell, track, parent, repr(sum_x[cell] / count[cell]),
                         repr(sum_y[cell] / count[cell]), length, angle))
        tifffile.imwrite(os.path.join(out, "mask%03d.tif" % frame), lut[mask])
    rows.sort(key=lambda r: (r[0], r[2]))
    with open(os.path.join(out, "cells.csv"), "w") as f:
        f.write("frame,id,track,parent_track,x,y,length,angle,flag\n")
        for r in rows:
            f.write(",".join(str(v) for v in r) + ",0\n")
    return len(frames), len(rows)


def self_test(page, profile):
    cmd = ["timeout", "300", "chromium", "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
           "--no-first-run", "--disable-background-networking", "--disable-component-update", "--disable-sync",
           "--user-data-dir=" + profile, "--window-size=1200,800", "--virtual-time-budget=10000", "--dump-dom",
           "file://" + os.path.abspath(page) + "#selftest"]
    dom = subprocess.run(cmd, check=True, capture_output=True, text=True).stdout
    m = re.search(r'<pre id="selftest-result">([^<]*)</pre>', dom)
    return json.loads(m.group(1).replace("&quot;", '"').replace("&amp;", "&")) if m else None


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default="build")
    ap.add_argument("--frames", type=int, default=300)
    ap.add_argument("--cells", type=int, default=1000)
    ap.add_argument("--seed", type=int, default=5)
    ap.add_argument("--work", default=None, help="keep the files here")
    a = ap.parse_args()
    work = a.work or tempfile.mkdtemp(prefix="vantu-movie-bench-")
    tl, out = os.path.join(work, "tl"), os.path.join(work, "lineage")
    if not os.path.exists(os.path.join(tl, "truth_tracks.csv")):
        run([os.path.join(a.build, "vantu-sim"), "--timelapse", tl, "--frames", str(a.frames), "--cells",
             str(a.cells), "--seed", str(a.seed), "--masks", "tif"])
    frames, cells = make_result_folder(tl, out)
    start = time.time()
    run([os.path.join(a.build, "vantu-plot"), "--movie", out])
    seconds = time.time() - start
    page = os.path.join(out, "movie.html")
    size = os.path.getsize(page)
    result = self_test(page, os.path.join(work, "profile"))
    print("| frames | cells | page | writing it | opening to first frame | frame step |")
    print("|---|---|---|---|---|---|")
    print("| %d | %d | %.1f MB | %.1f s | %s ms | %s ms |" % (
        frames, cells, size / 1e6, seconds,
        "%.0f" % result["loadMs"] if result else "?", "%.1f" % result["stepMs"] if result else "?"))
    if result and result["errors"]:
        print("page errors:", result["errors"])
    if not a.work:
        shutil.rmtree(work)


if __name__ == "__main__":
    main()
