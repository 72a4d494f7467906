#!/usr/bin/env python3
"""Accuracy of vantu-track on simulated time-lapses, as a Markdown table.

Each scenario is simulated with vantu-sim (several seeds), tracked without
--config, and scored with the outside checks' scorer (frame-to-frame links,
true daughters found, claimed daughters real).

  bench/track_accuracy.py [--build build] [--scorer PATH] [--frames N] [--cells N]
                          [--seeds 1,2] [--jobs N] [--set NAME=SIM-OPTIONS ...]
                          [--beta-incr 1.075,1.15,1.3,1.5]

Without --set it runs the magnification and motion scenarios of docs/tracking.md.
--beta-incr tracks each time-lapse once per value: the parameters chosen from
the data (vantu-track --prepare) with BetaIncr set to the value (--config),
and adds the CPU seconds of the tracking and the cells per frame to the table
(one row per scenario and value).
"""
import argparse, json, os, re, resource, shutil, subprocess, sys, tempfile, time


def cpu_seconds():
    r = resource.getrusage(resource.RUSAGE_CHILDREN)
    return r.ru_utime + r.ru_stime


def with_beta_incr(config, value):
    """The configuration text with its second value (BetaIncr) replaced."""
    lines, seen = config.split("\n"), 0
    for k, line in enumerate(lines):
        if re.match(r"\s*[-+0-9.]", line):
            seen += 1
            if seen == 2:
                lines[k] = re.sub(r"^\s*\S+", value, line)
                break
    return "\n".join(lines)


def track_runs(track, work, frames, a, incr):
    """(CPU seconds, output folder) per BetaIncr value (None: as chosen)."""
    if not incr:
        subprocess.run([track, "-j", a.jobs, "-o", work + "/out"] + a.track_options.split() + frames,
                       check=True, capture_output=True)
        return [(None, 0.0, work + "/out")]
    subprocess.run([track, "--prepare", "-o", work + "/prep"] + frames, check=True, capture_output=True)
    chosen = open(work + "/prep/softconfig.dat").read()
    runs = []
    for value in incr:
        out = work + "/out" + value
        os.makedirs(out)
        with open(out + ".cfg", "w") as f:
            f.write(with_beta_incr(chosen, value))
        start = cpu_seconds()
        subprocess.run([track, "-j", a.jobs, "-o", out, "--config", out + ".cfg"] + a.track_options.split() + frames,
                       check=True, capture_output=True)
        runs.append((value, cpu_seconds() - start, out))
    shutil.copy(work + "/prep/softconfig.dat", runs[0][2] + "/softconfig.dat")  # for the notes below
    return runs

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
    ap.add_argument("--beta-incr", default="")
    a = ap.parse_args()
    incr = [v for v in a.beta_incr.split(",") if v]
    if not os.path.exists(a.scorer):
        sys.exit("no scorer at %s (give --scorer PATH)" % a.scorer)
    scen = [tuple(s.split("=", 1)) for s in a.set] or SCENARIOS
    sim, track = os.path.join(a.build, "vantu-sim"), os.path.join(a.build, "vantu-track")
    extra = " BetaIncr | CPU s | cells per frame |" if incr else ""
    print("| scenario | spacing px | motion px |%s links right | daughters found | claimed daughters real | cells |" % extra)
    print("|---|---|---|" + "---|" * (3 if incr else 0) + "---|---|---|---|")
    for name, opts in scen:
        tot = {}
        notes, sizes = [], []
        for seed in a.seeds.split(","):
            work = tempfile.mkdtemp(prefix="vantu-acc-")
            try:
                subprocess.run([sim, "--timelapse", work + "/tl", "--frames", str(a.frames), "--cells", str(a.cells),
                                "--seed", seed] + opts.split(), check=True, capture_output=True)
                frames = sorted(f for f in os.listdir(work + "/tl") if f.startswith("frame_"))
                paths = [work + "/tl/" + f for f in frames]
                sizes += [sum(1 for line in open(paths[0]) if line.strip()), sum(1 for line in open(paths[-1]) if line.strip())]
                for value, cpu, out in track_runs(track, work, paths, a, incr):
                    m = re.search(r"spacing ([\d.e+-]+) px, (?:largest )?motion between frames ([\d.e+-]+)",
                                  open(out + "/softconfig.dat").read())
                    if m and value == (incr[0] if incr else None):
                        notes.append((float(m.group(1)), float(m.group(2))))
                    s = json.loads(subprocess.run(["python3", a.scorer, out + "/cells.csv", work + "/tl/truth.csv", "--json"],
                                                  check=True, capture_output=True, text=True).stdout)
                    t = tot.setdefault(value, dict(cells=0, links=0.0, drec=0.0, dtrue=0, dprec=0.0, dpred=0, cpu=0.0))
                    t["cpu"] += cpu
                    t["cells"] += s["cells"]
                    t["links"] += s["links"] * s["cells"]
                    t["drec"] += s["daughters_recall"] * s["true_daughters"]
                    t["dtrue"] += s["true_daughters"]
                    t["dprec"] += s["daughters_precision"] * s["predicted_daughters"]
                    t["dpred"] += s["predicted_daughters"]
            finally:
                shutil.rmtree(work)
        sp = "%.1f" % (sum(n[0] for n in notes) / len(notes)) if notes else "-"
        mo = "%.1f" % max(n[1] for n in notes) if notes else "-"
        for value, t in tot.items():
            cols = " %s | %.0f | %d-%d |" % (value, t["cpu"], min(sizes), max(sizes)) if incr else ""
            print("| %s | %s | %s |%s %.3f | %.3f (%d) | %.3f (%d) | %d |" % (
                name, sp, mo, cols, t["links"] / max(t["cells"], 1), t["drec"] / max(t["dtrue"], 1), t["dtrue"],
                t["dprec"] / max(t["dpred"], 1), t["dpred"], t["cells"]), flush=True)


if __name__ == "__main__":
    main()
