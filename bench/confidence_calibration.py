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

With --review, prints instead what a reviewer who reads the lowest-rated links
first finds: of the wrong links, how many are among the lowest 2 % and the
lowest 5 % of the links, per movie. The movies are the simulated cases named
by --cases (each a set of vantu-sim options, runs of --seeds pooled) and the
folders of --movies (each with truth.csv and masks/ and/or frames/, tracked
from each):

  bench/confidence_calibration.py --review [--movies DIR,DIR] [--cases "NAME=OPTIONS;..."]
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
    first = min(t for t, _ in track)
    for r in csv.DictReader(open(truth_csv)):
        t, i, pred, ndiv = int(r["frame"]), int(r["id"]), int(r["pred"]), int(r["ndiv"])
        if t == first:
            continue  # nothing to link to
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


def lowest(scored, share):
    """How many of the wrong links are among the lowest-rated `share` of the
    links (ties by the order of the rows)."""
    ranked = sorted(range(len(scored)), key=lambda k: (scored[k][0], k))
    n = max(1, round(share * len(scored)))
    return sum(scored[k][1] for k in ranked[:n])


def review_row(name, scored):
    wrong = sum(w for _, w in scored)
    cell = lambda share: "%d of %d (%.0f %%)" % (lowest(scored, share), wrong, 100.0 * lowest(scored, share) / wrong) if wrong else "-"
    return "| %s | %d | %d | %s | %s |" % (name, len(scored), wrong, cell(0.02), cell(0.05))


def track(a, inputs, out):
    subprocess.run([os.path.join(a.build, "vantu-track"), "-j", a.jobs, "-o", out] + inputs, check=True, capture_output=True)


def simulate(a, d, seed, rate, options):
    """Simulates and tracks one movie (`rate`: missed and spurious, None: as `options` say)."""
    faults = ["--missing", rate, "--spurious", rate] if rate is not None else []
    size = []  # the movie's size, unless the case sets it
    for opt, value in (("--frames", a.frames), ("--cells", a.cells)):
        if opt not in options.split():
            size += [opt, str(value)]
    subprocess.run([os.path.join(a.build, "vantu-sim"), "--timelapse", d + "/tl", "--seed", seed, "--noise", a.noise] +
                   size + faults + options.split(), check=True, capture_output=True)
    frames = sorted(f for f in os.listdir(d + "/tl") if f.startswith("frame_"))
    track(a, [d + "/tl/" + f for f in frames], d + "/out")
    return wrong_links(d + "/out/cells.csv", d + "/tl/truth.csv")


CASES = ("3 % missed and spurious=--missing 0.03 --spurious 0.03;motion x2=--step 2;motion x3=--step 3;"
         "sliding rods=--slide 0.1;dense colony, 3 % sliding=--cells 320 --frames 8 --slide 0.03")


def review(a, work):
    print("| movie | links | wrong | in the lowest 2 % | in the lowest 5 % |")
    print("|---|---|---|---|---|")
    for movie in [m for m in a.movies.split(",") if m]:
        for kind in ("masks", "frames"):
            if not os.path.isdir(os.path.join(movie, kind)):
                continue
            out = os.path.join(work, os.path.basename(movie.rstrip("/")) + "-" + kind)
            track(a, [os.path.join(movie, kind)], out)
            print(review_row("%s, %s" % (os.path.basename(movie.rstrip("/")), "points" if kind == "frames" else kind),
                             wrong_links(out + "/cells.csv", os.path.join(movie, "truth.csv"))), flush=True)
    for index, case in enumerate([c for c in a.cases.split(";") if c]):
        name, options = case.split("=", 1)
        scored = []
        for seed in a.seeds.split(","):
            d = os.path.join(work, "case%d-s%s" % (index, seed))
            scored += simulate(a, d, seed, None, options)
        print(review_row("simulated, %s (seeds %s)" % (name, a.seeds), scored), flush=True)


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
    ap.add_argument("--review", action="store_true", help="the wrong links among the lowest-rated 2 %% and 5 %%")
    ap.add_argument("--movies", default="", help="--review: folders with truth.csv and masks/ or frames/")
    ap.add_argument("--cases", default=CASES, help="--review: NAME=VANTU-SIM OPTIONS;...")
    a = ap.parse_args()
    scored = []
    work = tempfile.mkdtemp(prefix="vantu-conf-")
    try:
        if a.review:
            review(a, work)
            return
        for rate in a.rates.split(","):
            for seed in a.seeds.split(","):
                scored += simulate(a, os.path.join(work, "r%s-s%s" % (rate, seed)), seed, rate, a.sim_options)
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
