#!/usr/bin/env python3
"""Seconds per pair and accuracy of vantu-track from one cell to thousands per frame.

For each size N it simulates a short time-lapse of about N cells per frame with
vantu-sim (past the simulator's 1000 cells, several colonies side by side, ids
renumbered), tracks it with the defaults, and scores the lineage with the
outside checks' scorer. With --compare it also tracks the sizes up to 1000
cells with --tile-cells 0 (whole-frame matching) and counts the links on which
the two runs agree.

  bench/scale.py [--build build] [--scorer PATH] [--sizes 1,10,...] [--frames 3]
                 [--seed 1] [--jobs 2] [--compare 300,600,900] [--tile-cells N]

Prints a Markdown table; timings are wall-clock seconds and depend on the load.
"""
import argparse, json, math, os, re, shutil, subprocess, sys, tempfile


WARMUP = 3  # frames simulated and dropped: a freshly seeded colony settles in its first frames


def simulate(sim, folder, cells, frames, seed):
    """A time-lapse of about `cells` cells per frame in `folder`: frame_NNNN.dat and truth.csv."""
    warmup = WARMUP if cells >= 30 else 0
    parts = max(1, math.ceil(cells / 900))
    per = max(1, cells // parts)
    side = math.ceil(math.sqrt(parts))
    os.makedirs(folder)
    frames_out = [[] for _ in range(frames)]
    truth = ["frame,id,pred,ndiv,kind"]
    for k in range(parts):
        sub = os.path.join(folder, "part%d" % k)
        # The first frame holds a few more cells than asked for: start lower so that the middle frame is near N.
        start = per * 0.93 / (1.053 ** warmup)  # the colony grows about 5 % per frame
        subprocess.run([sim, "--timelapse", sub, "--cells", str(max(1, int(start))), "--frames",
                        str(frames + warmup), "--seed", str(seed * 100 + k)], check=True, capture_output=True)
        dx, dy = 2000.0 * (k % side), 2000.0 * (k // side)
        offset = 100000 * k
        for t in range(frames):
            for line in open(os.path.join(sub, "frame_%04d.dat" % (t + warmup))):
                v = line.split()
                if not v or v[0].startswith("#"):
                    continue
                frames_out[t].append("%.3f %.3f %s %s %d" % (float(v[0]) + dx, float(v[1]) + dy, v[2], v[3],
                                                             int(v[4]) + offset))
        rows = list(open(os.path.join(sub, "truth.csv")))[1:]
        for r in rows:
            f, i, pred, ndiv, kind = r.strip().split(",")
            if int(f) <= warmup:
                continue
            truth.append("%d,%d,%d,%s,%s" % (int(f) - warmup, int(i) + offset, int(pred) + offset if int(pred) else 0,
                                             ndiv, kind))
        shutil.rmtree(sub)
    names = []
    for t in range(frames):
        name = os.path.join(folder, "frame_%04d.dat" % t)
        open(name, "w").write("\n".join(frames_out[t]) + "\n")
        names.append(name)
    truth_rows = truth[1:]
    truth_rows.sort(key=lambda r: (int(r.split(",")[0]), int(r.split(",")[1])))
    open(os.path.join(folder, "truth.csv"), "w").write("\n".join([truth[0]] + truth_rows) + "\n")
    return names, [len(f) for f in frames_out]


def track(binary, out, frames, jobs, extra):
    subprocess.run([binary, "-j", str(jobs), "-o", out] + extra + frames, check=True, capture_output=True)
    seconds, how = [], set()
    for line in open(os.path.join(out, "pairs.log")):
        seconds.append(float(re.search(r", ([\d.]+) s", line).group(1)))
        how.add("small" if "small-pair" in line else "tiles" if " tiles" in line else "whole")
    return seconds, "/".join(sorted(how))


def record_links(path):
    lines = open(path).read().split("\n")
    return lines[6:lines.index("end")]


def agreement(a, b):
    same = total = 0
    for name in sorted(os.listdir(os.path.join(a, "pairs"))):
        if name.endswith(".txt"):
            ra, rb = record_links(os.path.join(a, "pairs", name)), record_links(os.path.join(b, "pairs", name))
            same += sum(x == y for x, y in zip(ra, rb))
            total += len(ra)
    return same, total


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default="build")
    ap.add_argument("--scorer", default=os.path.join(os.path.dirname(__file__), "..", "..", "shared", "tools", "score_lineage.py"))
    ap.add_argument("--sizes", default="1,3,10,30,100,300,1000,2000,5000")
    ap.add_argument("--frames", type=int, default=3)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--jobs", default="2")
    ap.add_argument("--compare", default="")
    ap.add_argument("--tile-cells", default="")
    a = ap.parse_args()
    sim, binary = os.path.join(a.build, "vantu-sim"), os.path.join(a.build, "vantu-track")
    extra = ["--tile-cells", a.tile_cells] if a.tile_cells else []
    compare = {int(s) for s in a.compare.split(",") if s}
    print("| cells per frame | pairs matched as | seconds per pair | ms per cell | links right | daughters found |"
          " whole-frame seconds per pair | links agreeing with whole-frame |")
    print("|---|---|---|---|---|---|---|---|")
    for n in [int(s) for s in a.sizes.split(",")]:
        work = tempfile.mkdtemp(prefix="vantu-scale-")
        try:
            # Small colonies over more frames: they must divide for the spacing of neighbours to exist.
            frames, counts = simulate(sim, os.path.join(work, "tl"), n, a.frames if n >= 30 else 25, a.seed)
            seconds, how = track(binary, os.path.join(work, "out"), frames, a.jobs, extra)
            s = json.loads(subprocess.run(["python3", a.scorer, os.path.join(work, "out", "cells.csv"),
                                           os.path.join(work, "tl", "truth.csv"), "--json"],
                                          check=True, capture_output=True, text=True).stdout)
            mean_cells = sum(counts) / len(counts)
            per_pair = sum(seconds) / len(seconds)
            whole = agree = ""
            if n in compare:
                ws, _ = track(binary, os.path.join(work, "whole"), frames, a.jobs, ["--tile-cells", "0"])
                same, total = agreement(os.path.join(work, "out"), os.path.join(work, "whole"))
                whole, agree = "%.1f" % (sum(ws) / len(ws)), "%.4f (%d/%d)" % (same / total, same, total)
            print("| %.0f (%d-%d) | %s | %.2f | %.2f | %.3f | %.3f (%d) | %s | %s |" % (
                mean_cells, min(counts), max(counts), how, per_pair, 1000 * per_pair / mean_cells, s["links"],
                s["daughters_recall"], s["true_daughters"], whole, agree), flush=True)
        finally:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
