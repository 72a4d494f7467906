#!/usr/bin/env python3
"""Complete cell cycles of tracks.csv against the simulator's true lineage.

Per seed: a simulated movie (vantu-sim --timelapse, missed and spurious
cells), tracked; the median cycle_frames of tracks.csv against the median of
the true complete cycles (truth_tracks.csv: a track born from a division and
ended by one, first frame of its daughters minus its own). Markdown table.

  bench/cycle_accuracy.py [--build build] [--seeds 1,2,3] [--frames 40] [--cells 10] [--rate 0.02]
"""
import argparse, csv, os, shutil, statistics, subprocess, tempfile


def true_cycles(path):
    first, parent = {}, {}
    for r in csv.DictReader(open(path)):
        k, f = int(r["track"]), int(r["frame"])
        first[k] = min(first.get(k, f), f)
        parent[k] = int(r["parent_track"])
    births = {}
    for k, p in parent.items():
        if p:
            births[p] = min(births.get(p, first[k]), first[k])
    return [b - first[k] for k, b in births.items() if parent[k]]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default="build")
    ap.add_argument("--seeds", default="1,2,3")
    ap.add_argument("--frames", type=int, default=40)
    ap.add_argument("--cells", type=int, default=10)
    ap.add_argument("--rate", default="0.02")
    ap.add_argument("--jobs", default="2")
    a = ap.parse_args()
    sim, track = os.path.join(a.build, "vantu-sim"), os.path.join(a.build, "vantu-track")
    print("| seed | true complete cycles | median (frames) | found | median (frames) | difference |")
    print("|---|---|---|---|---|---|")
    for seed in a.seeds.split(","):
        d = tempfile.mkdtemp(prefix="vantu-cycle-")
        try:
            subprocess.run([sim, "--timelapse", d + "/tl", "--frames", str(a.frames), "--cells", str(a.cells), "--seed",
                            seed, "--missing", a.rate, "--spurious", a.rate, "--noise", "1"], check=True, capture_output=True)
            frames = sorted(f for f in os.listdir(d + "/tl") if f.startswith("frame_"))
            subprocess.run([track, "-j", a.jobs, "-o", d + "/out"] + [d + "/tl/" + f for f in frames],
                           check=True, capture_output=True)
            truth = true_cycles(d + "/tl/truth_tracks.csv")
            found = [float(r["cycle_frames"]) for r in csv.DictReader(open(d + "/out/tracks.csv")) if r["cycle_frames"]]
            mt, mf = statistics.median(truth), statistics.median(found)
            print("| %s | %d | %g | %d | %g | %+g |" % (seed, len(truth), mt, len(found), mf, mf - mt), flush=True)
        finally:
            shutil.rmtree(d)


if __name__ == "__main__":
    main()
