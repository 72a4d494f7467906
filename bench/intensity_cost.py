#!/usr/bin/env python3
"""What --intensity adds to a run's time and memory, on the agar movie's masks.

    python3 bench/intensity_cost.py [BUILD] [MASKS] [REPEATS]

Draws a 16-bit fluorescence channel for the masks (a brightness per cell, a
gradient inside it, a dim uneven background, Poisson-like noise) into a
temporary folder, once as one image per frame and once as one stack, then
times vantu-track --prepare (reading and measuring the masks: the part the
channel adds to) and the whole run without and with the channel: the best
wall time of REPEATS runs and the peak resident memory (GNU time).
"""

import os
import subprocess
import sys
import tempfile

import numpy as np
import tifffile

HERE = os.path.dirname(os.path.abspath(__file__))
BUILD = sys.argv[1] if len(sys.argv) > 1 else os.path.join(HERE, "..", "build")
MASKS = sys.argv[2] if len(sys.argv) > 2 else os.path.join(HERE, "..", "..", "shared", "data", "ecoli_agar", "masks")
REPEATS = int(sys.argv[3]) if len(sys.argv) > 3 else 3


def channel(labels, rng):
    h, w = labels.shape
    yy, xx = np.mgrid[0:h, 0:w]
    image = 300 + 40 * np.sin(xx / 97.0) + 30 * np.cos(yy / 61.0)
    brightness = rng.uniform(800, 5000, labels.max() + 1)
    image = image + np.where(labels > 0, brightness[labels], 0) * (1 + 0.1 * np.sin(xx / 7.0))
    return np.clip(rng.normal(image, np.sqrt(image)), 0, 65535).astype(np.uint16)


def measure(args, out):
    wall, cpu, rss = float("inf"), float("inf"), 0
    for _ in range(REPEATS):
        done = subprocess.run(["/usr/bin/time", "-f", "%e %U %S %M", os.path.join(BUILD, "vantu-track"), "-j", "1",
                               "-o", out, *args], capture_output=True, text=True, check=True)
        seconds, user, system, kb = done.stderr.strip().splitlines()[-1].split()
        wall, cpu, rss = min(wall, float(seconds)), min(cpu, float(user) + float(system)), max(rss, int(kb))
    return wall, cpu, rss


def main():
    masks = sorted(os.path.join(MASKS, n) for n in os.listdir(MASKS) if n.endswith(".tif"))
    rng = np.random.default_rng(1)
    with tempfile.TemporaryDirectory() as tmp:
        folder = os.path.join(tmp, "gfp")
        os.makedirs(folder)
        images = []
        for path in masks:
            image = channel(tifffile.imread(path), rng)
            tifffile.imwrite(os.path.join(folder, os.path.basename(path)), image, compression="zlib")
            images.append(image)
        stack = os.path.join(tmp, "gfp.tif")
        tifffile.imwrite(stack, np.stack(images))
        print("%d masks of %d x %d; 16-bit channel as %d deflated files and as one stack"
              % (len(masks), images[0].shape[1], images[0].shape[0], len(masks)))
        print("%-34s %8s %8s %9s" % ("run", "wall s", "CPU s", "peak MB"))
        for what, extra in (("", []), (" --prepare", ["--prepare"])):
            for label, options in (("masks", []), ("masks + gfp folder", ["--intensity", "gfp=" + folder]),
                                   ("masks + gfp stack", ["--intensity", "gfp=" + stack])):
                wall, cpu, kb = measure(extra + options + masks, os.path.join(tmp, "out" + what.strip()))
                print("%-34s %8.2f %8.2f %9.1f" % (label + what, wall, cpu, kb / 1024))


if __name__ == "__main__":
    main()
