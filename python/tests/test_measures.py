"""Fluorescence per cell (--intensity, intensity=) and lineage.geff read back with zarr.

Run by CTest with Debian's python3 (numpy, pandas, tifffile, zarr) beside test_vantu.py,
whose simulated time-lapse it shares.
"""

import json
import os
import subprocess
import unittest

import numpy as np
import pandas as pd
import tifffile

import test_vantu
import vantu
from test_vantu import program

try:
    import zarr
except ImportError:  # Debian's python3-zarr
    zarr = None


class FluorescenceMovie(test_vantu.SimulatedTimeLapse):
    """The simulated masks with three channels (16-bit folder, 8-bit and float stacks), tracked once."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        if "out" in FluorescenceMovie.__dict__:
            return
        cls = FluorescenceMovie
        labels = np.stack([tifffile.imread(p) for p in cls.masks])
        rng = np.random.default_rng(5)
        cells = (labels > 0) * rng.integers(1000, 60000, labels.shape)
        cls.gfp = (rng.integers(90, 130, labels.shape) + cells).astype(np.uint16)
        cls.labels = labels
        cls.gfp_dir = os.path.join(cls.dir, "gfp")
        os.makedirs(cls.gfp_dir, exist_ok=True)
        for t, image in enumerate(cls.gfp):  # numbered like the masks, from another name
            tifffile.imwrite(os.path.join(cls.gfp_dir, "gfp_t%03d.tif" % t), image)
        cls.stacks = {}
        for name, kind in (("u8", np.uint8), ("f32", np.float32)):
            cls.stacks[name] = (cls.gfp // 300).astype(kind) if kind == np.uint8 else cls.gfp.astype(kind) * 0.37
            tifffile.imwrite(os.path.join(cls.dir, name + ".tif"), cls.stacks[name])
        cls.out = cls.track_cli("fluorescence", cls.masks, "--intensity", "gfp=" + cls.gfp_dir,
                                "--intensity", "u8=" + os.path.join(cls.dir, "u8.tif"),
                                "--intensity", "f32=" + os.path.join(cls.dir, "f32.tif"),
                                "--pixel-size", "0.1", "--frame-interval", "5")
        cls.cells = pd.read_csv(os.path.join(cls.out, "cells.csv"), float_precision="round_trip")


class Fluorescence(FluorescenceMovie):
    """A channel of each pixel kind, measured exactly over every cell's mask pixels."""

    def test_mean_sum_and_background_are_those_of_the_mask_pixels(self):
        images = {"gfp": self.gfp, **self.stacks}
        columns = list(self.cells.columns)
        self.assertEqual(columns[columns.index("border") + 1:],
                         ["%s_%s" % (n, m) for n in ("gfp", "u8", "f32") for m in ("mean", "total", "background")])
        for row in self.cells.itertuples():
            inside = self.labels[row.frame] == row.id
            for name in ("gfp", "u8"):
                values = images[name][row.frame][inside]
                self.assertEqual(getattr(row, name + "_mean"), values.mean())
                self.assertEqual(getattr(row, name + "_total"), values.sum())
            f32 = images["f32"][row.frame][inside].astype(np.float64)
            self.assertAlmostEqual(row.f32_total / f32.sum(), 1.0, places=12)
            self.assertEqual(row.gfp_background, np.median(self.gfp[row.frame][self.labels[row.frame] == 0]))

    def test_tracks_carry_the_mean_over_their_cells(self):
        tracks = pd.read_csv(os.path.join(self.out, "tracks.csv"))
        means = self.cells.groupby("track").gfp_mean.mean()
        np.testing.assert_allclose(tracks.set_index("track").gfp_mean, means, rtol=1e-5)
        divided = tracks[tracks.fate == "divided"]
        self.assertTrue(divided.gfp_division.notna().all() and tracks.gfp_birth.notna().all())

    def test_python_arrays_give_the_command_lines_columns(self):
        lineage = vantu.track(self.labels, intensity={"gfp": self.gfp, "u8": list(self.stacks["u8"]),
                                                      "f32": self.stacks["f32"]},
                              pixel_size=0.1, frame_interval=5, progress=False)
        pd.testing.assert_frame_equal(lineage.cells, self.cells)

    def test_the_movie_page_colours_cells_by_each_channel(self):
        subprocess.run([program("vantu-plot"), "--movie", self.out], check=True, capture_output=True)
        page = test_vantu.read(os.path.join(self.out, "movie.html"))
        start = page.index('<script id="movie-data" type="application/json">') + 48
        data = json.loads(page[start:page.index("</script>", start)])
        self.assertEqual([c["name"] for c in data["channels"]], ["gfp", "u8", "f32"])
        gfp = data["channels"][0]
        per_frame = self.cells.groupby("frame").size()
        self.assertEqual([len(levels) for levels in gfp["levels"]], per_frame.tolist())
        brightest = self.cells.loc[self.cells.gfp_mean.idxmax()]
        order = self.cells[self.cells.frame == brightest.frame].sort_values("track")
        self.assertEqual(gfp["levels"][int(brightest.frame)][list(order.track).index(brightest.track)], "/")

    def test_refused_before_any_work_naming_the_file(self):
        gap = os.path.join(self.dir, "gfp_gap")
        os.makedirs(gap, exist_ok=True)
        for t in (0, 1, 2, 4, 5):
            tifffile.imwrite(os.path.join(gap, "gfp_t%03d.tif" % t), self.gfp[t])
        tifffile.imwrite(os.path.join(self.dir, "small.tif"), self.gfp[:, :10])
        tifffile.imwrite(os.path.join(self.dir, "rgb.tif"), np.zeros((6, 8, 8, 3), np.uint8), photometric="rgb")
        for given, expected in ((gap, "no image numbered 3"), (os.path.join(self.dir, "small.tif"), "small.tif"),
                                (os.path.join(self.dir, "rgb.tif"), "rgb.tif (page 0): a colour image"),
                                (os.path.join(self.dir, "nowhere"), "nowhere does not exist")):
            out = os.path.join(self.dir, "refused")
            with self.subTest(given=given):
                done = subprocess.run([program("vantu-track"), "-o", out, "--intensity", "gfp=" + given, *self.masks],
                                      capture_output=True, text=True)
                self.assertEqual(done.returncode, 1)
                self.assertIn(expected, done.stderr)
                self.assertFalse(os.path.exists(out))
        for options, expected in ((["--intensity", "2x=" + self.gfp_dir], "no channel name"),
                                  (["--intensity", "a=" + self.gfp_dir, "--intensity", "a=" + self.gfp_dir], "twice")):
            done = subprocess.run([program("vantu-track"), "-o", out, *options, *self.masks], capture_output=True,
                                  text=True)
            self.assertIn(expected, done.stderr)
        done = subprocess.run([program("vantu-track"), "-o", out, "--intensity", "g=" + self.gfp_dir, *self.frames],
                              capture_output=True, text=True)
        self.assertIn("point files and tables have none", done.stderr)
        with self.assertRaisesRegex(ValueError, "3 images for 6 frames"):
            vantu.track(self.labels, intensity={"gfp": self.gfp[:3]}, progress=False)


@unittest.skipIf(zarr is None, "needs python3-zarr")
class Geff(FluorescenceMovie):
    """lineage.geff holds the nodes and links of cells.csv and keeps the format's rules."""

    def test_nodes_and_edges_are_the_cells_and_links(self):
        group = zarr.open_group(os.path.join(self.out, "lineage.geff"), mode="r")
        meta = group.attrs["geff"]
        ids = group["nodes/ids"][:]
        self.assertEqual(len(np.unique(ids)), len(ids))
        np.testing.assert_array_equal(ids, np.arange(len(self.cells)))
        props = {name: group["nodes/props/%s/values" % name][:] for name in group["nodes/props"].group_keys()}
        self.assertEqual(set(props), set(meta["node_props_metadata"]))
        for name, values in props.items():
            self.assertEqual(str(values.dtype), meta["node_props_metadata"][name]["dtype"], name)
            self.assertEqual(len(values), len(ids))
        for axis in meta["axes"]:
            self.assertNotIn("missing", group["nodes/props/" + axis["name"]])
        self.assertEqual([a.get("unit") for a in meta["axes"]], ["minute", "micrometer", "micrometer"])
        self.assertEqual(meta["track_node_props"], {"tracklet": "track", "lineage": "lineage"})
        cells = self.cells
        for column, prop, scale in (("frame", "frame", 1), ("id", "seg_id", 1), ("track", "track", 1),
                                    ("frame", "t", 5), ("x", "x", 0.1), ("y", "y", 0.1), ("flag", "flag", 1),
                                    ("gfp_mean", "gfp_mean", 1), ("gfp_total", "gfp_total", 1)):
            np.testing.assert_allclose(props[prop], cells[column] * scale, rtol=1e-15, err_msg=prop)
        np.testing.assert_allclose(props["confidence"], cells.confidence, atol=5e-4)
        # The links of cells.csv: each cell to its track's next, a mother's last cell to her daughters' first.
        row = {(f, i): k for k, (f, i) in enumerate(zip(cells.frame, cells.id))}
        expected = set()
        by_track = {t: g.sort_values("frame") for t, g in cells.groupby("track")}
        for track, g in by_track.items():
            keys = [row[(f, i)] for f, i in zip(g.frame, g.id)]
            expected.update(zip(keys, keys[1:]))
            parent = g.parent_track.iloc[0]
            if parent:
                last = by_track[parent].iloc[-1]
                expected.add((row[(last.frame, last.id)], keys[0]))
        edges = group["edges/ids"][:]
        self.assertEqual(edges.dtype, ids.dtype)
        self.assertEqual(set(map(tuple, edges.tolist())), expected)
        self.assertEqual(len(edges), len(expected))

    def test_the_arrays_are_raw_chunks_and_a_rerun_replaces_the_folder_whole(self):
        zarray = json.loads(test_vantu.read(os.path.join(self.out, "lineage.geff/nodes/ids/.zarray")))
        self.assertIsNone(zarray["compressor"])
        again = self.track_cli("geff_again", self.masks)
        stray = os.path.join(again, "lineage.geff", "notes.txt")
        open(stray, "w").close()
        done = subprocess.run([program("vantu-track"), "-o", again, *self.masks], capture_output=True, text=True)
        self.assertIn("notes.txt was not written by vantu", done.stderr)
        os.remove(stray)
        os.makedirs(os.path.join(again, "lineage.geff/nodes/props/old_channel/values"))
        open(os.path.join(again, "lineage.geff/nodes/props/old_channel/values/0"), "w").close()
        self.track_cli("geff_again", self.masks)
        self.assertFalse(os.path.exists(os.path.join(again, "lineage.geff/nodes/props/old_channel")))
        self.assertEqual(sorted(n for n in os.listdir(again) if "geff" in n), ["lineage.geff"])


if __name__ == "__main__":
    unittest.main()
