#!/usr/bin/env python3
"""Calibration of cells.csv's confidence: the share of wrong links per band.

Simulates time-lapses with missed and spurious cells (vantu-sim --timelapse),
tracks them and scores every cell after the first frame against truth.csv:
a cell's link is right when the cell it comes from in the lineage (its own
track's cell in the frame before, else its mother's there as a daughter,
else none) is the true one, daughter or not. Prints a Markdown table of the
error rate per confidence band, over all runs.

  bench/confidence_calibration.py [--build build] [--seeds 1,2,3] [--rates 0.02,0.05]
                                  [--frames 12] [--cells 40] [--noise 2] [--sim-options "--step 2"]
"""
import argparse, csv, os, shutil, subprocess, tempfile

BANDS = [(0.0, 0.5), (0.5, 0.7), (0.7, 0.9), (0.9, 1.01)]


def wrong_links(cells_csv, truth_csv):
    """(confidence, wrong) per scored cell."""
    rows = list(csv.DictReader(open(cells_csv)))
    track = {(int(r["frame"]), int(r["id"])): int(r["track"]) for r in rows}
    conf = {(int(r["frame"]), int(r["id"])): float(r["confidence"]) for r in rows}
    where = {(int(r["track"]), int(r["frame"])): int(r["id"]) for r in rows}
    parent = {int(r["track"]): int(r["parent_track"]) for r in rows}
    out = []
    for r in csv.DictReader(open(truth_csv)):
        t, i, pred, ndiv = int(r["frame"]), int(r["id"]), int(r["pred"]), int(r["ndiv"])
        k = track[(t, i)]
        if (k, t - 1) in where:
            p, d = where[(k, t - 1)], 0
        elif parent[k] and (parent[k], t - 1) in where:
            p, d = where[(parent[k], t - 1)], 1
        else:
            p, d = 0, 0
        ok = p == pred and (pred == 0 or d == (1 if ndiv > 0 else 0))
        out.append((conf[(t, i)], not ok))
    return out


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default="build")
    ap.add_argument("--seeds", default="1,2,3")
    ap.add_argument("--rates", default="0.02,0.05")
    ap.add_argument("--frames", type=int, default=12)
    ap.add_argument("--cells", type=int, default=40)
    ap.add_argument("--noise", default="2")
    ap.add_argument("--jobs", default="2")
    ap.add_argument("--sim-options", default="", help="more vantu-sim options, e.g. \"--magnification 0.5\"")
    a = ap.parse_args()
    sim, track = os.path.join(a.build, "vantu-sim"), os.path.join(a.build, "vantu-track")
    scored = []
    work = tempfile.mkdtemp(prefix="vantu-conf-")
    try:
        for rate in a.rates.split(","):
            for seed in a.seeds.split(","):
                d = os.path.join(work, "r%s-s%s" % (rate, seed))
                subprocess.run([sim, "--timelapse", d + "/tl", "--frames", str(a.frames), "--cells", str(a.cells),
                                "--seed", seed, "--missing", rate, "--spurious", rate, "--noise", a.noise] + a.sim_options.split(),
                               check=True, capture_output=True)
                frames = sorted(f for f in os.listdir(d + "/tl") if f.startswith("frame_"))
                subprocess.run([track, "-j", a.jobs, "-o", d + "/out"] + [d + "/tl/" + f for f in frames],
                               check=True, capture_output=True)
                scored += wrong_links(d + "/out/cells.csv", d + "/tl/truth.csv")
    finally:
        shutil.rmtree(work)
    print("| confidence | links | wrong | error rate |")
    print("|---|---|---|---|")
    for lo, hi in BANDS:
        band = [w for c, w in scored if lo <= c < hi]
        name = "below %.1f" % hi if lo == 0 else ("%.1f to %.1f" % (lo, hi) if hi <= 1 else "%.1f and above" % lo)
        rate = "%.3f" % (sum(band) / len(band)) if band else "-"
        print("| %s | %d | %d | %s |" % (name, len(band), sum(band), rate))
    total = sum(w for _, w in scored)
    print("| all | %d | %d | %.3f |" % (len(scored), total, total / max(len(scored), 1)))


if __name__ == "__main__":
    main()
