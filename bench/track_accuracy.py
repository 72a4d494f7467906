#!/usr/bin/env python3
"""Accuracy of vantu-track on simulated time-lapses, as a Markdown table.

Each scenario is simulated with vantu-sim (several seeds), tracked without
--config, and scored with the outside checks' scorer (frame-to-frame links,
true daughters found, claimed daughters real).

  bench/track_accuracy.py [--build build] [--scorer PATH] [--frames N] [--cells N]
                          [--seeds 1,2] [--jobs N] [--set NAME=SIM-OPTIONS ...]

Without --set it runs the magnification and motion scenarios of docs/tracking.md.
"""
import argparse, json, os, re, shutil, subprocess, sys, tempfile, time

SCENARIOS = [
    ("0.5x", "--magnification 0.5"),
    ("1x", "--magnification 1"),
    ("3x", "--magnification 3"),
    ("1x, motion x2", "--step 2"),
    ("1x, motion x3", "--step 3"),
    ("0.5x, motion x3", "--magnification 0.5 --step 3"),
]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default="build")
    ap.add_argument("--scorer", default=os.path.join(os.path.dirname(__file__), "..", "..", "shared", "tools", "score_lineage.py"))
    ap.add_argument("--frames", type=int, default=12)
    ap.add_argument("--cells", type=int, default=40)
    ap.add_argument("--seeds", default="1,2")
    ap.add_argument("--jobs", default="2")
    ap.add_argument("--track-options", default="")
    ap.add_argument("--set", action="append", default=[])
    a = ap.parse_args()
    if not os.path.exists(a.scorer):
        sys.exit("no scorer at %s (give --scorer PATH)" % a.scorer)
    scen = [tuple(s.split("=", 1)) for s in a.set] or SCENARIOS
    sim, track = os.path.join(a.build, "vantu-sim"), os.path.join(a.build, "vantu-track")
    print("| scenario | spacing px | motion px | links right | daughters found | claimed daughters real | cells |")
    print("|---|---|---|---|---|---|---|")
    for name, opts in scen:
        tot = dict(cells=0, links=0.0, drec=0.0, dtrue=0, dprec=0.0, dpred=0)
        notes = []
        for seed in a.seeds.split(","):
            work = tempfile.mkdtemp(prefix="vantu-acc-")
            try:
                subprocess.run([sim, "--timelapse", work + "/tl", "--frames", str(a.frames), "--cells", str(a.cells),
                                "--seed", seed] + opts.split(), check=True, capture_output=True)
                frames = sorted(f for f in os.listdir(work + "/tl") if f.startswith("frame_"))
                subprocess.run([track, "-j", a.jobs, "-o", work + "/out"] + a.track_options.split() +
                               [work + "/tl/" + f for f in frames], check=True, capture_output=True)
                m = re.search(r"spacing ([\d.e+-]+) px, largest motion between frames ([\d.e+-]+)",
                              open(work + "/out/softconfig.dat").read())
                if m:
                    notes.append((float(m.group(1)), float(m.group(2))))
                s = json.loads(subprocess.run(["python3", a.scorer, work + "/out/cells.csv", work + "/tl/truth.csv", "--json"],
                                              check=True, capture_output=True, text=True).stdout)
                tot["cells"] += s["cells"]
                tot["links"] += s["links"] * s["cells"]
                tot["drec"] += s["daughters_recall"] * s["true_daughters"]
                tot["dtrue"] += s["true_daughters"]
                tot["dprec"] += s["daughters_precision"] * s["predicted_daughters"]
                tot["dpred"] += s["predicted_daughters"]
            finally:
                shutil.rmtree(work)
        sp = "%.1f" % (sum(n[0] for n in notes) / len(notes)) if notes else "-"
        mo = "%.1f" % max(n[1] for n in notes) if notes else "-"
        print("| %s | %s | %s | %.3f | %.3f (%d) | %.3f (%d) | %d |" % (
            name, sp, mo, tot["links"] / max(tot["cells"], 1), tot["drec"] / max(tot["dtrue"], 1), tot["dtrue"],
            tot["dprec"] / max(tot["dpred"], 1), tot["dpred"], tot["cells"]), flush=True)


if __name__ == "__main__":
    main()
