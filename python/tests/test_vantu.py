"""The Python module against the command line, on a simulated time-lapse.

Run by CTest with Debian's python3; PYTHONPATH holds build/python and
VANTU_BUILD_DIR the build folder with vantu, vantu-track and vantu-sim.
"""

import os
import signal
import subprocess
import tempfile
import threading
import unittest

import numpy as np
import pandas as pd
import tifffile

import vantu

BUILD = os.environ.get("VANTU_BUILD_DIR", os.path.join(os.path.dirname(__file__), "..", "..", "build"))


def program(name):
    return os.path.join(BUILD, name)


def read(path, mode="r"):
    with open(path, mode) as f:
        return f.read()


class SimulatedTimeLapse(unittest.TestCase):
    """One small simulated time-lapse (point files, table, masks) and the command line's lineages of it."""

    @classmethod
    def setUpClass(cls):
        # Made once for every class of behaviours below.
        if "dir" in SimulatedTimeLapse.__dict__:
            return
        cls = SimulatedTimeLapse
        cls.tmp = tempfile.TemporaryDirectory()
        cls.dir = cls.tmp.name
        subprocess.run([program("vantu-sim"), "--timelapse", cls.sim(""), "--frames", "6", "--cells", "12",
                        "--seed", "3", "--magnification", "0.5", "--masks", "tif"], check=True, capture_output=True)
        cls.frames = [cls.sim("frame_%04d.dat" % t) for t in range(6)]
        cls.masks = [cls.sim("mask_%04d.tif" % t) for t in range(6)]
        cls.table = cls.sim("cells.csv")
        cls.cli = {kind: cls.track_cli(kind, inputs)
                   for kind, inputs in (("frames", cls.frames), ("masks", cls.masks), ("table", [cls.table]))}

    @classmethod
    def sim(cls, name):
        return os.path.join(cls.dir, "sim", name)

    @classmethod
    def track_cli(cls, kind, inputs, *options):
        out = os.path.join(cls.dir, "cli_" + kind)
        subprocess.run([program("vantu-track"), "-j", "2", "-o", out, *options, *inputs], check=True,
                       capture_output=True)
        return out

    def assertSameLineage(self, lineage, cli_dir):
        self.assertEqual(lineage._run.cells_csv, read(os.path.join(cli_dir, "cells.csv")))
        self.assertEqual(lineage._run.res_track, read(os.path.join(cli_dir, "res_track.txt")))
        self.assertEqual(lineage._run.tracks_csv, read(os.path.join(cli_dir, "tracks.csv")))
        self.assertEqual(lineage.units, read(os.path.join(cli_dir, "units")))
        self.assertEqual(lineage.params, read(os.path.join(cli_dir, "softconfig.dat")))
        for table, name in ((lineage.cells, "cells.csv"), (lineage.tracks, "tracks.csv")):
            expected = pd.read_csv(os.path.join(cli_dir, name), float_precision="round_trip")
            pd.testing.assert_frame_equal(table, expected)

    def label_stack(self):
        return np.stack([tifffile.imread(p) for p in self.masks])


class Routes(SimulatedTimeLapse):
    """Every kind of input gives the lineage vantu-track makes of the same cells."""

    def test_label_array(self):
        lineage = vantu.track(self.label_stack(), jobs=2, progress=False)
        self.assertSameLineage(lineage, self.cli["masks"])
        self.assertLessEqual({"area", "width", "flag", "generation", "confidence"}, set(lineage.cells.columns))

    def test_list_of_arrays_of_any_integer_type(self):
        stack = [a.astype(np.int64) for a in self.label_stack()]
        self.assertSameLineage(vantu.track(stack, jobs=1, progress=False), self.cli["masks"])

    def test_dataframe(self):
        df = pd.read_csv(self.table, float_precision="round_trip")
        self.assertSameLineage(vantu.track(df, progress=False), self.cli["table"])

    def test_dataframe_with_renamed_columns_and_row_angles(self):
        df = pd.read_csv(self.table, float_precision="round_trip")
        renamed = df.rename(columns={"x": "centroid-1", "frame": "t"})
        path = os.path.join(self.dir, "renamed.csv")
        renamed.to_csv(path, index=False)
        out = self.track_cli("renamed", [path], "--columns", "x=centroid-1,frame=t", "--angles", "row-degrees")
        lineage = vantu.track(renamed, columns={"x": "centroid-1", "frame": "t"}, angles="row-degrees",
                              progress=False)
        self.assertSameLineage(lineage, out)

    def test_paths_of_every_kind(self):
        for kind, inputs in (("frames", self.frames), ("masks", self.masks), ("table", [self.table])):
            with self.subTest(kind=kind):
                self.assertSameLineage(vantu.track(inputs, progress=False), self.cli[kind])

    def test_blank_frame_is_a_gap(self):
        stack = self.label_stack()
        stack[2] = 0
        folder = os.path.join(self.dir, "blank")
        os.makedirs(folder, exist_ok=True)
        paths = [os.path.join(folder, "mask_%04d.tif" % t) for t in range(len(stack))]
        for path, labels in zip(paths, stack):
            tifffile.imwrite(path, labels)
        out = self.track_cli("blank", paths)
        with self.assertWarnsRegex(vantu.VantuWarning, r"labels\[2\] has no cells; the tracks cross frame 2"):
            lineage = vantu.track(stack, progress=False)
        self.assertSameLineage(lineage, out)
        self.assertNotIn(2, set(lineage.cells.frame))

    def test_wide_frames_keep_width_and_height_apart(self):
        # 800 rows x 1024 columns, the cells in columns past 800: the
        # conversion must give the library width 1024 and height 800.
        small = self.label_stack()
        t, h, w = small.shape
        wide = np.zeros((t, 800, 1024), dtype=small.dtype)
        wide[:, 800 - h:, 1024 - w:] = small
        folder = os.path.join(self.dir, "wide")
        os.makedirs(folder, exist_ok=True)
        paths = [os.path.join(folder, "mask_%04d.tif" % k) for k in range(t)]
        for path, labels in zip(paths, wide):
            tifffile.imwrite(path, labels)
        out = self.track_cli("wide", paths)
        lineage = vantu.track(wide, progress=False)
        self.assertSameLineage(lineage, out)
        self.assertGreater(lineage.cells.x.min(), 1024 - w - 1)
        self.assertGreater((lineage.tracks.parent_track != 0).sum(), 0)
        written = os.path.join(self.dir, "wide_written")
        lineage.write(written)
        self.assertEqual(read(os.path.join(written, "mask000.tif"), "rb"), read(os.path.join(out, "mask000.tif"), "rb"))

    def test_cut_cells_are_flagged(self):
        lineage = vantu.track(self.label_stack(), progress=False)
        self.assertEqual(lineage.cells.columns[-1], "border")
        self.assertEqual(list(lineage.tracks.columns[-2:]), ["border_cells", "suspect"])
        stack = self.label_stack()
        edge = set(np.unique(stack[0][0])) | set(np.unique(stack[0][-1])) | set(np.unique(stack[0][:, 0])) \
            | set(np.unique(stack[0][:, -1]))
        first = lineage.cells[lineage.cells.frame == 0]
        self.assertEqual(set(first.id[first.border == 1]), edge - {0})

    def test_units(self):
        out = self.track_cli("units", self.masks, "--pixel-size", "0.065", "--frame-interval", "5")
        lineage = vantu.track(self.label_stack(), pixel_size=0.065, frame_interval=5, progress=False)
        self.assertSameLineage(lineage, out)
        self.assertIn("cycle_minutes", lineage.tracks.columns)
        self.assertIn("mean_length_um", lineage.tracks.columns)
        # Messages name Python's keywords, not the command line's options.
        with self.assertWarnsRegex(vantu.VantuWarning, "^with pixel_size=5 the median cell .* is the pixel size right"):
            vantu.track(self.label_stack(), pixel_size=5, progress=False)

    def test_version(self):
        self.assertRegex(vantu.__version__, r"^\d+\.\d+\.\d+$")

    def test_repairs_off_is_the_raw_chaining(self):
        out = self.track_cli("raw", self.frames, "--raw")
        self.assertSameLineage(vantu.track(self.frames, repairs=False, progress=False), out)

    def test_corrections_as_a_dataframe_or_a_path(self):
        cells = pd.read_csv(os.path.join(self.cli["frames"], "cells.csv"))
        first, later = cells[cells.frame == 2].iloc[0], cells[cells.frame == 3].iloc[0]
        fixes = pd.DataFrame({"frame": [3, 2], "id": [later.id, first.id], "action": ["new", "debris"],
                              "from_frame": [np.nan, np.nan], "from_id": [np.nan, np.nan]})
        path = os.path.join(self.dir, "fixes.csv")
        fixes.to_csv(path, index=False)
        out = self.track_cli("fixed", self.frames, "--corrections", path)
        self.assertSameLineage(vantu.track(self.frames, corrections=fixes, progress=False), out)
        lineage = vantu.track(self.frames, corrections=path, progress=False)
        self.assertSameLineage(lineage, out)
        self.assertEqual(int(lineage.cells.by_hand.sum()), 2)
        self.assertNotIn("by_hand", vantu.track(self.frames, corrections=fixes.iloc[:0], progress=False).cells)

    def test_config_file(self):
        config = os.path.join(self.cli["frames"], "softconfig.dat")
        lineage = vantu.track(self.frames, config=config, progress=False)
        self.assertSameLineage(lineage, self.cli["frames"])


class Outputs(SimulatedTimeLapse):
    """What a Lineage gives: napari's three arguments and the command line's folder."""

    def test_napari_shapes(self):
        lineage = vantu.track(self.frames, progress=False)
        data, graph, features = lineage.napari()
        cells = lineage.cells
        self.assertEqual(data.shape, (len(cells), 4))
        self.assertEqual(len(features), len(cells))
        self.assertNotIn("track", features.columns)
        self.assertIn("length", features.columns)
        # Sorted by track then frame, and row for row with the features.
        order = np.lexsort((data[:, 1], data[:, 0]))
        np.testing.assert_array_equal(order, np.arange(len(data)))
        daughters = cells[cells.parent_track != 0].groupby("track").parent_track.first()
        self.assertEqual(graph, {int(t): [int(p)] for t, p in daughters.items()})
        self.assertGreater(len(graph), 0)

    def test_write_is_the_command_lines_folder(self):
        lineage = vantu.track(self.label_stack(), progress=False)
        out = os.path.join(self.dir, "written", "deeper")
        lineage.write(out)
        cli = self.cli["masks"]
        names = ["cells.csv", "tracks.csv", "units", "res_track.txt", "softconfig.dat"]
        for name in names + ["mask%03d.tif" % t for t in range(6)]:
            with self.subTest(name=name):
                self.assertEqual(read(os.path.join(out, name), "rb"), read(os.path.join(cli, name), "rb"))
        self.assertTrue(os.path.exists(os.path.join(out, "pairs.log")))

    def test_write_keeps_files_it_did_not_write(self):
        lineage = vantu.track(self.frames, progress=False)
        out = os.path.join(self.dir, "foreign")
        os.makedirs(out, exist_ok=True)
        with open(os.path.join(out, "cells.csv"), "w") as f:
            f.write("my own table\n")
        with self.assertRaisesRegex(FileExistsError, "was not written by vantu"):
            lineage.write(out)
        self.assertEqual(read(os.path.join(out, "cells.csv")), "my own table\n")
        self.assertFalse(os.path.exists(os.path.join(out, "res_track.txt")))

    def test_write_keeps_another_movies_results_unless_forced(self):
        out = os.path.join(self.dir, "movies")
        vantu.track(self.frames, progress=False).write(out)
        other = vantu.track([self.table], progress=False)
        with self.assertRaisesRegex(FileExistsError, "another movie"):
            other.write(out)
        self.assertEqual(read(os.path.join(out, "cells.csv")), read(os.path.join(self.cli["frames"], "cells.csv")))
        other.write(out, force=True)
        self.assertEqual(read(os.path.join(out, "cells.csv")), read(os.path.join(self.cli["table"], "cells.csv")))

    def test_a_lineage_from_memory_is_a_movie_of_its_own(self):
        # The command line's folder is not replaced by arrays, and the arrays'
        # results are not replaced by another movie, unless forced.
        out = self.track_cli("memory", self.masks)
        stack = self.label_stack()
        with self.assertRaisesRegex(FileExistsError, "another movie"):
            vantu.track(stack, progress=False).write(out)
        self.assertEqual(len([n for n in os.listdir(out) if n.startswith("mask")]), 6)
        vantu.track(stack, progress=False).write(out, force=True)
        self.assertNotEqual(read(os.path.join(out, ".vantu-inputs")).splitlines()[1:], [])
        vantu.track(list(stack), progress=False).write(out)  # the same arrays again
        for other in (stack[:5], pd.read_csv(self.table)):
            with self.subTest(other=type(other).__name__), self.assertRaisesRegex(FileExistsError, "another movie"):
                vantu.track(other, progress=False).write(out)
        self.assertNotEqual(subprocess.run([program("vantu-track"), "-o", out, *self.frames], capture_output=True).returncode, 0)

    def test_progress_reaches_every_pair(self):
        seen = []
        vantu.track(self.frames, jobs=2, progress=lambda done, total: seen.append((done, total)))
        self.assertEqual(seen[-1], (5, 5))
        self.assertEqual([d for d, _ in seen], sorted(d for d, _ in seen))


class Refusals(SimulatedTimeLapse):
    """Bad input raises the exception of its kind with the command line's message; the interpreter goes on."""

    def assertRaisesWith(self, kind, text, *args, **kwargs):
        with self.assertRaises(kind) as caught:
            vantu.track(*args, progress=False, **kwargs)
        self.assertIn(text, str(caught.exception))

    def test_movie_input_options(self):
        folder = os.path.join(self.dir, "movie_input")
        os.makedirs(folder, exist_ok=True)
        # A (T, C, Y, X) hyperstack whose first channel holds the masks, and int32 masks.
        stack = self.label_stack()
        hyper = os.path.join(folder, "hyper.tif")
        tifffile.imwrite(hyper, np.stack([stack, stack[:, ::-1]], axis=1), imagej=True, metadata={"axes": "TCYX"})
        self.assertRaisesWith(ValueError, "channel=1 to channel=2", [hyper])
        self.assertRaisesWith(ValueError, "channel: 0 is not a channel number from 1", [hyper], channel=0)
        self.assertSameLineage(vantu.track([hyper], channel=1, progress=False), self.cli["masks"])
        plain = os.path.join(folder, "tc.tif")  # the same without ImageJ's description: tifffile's shape
        tifffile.imwrite(plain, np.stack([stack, stack[:, ::-1]], axis=1))
        self.assertRaisesWith(ValueError, "channel=1 to channel=2", [plain])
        self.assertSameLineage(vantu.track([plain], channel=1, progress=False), self.cli["masks"])
        signed = [os.path.join(folder, "int32_%d.tif" % t) for t in range(len(stack))]
        for path, labels in zip(signed, stack):
            tifffile.imwrite(path, labels.astype(np.int32))
        self.assertSameLineage(vantu.track(signed, progress=False), self.cli["masks"])
        # Frame numbers by a pattern; a long gap only when allowed.
        named = [os.path.join(folder, "img_t%03d_ch1.dat" % t) for t in range(len(self.frames))]
        for src, dst in zip(self.frames, named):
            with open(dst, "w") as f:
                f.write(read(src))
        self.assertRaisesWith(ValueError, "both have frame number 1", named)
        self.assertSameLineage(vantu.track(named, frame_number=r"t(\d+)", progress=False), self.cli["frames"])
        df = pd.read_csv(self.table)
        df.loc[df.frame == df.frame.max(), "frame"] = 400
        self.assertRaisesWith(ValueError, "Give allow_gaps=True to track across", df)
        self.assertEqual(vantu.track(df, allow_gaps=True, progress=False).cells.frame.max(), 400)

    def test_arrays(self):
        stack = self.label_stack()
        self.assertRaisesWith(ValueError, "integers", stack.astype(float))
        self.assertRaisesWith(ValueError, "(T, Y, X)", stack[0])
        negative = stack.astype(np.int32)
        negative[2, 0, 0] = -1
        self.assertRaisesWith(ValueError, "labels[2]: negative label -1", negative)
        self.assertRaisesWith(ValueError, "every frame must have the same size", [stack[0], stack[1][:-1]])
        self.assertRaisesWith(ValueError, "at least two frames", stack[:1])
        self.assertRaisesWith(ValueError, "cannot choose the parameters", np.ones((3, 8, 8), np.uint8))

    def test_tables(self):
        df = pd.read_csv(self.table)
        self.assertRaisesWith(ValueError, 'DataFrame: no column "length" for the length',
                              df.drop(columns=["length"]))
        nan = df.copy()
        nan.loc[4, "x"] = np.nan
        self.assertRaisesWith(ValueError, 'DataFrame row 4: non-numeric value "nan" in column "x"', nan)
        twice = df.copy()
        twice.loc[1, "id"] = twice.loc[0, "id"]
        self.assertRaisesWith(ValueError, "appears twice in frame 0 (first on row 0)", twice)
        self.assertRaisesWith(ValueError, 'unknown role "z"', df, columns={"z": "x"})
        self.assertRaisesWith(ValueError, "is not degrees", df, angles="radians")
        fixes = pd.DataFrame({"frame": [3], "id": [9999], "action": ["new"], "from_frame": [None], "from_id": [None]})
        self.assertRaisesWith(ValueError, "corrections DataFrame:2: frame 3 has no cell with id 9999", self.frames,
                              corrections=fixes)
        self.assertRaisesWith(ValueError, 'corrections: no column "action"', self.frames,
                              corrections=fixes.drop(columns=["action"]))
        self.assertRaisesWith(TypeError, "corrections: a DataFrame or a path", self.frames, corrections=3)
        self.assertRaisesWith(FileNotFoundError, "corrections file", self.frames,
                              corrections=os.path.join(self.dir, "none.csv"))

    def test_files(self):
        missing = self.frames[:2] + [os.path.join(self.dir, "frame_0099.dat")]
        self.assertRaisesWith(FileNotFoundError, "cannot read frame file", missing)
        missing_mask = os.path.join(self.dir, "mask_0099.tif")
        self.assertRaisesWith(FileNotFoundError, "mask_0099.tif", self.masks[:2] + [missing_mask])
        folder = os.path.join(self.dir, "frame_0009.dat")
        os.makedirs(folder, exist_ok=True)
        self.assertRaisesWith(OSError, "cannot read frame file", self.frames[:2] + [folder])
        self.assertRaisesWith(ValueError, "mix masks", self.frames[:2] + self.masks[:1])
        # A NUL would cut the path short in the C library: refused, not cut.
        self.assertRaisesWith(ValueError, "NUL", [self.frames[0] + "\0.extra"] + self.frames[1:])
        self.assertRaisesWith(ValueError, "NUL", self.frames, config=self.frames[0] + "\0")
        # The kind comes from the library, not from the message's words: a
        # missing file whose message says nothing of "cannot".
        self.assertRaisesWith(FileNotFoundError, "no_such_folder", [os.path.join(self.dir, "no_such_folder")])
        lineage = vantu.track(self.frames, progress=False)
        blocker = os.path.join(self.dir, "a_file")
        open(blocker, "w").close()
        with self.assertRaises(OSError):
            lineage.write(os.path.join(blocker, "out"))

    def test_types(self):
        self.assertRaisesWith(TypeError, "data:", 42)
        self.assertRaisesWith(TypeError, "jobs", self.frames, jobs="2")
        self.assertRaisesWith(ValueError, "jobs", self.frames, jobs=-1)
        self.assertRaisesWith(ValueError, "pixel_size", self.frames, pixel_size=float("nan"))
        self.assertRaisesWith(TypeError, "not both", [self.frames[0], np.zeros((4, 4), int)])

    def test_still_usable_after_refusals(self):
        with self.assertRaises(ValueError):
            vantu.track(np.zeros((3, 4, 4)), progress=False)
        self.assertSameLineage(vantu.track(self.frames, progress=False), self.cli["frames"])


class Concurrency(SimulatedTimeLapse):
    """Runs side by side in threads, and runs stopped between pairs."""

    def test_two_tracks_in_threads(self):
        alone = [vantu.track(self.frames, progress=False)._run.cells_csv,
                 vantu.track(self.label_stack(), progress=False)._run.cells_csv]
        results = [None, None]
        inputs = [self.frames, self.label_stack()]

        def run(k):
            results[k] = vantu.track(inputs[k], jobs=2, progress=False)._run.cells_csv

        threads = [threading.Thread(target=run, args=(k,)) for k in range(2)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        self.assertEqual(results, alone)

    def test_ctrl_c_between_pairs(self):
        def interrupt(done, total):
            os.kill(os.getpid(), signal.SIGINT)

        with self.assertRaises(KeyboardInterrupt):
            vantu.track(self.frames, jobs=1, progress=interrupt)
        self.assertSameLineage(vantu.track(self.frames, progress=False), self.cli["frames"])

    def test_exception_in_progress_stops_the_run(self):
        def fail(done, total):
            raise RuntimeError("stop at %d" % done)

        with self.assertRaisesRegex(RuntimeError, r"stop at \d+"):  # the latest count: quick pairs may finish together
            vantu.track(self.frames, jobs=1, progress=fail)


class Matching(SimulatedTimeLapse):
    """Two frames matched as vantu matches them, the matches as Match.dat holds them."""

    def frame(self, t):
        return pd.read_csv(self.frames[t], sep=" ", header=None, names=["x", "y", "length", "angle", "id"],
                           float_precision="round_trip")

    def test_match_is_match_dat(self):
        matches = vantu.match(self.frame(0), self.frame(1))
        work = os.path.join(self.dir, "match")
        os.makedirs(work, exist_ok=True)
        with open(os.path.join(work, "softconfig.dat"), "w") as f:
            f.write(matches.attrs["params"])
        subprocess.run([program("vantu"), self.frames[0], self.frames[1]], cwd=work, check=True,
                       capture_output=True)
        rows = [line.split() for line in read(os.path.join(work, "Match.dat")).splitlines()]
        self.assertEqual(len(rows), len(matches))
        for l in range(3):
            self.assertEqual([int(r[l]) for r in rows], matches["level%d" % l].tolist())
        self.assertEqual([float(r[3]) for r in rows], matches["id"].tolist())
        self.assertGreater((matches.level1 != 0).sum() + (matches.level0 != 0).sum(), len(matches) // 2)

    def test_match_params(self):
        one_level = vantu.match(self.frame(0), self.frame(1), params={"MaxSplit": 1})
        self.assertTrue((one_level.level1 == 0).all() and (one_level.level2 == 0).all())
        with self.assertRaisesRegex(ValueError, 'unknown parameter "Beta"'):
            vantu.match(self.frame(0), self.frame(1), params={"Beta": 1})
        with self.assertRaisesRegex(ValueError, 'second: no column "angle"'):
            vantu.match(self.frame(0), self.frame(1).drop(columns=["angle"]))
        with self.assertRaises(TypeError):
            vantu.match(self.frame(0), self.frames[1])


def tearDownModule():
    if "tmp" in SimulatedTimeLapse.__dict__:
        SimulatedTimeLapse.tmp.cleanup()


if __name__ == "__main__":
    unittest.main()
