#!/usr/bin/env python3
"""A careful reviewer correcting a lineage by hand, simulated: how many
corrections a movie needs to reach a fully right lineage, and what each
rerun costs.

  bench/review_loop.py [--build build] [--agar DIR] [--seeds 1,2] [--jobs 2] [--keep DIR]

The reviewer reads cells.csv in review order (confidence ascending, then
frame and id), takes the first cell whose link is wrong (the lineage
scorer's rule against truth.csv) and not corrected yet, and writes its true
link as a correction: `link` from its true predecessor (both daughters of
the mother for a daughter, `daughter` for one whose sister is not seen),
`debris` for a spurious detection, `new` for a
cell without a visible ancestor. Then vantu-track runs again with the
corrections on the same folder (reusing its pair records), until every link
is right. Every rerun is checked to hold every correction written so far.

Movies: the agar movie (points), its every-2nd and every-3rd frame movies
(../shared/tools/subsample.py), and simulated movies with 3 % missed and 3 %
spurious cells (vantu-sim). Prints a Markdown table: wrong links at the
start, corrections needed (rows of the file) and reviewer's fixes (one per
wrong link taken up: a division's two rows are one fix), their ratios, the first run's CPU seconds, the
reruns' median and largest CPU seconds and the largest as a share of the first.
"""
import argparse, csv, glob, os, resource, shutil, statistics, subprocess, sys, tempfile, time

HERE = os.path.dirname(os.path.abspath(__file__))
SHARED = os.path.normpath(os.path.join(HERE, "..", "..", "shared"))


def lineage(cells_csv):
    rows = list(csv.DictReader(open(cells_csv)))
    cell = {(int(r["frame"]), int(float(r["id"]))): r for r in rows}
    at = {(int(r["track"]), int(r["frame"])): int(float(r["id"])) for r in rows}
    parent = {int(r["track"]): int(r["parent_track"]) for r in rows}
    return cell, at, parent


def predicted(lin, t, i):
    """The scorer's predecessor of cell (t, i): (id, daughter) or (0, 0)."""
    cell, at, parent = lin
    k = int(cell[(t, i)]["track"])
    if (k, t - 1) in at:
        return at[(k, t - 1)], 0
    p = parent[k]
    if p and (p, t - 1) in at:
        return at[(p, t - 1)], 1
    return 0, 0


def origin(lin, t, i):
    """Where (t, i) comes from in the lineage, across gaps too: (frame, id) or None."""
    cell, at, parent = lin
    k = int(cell[(t, i)]["track"])
    earlier = [s for (kk, s) in at if kk == k and s < t]
    if earlier:
        return max(earlier), at[(k, max(earlier))]
    p = parent[k]
    if p:
        last = max(s for (kk, s) in at if kk == p)
        return last, at[(p, last)]
    return None


def wrong_cells(lin, truth):
    out = []
    for (t, i), (pred, ndiv, kind) in truth.items():
        p, d = predicted(lin, t, i)
        if not (p == pred and (pred == 0 or d == (1 if ndiv > 0 else 0))):
            out.append((t, i))
    return out


def true_rows(truth, t, i):
    pred, ndiv, kind = truth[(t, i)]
    if pred == 0:
        return [(t, i, "debris" if kind in ("1", "spurious") else "new", "", "")]
    if ndiv > 0:  # both daughters of the mother
        sisters = sorted(j for (s, j), (p, n, _) in truth.items() if s == t and p == pred and n > 0)
        if len(sisters) == 1:  # her sister is not seen (or divided again on the way)
            return [(t, i, "daughter", t - 1, pred)]
        return [(t, j, "link", t - 1, pred) for j in sisters]
    return [(t, i, "link", t - 1, pred)]


def held(lin, row):
    t, i, action, ft, fi = row
    o = origin(lin, t, i)
    if action in ("link", "daughter"):
        return o == (ft, fi)
    if action == "new":
        return o is None
    cell, at, parent = lin  # debris: alone, one frame
    k = int(cell[(t, i)]["track"])
    return o is None and sum(1 for (kk, s) in at if kk == k) == 1 and k not in parent.values()


def cpu_seconds():
    r = resource.getrusage(resource.RUSAGE_CHILDREN)
    return r.ru_utime + r.ru_stime


def run(track, args):
    """The CPU seconds of one run (the machine is shared: wall time is noisy)."""
    start = cpu_seconds()
    p = subprocess.run([track] + args, capture_output=True, text=True)
    if p.returncode != 0:
        sys.exit("vantu-track failed: %s\n%s" % (" ".join(args), p.stderr))
    return cpu_seconds() - start


def review(track, frames, truth_csv, work, jobs):
    truth = {}
    for r in csv.DictReader(open(truth_csv)):
        truth[(int(r["frame"]), int(r["id"]))] = (int(r["pred"]), int(r["ndiv"]), r.get("kind", "0"))
    out = os.path.join(work, "out")
    base = ["-j", str(jobs), "-o", out]
    first = run(track, base + frames)
    lin = lineage(out + "/cells.csv")
    start_wrong = len(wrong_cells(lin, truth))
    rows, done, reruns, broken, acts = [], set(), [], 0, 0
    while True:
        wrong = wrong_cells(lin, truth)
        todo = [c for c in wrong if c not in done]
        if not todo:
            break
        conf = lambda c: (float(lin[0][c]["confidence"] or 0), c)
        t, i = min(todo, key=conf)
        acts += 1
        for row in true_rows(truth, t, i):
            if row not in rows:
                rows.append(row)
            done.add((row[0], row[1]))
        with open(work + "/corrections.csv", "w") as f:
            f.write("frame,id,action,from_frame,from_id\n")
            for r in rows:
                f.write("%s,%s,%s,%s,%s\n" % r)
        reruns.append(run(track, base + ["--corrections", work + "/corrections.csv"] + frames))
        lin = lineage(out + "/cells.csv")
        broken += sum(1 for r in rows if not held(lin, r))
        if len(rows) > 3 * start_wrong + 10:
            break
    left = len(wrong_cells(lin, truth))
    return start_wrong, len(rows), acts, left, broken, first, reruns


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default="build")
    ap.add_argument("--agar", default=os.path.join(SHARED, "data", "ecoli_agar"))
    ap.add_argument("--seeds", default="1,2")
    ap.add_argument("--jobs", default=2, type=int)
    ap.add_argument("--keep", default="")
    a = ap.parse_args()
    track, sim = os.path.join(a.build, "vantu-track"), os.path.join(a.build, "vantu-sim")
    work = a.keep or tempfile.mkdtemp()
    movies = []
    if os.path.isdir(a.agar):
        movies.append(("agar, every frame", sorted(glob.glob(a.agar + "/frames/*.dat")), a.agar + "/truth.csv"))
        for k in (2, 3):
            d = os.path.join(work, "agar%d" % k)
            if not os.path.isdir(d):
                subprocess.run([sys.executable, os.path.join(SHARED, "tools", "subsample.py"), a.agar, d, str(k)],
                               check=True, capture_output=True)
            movies.append(("agar, every %s frame" % ("2nd" if k == 2 else "3rd"),
                           sorted(glob.glob(d + "/frames/*.dat")), d + "/truth.csv"))
    for seed in a.seeds.split(","):
        d = os.path.join(work, "sim%s" % seed)
        subprocess.run([sim, "--timelapse", d, "--frames", "30", "--cells", "40", "--seed", seed, "--missing",
                        "0.03", "--spurious", "0.03", "--noise", "2"], check=True, capture_output=True)
        movies.append(("simulated, 3 % missed and spurious, seed " + seed, sorted(glob.glob(d + "/frame_*.dat")),
                       d + "/truth.csv"))
    print("| movie | wrong links at the start | corrections (rows) | per wrong link | reviewer's fixes | per wrong link "
          "| wrong links left "
          "| corrections not held | first run CPU s | rerun CPU s (median / most) | most / first |")
    print("|---|---|---|---|---|---|---|---|---|---|---|")
    for name, frames, truth in movies:
        w = os.path.join(work, name.replace(" ", "_").replace(",", "").replace("%", ""))
        shutil.rmtree(w, ignore_errors=True)
        os.makedirs(w)
        wrong, fixes, acts, left, broken, first, reruns = review(track, frames, truth, w, a.jobs)
        med = statistics.median(reruns) if reruns else 0.0
        most = max(reruns) if reruns else 0.0
        print("| %s | %d | %d | %.2f | %d | %.2f | %d | %d | %.2f | %.2f / %.2f | %.0f %% |" %
              (name, wrong, fixes, fixes / max(wrong, 1), acts, acts / max(wrong, 1), left, broken, first, med, most,
               100 * most / first))
        sys.stdout.flush()
    if not a.keep:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
