"""vantu from Python: a time-lapse of dividing bacteria into a lineage.

    lineage = vantu.track(labels)            # (T, Y, X) label array, list of 2-D
                                             # arrays, DataFrame or list of paths
    lineage.cells, lineage.tracks            # DataFrames of cells.csv, tracks.csv
    lineage.params                           # softconfig.dat of the run
    data, graph, features = lineage.napari() # for napari's add_tracks
    lineage.write("lineage")                 # the folder vantu-track writes

    matches = vantu.match(first, second)     # two frames' cells, Match.dat's matches

The lineage is the one `vantu-track` makes of the same input, byte for byte
in cells.csv and tracks.csv. Matching runs without the GIL on `jobs` threads and stops at
Ctrl-C between pairs. Bad input raises ValueError, TypeError,
FileNotFoundError, FileExistsError or OSError with the command line's message;
what the command line prints as a warning is a VantuWarning (warnings.warn).
"""

import io
import math
import numbers
import os
import warnings

import numpy as np
import pandas as pd

from . import _vantu

__all__ = ["track", "match", "Lineage", "VantuWarning"]

__version__ = _vantu.__version__


class VantuWarning(UserWarning):
    """What vantu-track prints as a warning: a blank frame, a doubtful pixel size, ..."""

_ROLES = ("frame", "x", "y", "length", "angle", "id")
_ROLE_WHAT = {"frame": "frame", "x": "x position", "y": "y position", "length": "length", "angle": "angle",
              "id": "id"}
_ANGLES = ("degrees", "row-radians", "row-degrees")
_REPAIRS = ("assign", "relink", "close_gaps", "check_divisions", "flag_debris")
_LABEL_MAX = 2**32 - 1


def _read_csv_text(text):
    if not text:
        return pd.DataFrame()
    # round_trip: the doubles the text was written from, to the last bit.
    return pd.read_csv(io.StringIO(text), float_precision="round_trip")


class Lineage:
    """The lineage of one run: `.cells`, `.tracks`, `.params`, `.napari()`, `.write(dir)`;
    `.units` holds the text of the folder's `units` file."""

    def __init__(self, run, labels=None, pixel_size=None, frame_interval=None):
        self._run = run
        self._labels = labels
        self.pixel_size = pixel_size
        self.frame_interval = frame_interval
        self.cells = _read_csv_text(run.cells_csv)
        self.tracks = _read_csv_text(run.tracks_csv)
        self.params = run.params
        self.units = run.units
        self.summary = run.summary

    def __repr__(self):
        return "<vantu.Lineage: %s>" % self.summary

    def napari(self):
        """(data, graph, features) for napari: viewer.add_tracks(data, graph=graph, features=features).

        data holds one row `track, frame, y, x` per cell (napari takes y
        before x), sorted by track then frame; graph maps each daughter's
        track to [its mother's track]; features has the other columns of
        `.cells`, row for row with data.
        """
        cells = self.cells.sort_values(["track", "frame"], kind="stable").reset_index(drop=True)
        data = cells[["track", "frame", "y", "x"]].to_numpy(dtype=float)
        parents = cells.groupby("track", sort=True)["parent_track"].first()
        graph = {int(t): [int(p)] for t, p in parents.items() if p != 0}
        features = cells.drop(columns=["track", "frame", "y", "x"])
        return data, graph, features

    def write(self, dir, force=False):
        """Writes the folder `vantu-track -o dir` writes: cells.csv, tracks.csv,
        res_track.txt, softconfig.dat, units, pairs.log and, when the cells
        came from label images, the track masks maskNNN.tif. `force=True`
        replaces the results of another movie there (as --force does)."""
        self._run.write(os.fspath(_path_text(dir, "dir")), self._labels, bool(force))


def _path_text(p, what):
    if isinstance(p, (str, os.PathLike)):
        text = os.fspath(p)
        if (b"\0" if isinstance(text, bytes) else "\0") in text:
            raise ValueError("%s: the path %r contains a NUL character" % (what, text))
        return text
    raise TypeError("%s: a path (str or os.PathLike) is needed, not %s" % (what, type(p).__name__))


def _positive_or_none(v, what):
    if v is None:
        return None
    if isinstance(v, bool) or not isinstance(v, numbers.Real):
        raise TypeError("%s: a number is needed, not %s" % (what, type(v).__name__))
    if not (math.isfinite(v) and v > 0):
        raise ValueError("%s: %r is not a positive number" % (what, v))
    return float(v)


def _repairs_map(repairs):
    if isinstance(repairs, bool):
        return {name: repairs for name in _REPAIRS}
    if isinstance(repairs, dict):
        out = {}
        for name, on in repairs.items():
            if name not in _REPAIRS:
                raise ValueError('repairs: unknown repair "%s" (%s)' % (name, ", ".join(_REPAIRS)))
            out[name] = bool(on)
        return out
    raise TypeError("repairs: True, False or a dict of %s, not %s" % (", ".join(_REPAIRS), type(repairs).__name__))


def _columns_map(columns):
    if columns is None:
        return {}
    if not isinstance(columns, dict):
        raise TypeError("columns: a dict of role to column name, not %s" % type(columns).__name__)
    for role, name in columns.items():
        if role not in _ROLES:
            raise ValueError('columns: unknown role "%s" (frame, x, y, length, angle or id)' % role)
        if not isinstance(name, str):
            raise TypeError('columns: the name for "%s" must be a str' % role)
    return dict(columns)


def _label_frame(a, where):
    """One frame's labels as a C-ordered uint32 array (no copy when it is one)."""
    a = np.asarray(a)
    if a.ndim != 2:
        raise ValueError("%s: a 2-D label array is needed, not %d-D of shape %s" % (where, a.ndim, a.shape))
    if a.dtype == np.bool_ or not np.issubdtype(a.dtype, np.integer):
        raise ValueError("%s: labels must be integers, not %s" % (where, a.dtype))
    if a.shape[0] == 0 or a.shape[1] == 0:
        raise ValueError("%s: empty image of shape %s" % (where, a.shape))
    if a.shape[0] > 2**20 or a.shape[1] > 2**20:
        raise ValueError("%s: image of %d x %d pixels is too large" % (where, a.shape[1], a.shape[0]))
    if a.dtype != np.uint32 and a.size:
        lo, hi = int(a.min()), int(a.max())
        if lo < 0:
            raise ValueError("%s: negative label %d" % (where, lo))
        if hi > _LABEL_MAX:
            raise ValueError("%s: label %d does not fit 32 bits" % (where, hi))
    return np.ascontiguousarray(a, dtype=np.uint32)


def _intensity_arrays(intensity, labels):
    """intensity={name: images} for label arrays: per channel one float64 image per frame, shaped as its labels."""
    out = []
    for name, images in intensity.items():
        where = 'intensity["%s"]' % name
        if isinstance(images, (str, os.PathLike)):
            raise TypeError("%s: a path goes with masks given as paths; with label arrays give an array" % where)
        if isinstance(images, np.ndarray) and images.ndim != 3:
            raise ValueError("%s: a (T, Y, X) array is needed, not %d-D of shape %s" % (where, images.ndim, images.shape))
        images = [np.asarray(a) for a in images]
        if len(images) != len(labels):
            raise ValueError("%s: %d images for %d frames of labels" % (where, len(images), len(labels)))
        frames = []
        for t, a in enumerate(images):
            if a.dtype == np.bool_ or not (np.issubdtype(a.dtype, np.integer) or np.issubdtype(a.dtype, np.floating)):
                raise ValueError("%s[%d]: intensities must be integers or floating point numbers, not %s"
                                 % (where, t, a.dtype))
            if a.shape != labels[t].shape:
                raise ValueError("%s[%d]: shape %s, but labels[%d] has %s" % (where, t, a.shape, t, labels[t].shape))
            frames.append(np.ascontiguousarray(a, dtype=np.float64))
        out.append((name, frames))
    return out


def _intensity_map(intensity):
    if intensity is None:
        return {}
    if not isinstance(intensity, dict):
        raise TypeError("intensity: a dict {name: images} is needed, not %s" % type(intensity).__name__)
    for name in intensity:
        if not isinstance(name, str):
            raise TypeError("intensity: the channel names must be str, not %s" % type(name).__name__)
    return intensity


def _table_columns(df, columns, source):
    """The six role columns of a DataFrame as float arrays, refused as the table reader refuses them."""
    names = {role: columns.get(role, role) for role in _ROLES}
    header = [str(c) for c in df.columns]
    out = {}
    for role in _ROLES:
        name = names[role]
        if name not in df.columns:
            raise ValueError('%s: no column "%s" for the %s (the header has: %s)'
                             % (source, name, _ROLE_WHAT[role], ", ".join(header)))
        col = df[name]
        if isinstance(col, pd.DataFrame):
            raise ValueError('%s: the column "%s" appears twice' % (source, name))
        values = pd.to_numeric(col, errors="coerce").to_numpy(dtype=float)
        bad = ~np.isfinite(values)
        if bad.any():
            row = int(np.flatnonzero(bad)[0])
            raise ValueError('%s row %d: non-numeric value "%s" in column "%s"' % (source, row, col.iloc[row], name))
        out[role] = values
    return out


def _progress_sink(progress):
    """A callable (done, total) from the `progress` argument, and what closes it."""
    if progress is False or progress is None and not _has_tqdm():
        return None, lambda: None
    if callable(progress):
        return progress, lambda: None
    if progress is not None and progress is not True:
        raise TypeError("progress: None, True, False or a callable (done, total), not %s" % type(progress).__name__)
    try:
        from tqdm.auto import tqdm
    except ImportError:
        return None, lambda: None
    bar = {}

    def update(done, total):
        if "bar" not in bar:
            bar["bar"] = tqdm(total=total, unit="pair", desc="vantu")
        bar["bar"].update(done - bar["bar"].n)

    return update, lambda: bar["bar"].close() if "bar" in bar else None


def _has_tqdm():
    try:
        import tqdm  # noqa: F401
        return True
    except ImportError:
        return False


def _movie_input(frame_number, channel, slice, allow_gaps):
    if frame_number is not None and not isinstance(frame_number, str):
        raise TypeError("frame_number: a str (a pattern) is needed, not %s" % type(frame_number).__name__)
    counts = {}
    for name, v in (("channel", channel), ("slice", slice)):
        if v is not None and (isinstance(v, bool) or not isinstance(v, numbers.Integral)):
            raise TypeError("%s: a whole number is needed, not %s" % (name, type(v).__name__))
        if v is not None and not 1 <= v <= 2**30:
            raise ValueError("%s: %d is not a %s number from 1 (as Fiji counts them)" % (name, v, name))
        counts[name] = 0 if v is None else int(v)
    return _vantu.MovieInput(frame_number or "", counts["channel"], counts["slice"], bool(allow_gaps))


_CORRECTION_COLUMNS = ("frame", "id", "action", "from_frame", "from_id")


def _corrections_args(corrections):
    """The keywords that carry `corrections` to the tracker."""
    if corrections is None:
        return {}
    if isinstance(corrections, pd.DataFrame):
        missing = [c for c in _CORRECTION_COLUMNS if c not in corrections.columns]
        if missing:
            raise ValueError('corrections: no column "%s" (a corrections table has the columns %s)'
                             % (missing[0], ", ".join(_CORRECTION_COLUMNS)))
        table = corrections[list(_CORRECTION_COLUMNS)].copy()
        for c in ("frame", "from_frame"):  # whole numbers, also where NaN made the column float
            v = table[c]
            if pd.api.types.is_float_dtype(v) and (v.dropna() == v.dropna().round()).all():
                table[c] = v.astype("Int64")
        if not len(table):  # no correction
            return {}
        return {"corrections": "corrections DataFrame", "corrections_text": table.to_csv(index=False)}
    if isinstance(corrections, (str, os.PathLike)):
        return {"corrections": _path_text(corrections, "corrections")}
    raise TypeError("corrections: a DataFrame or a path, not %s" % type(corrections).__name__)


def track(data, *, config=None, jobs=0, pixel_size=None, frame_interval=None, repairs=True, columns=None,
          angles="degrees", progress=None, frame_number=None, channel=None, slice=None, allow_gaps=False,
          intensity=None, corrections=None):
    """Tracks a time-lapse into a Lineage, as `vantu-track` does.

    data: a (T, Y, X) integer label array; a list of 2-D label arrays (one
        per frame, in time order); a pandas DataFrame with a row per cell and
        the columns frame, x, y, length, angle, id; or a list of paths as
        vantu-track takes them (point files, one table .csv, or masks).
    config: a softconfig.dat to use (path); None: parameters chosen from the data.
    jobs: pairs matched at once; 0: the number of cores.
    pixel_size, frame_interval: micrometres per pixel and minutes from one
        frame number to the next (--pixel-size, --frame-interval): the
        micrometre columns and the cycles in minutes of .tracks.
    repairs: True (all), False (the plain chaining: vantu-track --raw), or a
        dict switching relink, close_gaps, check_divisions, flag_debris.
    columns: {role: column name} for a table (as --columns).
    angles: a table's angles: "degrees", "row-radians" or "row-degrees".
    progress: None (a tqdm bar where tqdm is installed), False, True, or a
        callable progress(pairs_done, pairs_total) called on this thread.
    frame_number: paths: a pattern whose first group is a name's frame
        number, e.g. r"t(\d+)" (--frame-number); None: the last number.
    channel, slice: an ImageJ hyperstack's channel and slice (z plane) to
        track, from 1 as Fiji counts them (--channel, --slice).
    allow_gaps: paths or a DataFrame: track across a run of missing frame
        numbers far longer than the gap closing bridges (--allow-gaps).
    intensity: fluorescence channels measured in every cell, {name: images}:
        with label arrays a (T, Y, X) array or a list of 2-D arrays shaped as
        the labels; with masks as paths a folder or stack path (--intensity).
        Adds name_mean, name_total, name_background to .cells and name_mean,
        name_birth, name_division to .tracks.
    corrections: links corrected by hand (--corrections): a corrections
        file's path, or a DataFrame with its columns frame, id, action,
        from_frame, from_id (action link, daughter, not, new or debris;
        from_* empty or NaN for new and debris). Every one is held and the
        rest decided again around them; a refused row is named by its line
        in the file (of the DataFrame as CSV: row N is line N + 2).
    """
    config = "" if config is None else _path_text(config, "config")
    if isinstance(jobs, bool) or not isinstance(jobs, numbers.Integral):
        raise TypeError("jobs: a whole number is needed, not %s" % type(jobs).__name__)
    if jobs < 0:
        raise ValueError("jobs: %d is not 0 (the number of cores) or more" % jobs)
    jobs = int(min(jobs, 4096))
    pixel_size = _positive_or_none(pixel_size, "pixel_size")
    frame_interval = _positive_or_none(frame_interval, "frame_interval")
    repairs = _repairs_map(repairs)
    columns = _columns_map(columns)
    if not isinstance(angles, str):
        raise TypeError("angles: a str is needed, not %s" % type(angles).__name__)
    if angles not in _ANGLES:
        raise ValueError('angles: "%s" is not degrees, row-radians or row-degrees' % angles)
    units = _vantu.Units(pixel_size or 0.0, frame_interval or 0.0)
    movie = _movie_input(frame_number, channel, slice, allow_gaps)
    intensity = _intensity_map(intensity)
    fixes = _corrections_args(corrections)
    sink, close = _progress_sink(progress)
    labels = None
    try:
        if isinstance(data, pd.DataFrame):
            if intensity:
                raise ValueError("intensity: measured over the cells' mask pixels, and a table has none; "
                                 "give the label arrays as data")
            cols = _table_columns(data, columns, "DataFrame")
            run = _vantu.track_table(cols, "DataFrame", columns.get("id", "id"), angles, config, jobs, repairs, units,
                                     sink, movie=movie, **fixes)
        elif isinstance(data, np.ndarray):
            if data.ndim != 3:
                raise ValueError("labels: a (T, Y, X) label array is needed, not %d-D of shape %s"
                                 % (data.ndim, data.shape))
            labels = [_label_frame(data[t], "labels[%d]" % t) for t in range(data.shape[0])]
            run = _vantu.track_labels(labels, config, jobs, repairs, units, sink, _intensity_arrays(intensity, labels),
                                      **fixes)
        elif isinstance(data, (list, tuple)):
            if not data:
                raise ValueError("a time-lapse needs at least two frames (got 0)")
            if all(isinstance(p, (str, os.PathLike)) for p in data):
                paths = [_path_text(p, "paths") for p in data]
                channels = [(name, _path_text(p, 'intensity["%s"]' % name)) for name, p in intensity.items()]
                run = _vantu.track_paths(paths, columns, angles, config, jobs, repairs, units, sink, movie=movie,
                                         intensity=channels, **fixes)
            elif any(isinstance(p, (str, os.PathLike)) for p in data):
                raise TypeError("data: a list of paths or a list of label arrays, not both")
            else:
                labels = [_label_frame(a, "labels[%d]" % t) for t, a in enumerate(data)]
                run = _vantu.track_labels(labels, config, jobs, repairs, units, sink, _intensity_arrays(intensity, labels),
                                          **fixes)
        else:
            raise TypeError("data: a (T, Y, X) label array, a list of 2-D label arrays, a DataFrame or a list "
                            "of paths, not %s" % type(data).__name__)
    finally:
        close()
    for message in run.warnings:
        warnings.warn(message, VantuWarning, stacklevel=2)
    return Lineage(run, labels, pixel_size, frame_interval)


def _match_columns(df, what):
    if not isinstance(df, pd.DataFrame):
        raise TypeError("%s: a DataFrame with the columns x y length angle id, not %s" % (what, type(df).__name__))
    cols = {}
    for role in ("x", "y", "length", "angle", "id"):
        if role not in df.columns:
            raise ValueError('%s: no column "%s" (the header has: %s)'
                             % (what, role, ", ".join(str(c) for c in df.columns)))
        values = pd.to_numeric(df[role], errors="coerce").to_numpy(dtype=float)
        bad = ~np.isfinite(values)
        if bad.any():
            row = int(np.flatnonzero(bad)[0])
            raise ValueError('%s row %d: non-numeric value "%s" in column "%s"' % (what, row, df[role].iloc[row], role))
        cols[role] = values
    return cols


def match(first, second, params=None):
    """Matches the cells of two frames as `vantu` does.

    first, second: DataFrames with the columns x y length angle id (angle in
        degrees counter-clockwise on screen).
    params: None (chosen from the two frames as vantu-track chooses them), a
        softconfig.dat path, or a dict of values over the chosen ones
        (BetaInit, BetaIncr, BetaMax, lambda1, lambda2, TH, rEvar, alphaS, MaxSplit).

    Returns a DataFrame with a row per cell of `second`, as a line of
    Match.dat: level0 (the id of the first-frame cell it continues), level1
    and level2 (the id of the mother whose first or second daughter it is),
    0 where there is none, and its own id; row0..row2 give the same matches as
    row positions in `first` (-1: none). `.attrs["params"]` holds the
    softconfig.dat used.
    """
    a, b = _match_columns(first, "first"), _match_columns(second, "second")
    config, values = "", []
    if isinstance(params, dict):
        for name, v in params.items():
            if isinstance(v, bool) or not isinstance(v, numbers.Real):
                raise TypeError("params: %s must be a number, not %s" % (name, type(v).__name__))
            if not math.isfinite(v):
                raise ValueError("params: %s = %r is not finite" % (name, v))
            values.append((str(name), float(v)))
    elif params is not None:
        config = _path_text(params, "params")
    out = _vantu.match(a, b, config, values)
    df = pd.DataFrame({k: out[k] for k in ("level0", "level1", "level2", "id", "row0", "row1", "row2")})
    df.attrs["params"] = out["params"]
    return df
