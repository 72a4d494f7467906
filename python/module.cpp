// The extension module vantu._vantu: track/api.h for Python.
//
// The Python package (python/vantu/__init__.py) checks and converts what the
// user gives and builds the DataFrames; this file only carries arrays and
// texts across. A run goes on a thread of its own without the GIL while the
// calling thread waits for it, reports its progress and looks for Ctrl-C
// between pairs; refusals become Python exceptions with the command line's
// message.
#include <pybind11/functional.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <sys/stat.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "run/option_names.h"
#include "base/check.h"
#include "track/api.h"

namespace py = pybind11;

namespace vantu {

namespace {

using LabelArray = py::array_t<std::uint32_t, py::array::c_style>;
using ValueArray = py::array_t<double, py::array::c_style>;
// --intensity from arrays: per channel its name and one image per frame.
using IntensityArrays = std::vector<std::pair<std::string, std::vector<ValueArray>>>;

// A refusal as the Python exception of its kind (TrackError::Kind): a named
// file that does not exist is FileNotFoundError, a file of the output folder
// that is not the programs' to replace FileExistsError, other failures to
// read or write a file OSError, the rest ValueError.
[[noreturn]] void raise_refusal(const TrackError& e, const std::vector<std::string>& = {}) {
  PyObject* kind = e.kind == TrackError::kMissing   ? PyExc_FileNotFoundError
                   : e.kind == TrackError::kNotOurs ? PyExc_FileExistsError
                   : e.kind == TrackError::kIo      ? PyExc_OSError
                                                    : PyExc_ValueError;
  PyErr_SetString(kind, e.text(OptionSpelling::kPython).c_str());
  throw py::error_already_set();
}

// A path as the C library will see it: a NUL inside would cut it short.
const std::string& checked_path(const std::string& path, const char* what) {
  if (path.find('\0') != std::string::npos)
    throw py::value_error(std::string(what) + ": the path contains a NUL character");
  return path;
}

// Runs `body` on a thread of its own, the GIL released; meanwhile calls
// `progress(done, total)` on this thread and stops the run between pairs on
// Ctrl-C (or any exception the progress call raises), which is raised here
// once the pairs under way are done.
TrackResult run_watched(const std::function<TrackResult(const TrackHooks&)>& body, const py::object& progress,
                        const std::vector<std::string>& paths) {
  std::atomic<bool> cancel{false};
  std::mutex mutex;
  std::condition_variable wake;
  size_t done = 0, total = 0;
  bool finished = false, changed = false;
  TrackHooks hooks;
  hooks.cancel = &cancel;
  hooks.progress = [&](size_t d, size_t t) {
    std::lock_guard<std::mutex> lock(mutex);
    done = d;
    total = t;
    changed = true;
    wake.notify_one();
  };
  TrackResult result;
  std::exception_ptr failure;
  std::thread worker([&]() {
    try {
      result = body(hooks);
    } catch (...) {
      failure = std::current_exception();
    }
    std::lock_guard<std::mutex> lock(mutex);
    finished = true;
    wake.notify_one();
  });
  // Whatever leaves this function, the run is stopped and waited for first.
  struct Stopper {
    std::thread& worker;
    std::atomic<bool>& cancel;
    ~Stopper() {
      cancel = true;
      py::gil_scoped_release release;
      worker.join();
    }
  } stopper{worker, cancel};
  for (bool end = false; !end;) {
    size_t d = 0, t = 0;
    bool report = false;
    {
      py::gil_scoped_release release;
      std::unique_lock<std::mutex> lock(mutex);
      wake.wait_for(lock, std::chrono::milliseconds(100), [&]() { return finished || changed; });
      end = finished;
      report = changed;
      changed = false;
      d = done;
      t = total;
    }
    if (report && !progress.is_none()) progress(d, t);
    if (!end && PyErr_CheckSignals() != 0) throw py::error_already_set();
  }
  if (failure) {
    try {
      std::rethrow_exception(failure);
    } catch (const TrackError& e) {
      raise_refusal(e, paths);
    } catch (const RunCancelled&) {
      // Only this function cancels, and it does not wait for a result then.
      throw std::runtime_error("the run was cancelled");
    }
  }
  return result;
}

AngleConvention angles_of(const std::string& s) {
  if (s == "degrees") return AngleConvention::kDegrees;
  if (s == "row-radians") return AngleConvention::kRowRadians;
  if (s == "row-degrees") return AngleConvention::kRowDegrees;
  throw py::value_error("angles: \"" + s + "\" is not degrees, row-radians or row-degrees");
}

// `corrections`: a corrections file's path, or with `corrections_text` the
// name its text goes by in messages.
TrackOptions options_of(const std::string& config, int jobs, const std::map<std::string, bool>& repairs,
                        const Units& units, const std::string& corrections = "",
                        const std::string& corrections_text = "") {
  TrackOptions o;
  o.config = config;
  o.corrections = corrections;
  o.corrections_text = corrections_text;
  o.jobs = jobs;
  o.units = units;
  for (const auto& kv : repairs) {
    bool* slot = kv.first == "assign"            ? &o.repairs.assign
                 : kv.first == "relink"          ? &o.repairs.relink
                 : kv.first == "close_gaps"      ? &o.repairs.close_gaps
                 : kv.first == "check_divisions" ? &o.repairs.check_divisions
                 : kv.first == "flag_debris"     ? &o.repairs.flag_debris
                                                 : nullptr;
    if (!slot)
      throw py::value_error("repairs: unknown repair \"" + kv.first +
                            "\" (assign, relink, close_gaps, check_divisions or flag_debris)");
    *slot = kv.second;
  }
  return o;
}

std::vector<std::string> config_paths(const std::string& config) {
  return config.empty() ? std::vector<std::string>{} : std::vector<std::string>{checked_path(config, "config")};
}

// A run of the tracker as Python sees it: the result and where the cells
// came from (for the track masks of write()).
struct PyRun {
  TrackResult result;
  std::vector<std::string> inputs;  // the files read, which write() never replaces
};

PyRun track_labels(const std::vector<LabelArray>& frames, const std::string& config, int jobs,
                   const std::map<std::string, bool>& repairs, const Units& units, const py::object& progress,
                   const IntensityArrays& intensity, const std::string& corrections,
                   const std::string& corrections_text) {
  const TrackOptions o = options_of(config, jobs, repairs, units, corrections, corrections_text);
  config_paths(config);  // refuses a NUL in the path before the run
  for (const LabelArray& a : frames)
    if (a.ndim() != 2) throw py::value_error("every frame's labels must be a 2-D array");
  std::vector<IntensityChannel> channels;
  for (const auto& c : intensity) {
    channels.push_back({c.first, "(array)", 0});
    if (c.second.size() != frames.size())
      throw py::value_error(strprintf("intensity[\"%s\"]: %zu images for %zu frames of labels", c.first.c_str(),
                                      c.second.size(), frames.size()));
    for (size_t t = 0; t < frames.size(); ++t)
      if (c.second[t].ndim() != 2 || c.second[t].shape(0) != frames[t].shape(0) ||
          c.second[t].shape(1) != frames[t].shape(1))
        throw py::value_error(strprintf("intensity[\"%s\"][%zu]: its shape differs from labels[%zu]'s",
                                        c.first.c_str(), t, t));
  }
  try {
    check_intensity_names(channels);
  } catch (const TrackError& e) {
    throw py::value_error(std::string(e.what()).replace(0, 11, "intensity"));
  }
  PyRun run;
  run.result = run_watched(
      [&](const TrackHooks& hooks) {
        TimeLapse tl;
        for (const IntensityChannel& c : channels) tl.intensity_names.push_back(c.name);
        for (size_t t = 0; t < frames.size(); ++t) {
          const int width = static_cast<int>(frames[t].shape(1)), height = static_cast<int>(frames[t].shape(0));
          add_label_frame(tl, frames[t].data(), width, height, static_cast<long>(t), strprintf("labels[%zu]", t));
          for (const auto& c : intensity)
            add_frame_intensity(tl.frames.back(), frames[t].data(), c.second[t].data(), width, height);
        }
        if (!tl.frames.empty()) drop_blank_frames(tl, 0, static_cast<long>(frames.size()) - 1);
        return track_time_lapse(std::move(tl), true, o, hooks);
      },
      progress, config_paths(config));
  return run;
}

PyRun track_table(const std::map<std::string, std::vector<double>>& columns, const std::string& source,
                  const std::string& id_column, const std::string& angles, const std::string& config, int jobs,
                  const std::map<std::string, bool>& repairs, const Units& units, const py::object& progress,
                  const MovieInput& movie, const std::string& corrections, const std::string& corrections_text) {
  const TrackOptions o = options_of(config, jobs, repairs, units, corrections, corrections_text);
  config_paths(config);
  TableCells cells;
  cells.source = source;
  cells.id_column = id_column;
  std::vector<double>* slots[6] = {&cells.frame, &cells.x, &cells.y, &cells.length, &cells.angle, &cells.id};
  const char* const roles[6] = {"frame", "x", "y", "length", "angle", "id"};
  for (int k = 0; k < 6; ++k) {
    const auto found = columns.find(roles[k]);
    if (found == columns.end()) throw py::value_error(std::string("no column for the role ") + roles[k]);
    *slots[k] = found->second;
    if (slots[k]->size() != cells.frame.size()) throw py::value_error("the columns differ in length");
  }
  const AngleConvention conv = angles_of(angles);
  PyRun run;
  run.result = run_watched(
      [&](const TrackHooks& hooks) {
        return track_time_lapse(time_lapse_of_cells(cells, conv, movie.allow_gaps), false, o, hooks);
      },
      progress, config_paths(config));
  return run;
}

PyRun track_paths(const std::vector<std::string>& paths, const std::map<std::string, std::string>& columns,
                  const std::string& angles, const std::string& config, int jobs,
                  const std::map<std::string, bool>& repairs, const Units& units, const py::object& progress,
                  const MovieInput& movie, const std::vector<std::pair<std::string, std::string>>& intensity,
                  const std::string& corrections, const std::string& corrections_text) {
  TrackOptions o = options_of(config, jobs, repairs, units, corrections, corrections_text);
  o.movie = movie;
  for (const std::string& p : paths) checked_path(p, "paths");
  for (const auto& c : intensity) o.intensity.push_back({c.first, checked_path(c.second, "intensity"), 0});
  config_paths(config);
  o.inputs = paths;
  struct stat st;
  if (paths.size() == 1 && stat(paths[0].c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
    try {
      o.inputs = files_in_folder(paths[0]);
    } catch (const TrackError& e) {
      raise_refusal(e, paths);
    }
  }
  o.angles = angles_of(angles);
  for (const auto& kv : columns) {
    std::string* slot = kv.first == "frame"    ? &o.columns.frame
                        : kv.first == "x"      ? &o.columns.x
                        : kv.first == "y"      ? &o.columns.y
                        : kv.first == "length" ? &o.columns.length
                        : kv.first == "angle"  ? &o.columns.angle
                        : kv.first == "id"     ? &o.columns.id
                                               : nullptr;
    if (!slot)
      throw py::value_error("columns: unknown role \"" + kv.first + "\" (frame, x, y, length, angle or id)");
    *slot = kv.second;
  }
  std::vector<std::string> named = o.inputs;
  if (!config.empty()) named.push_back(config);
  PyRun run;
  run.inputs = o.inputs;
  run.result = run_watched(
      [&](const TrackHooks& hooks) {
        const bool masks = inputs_are_masks(o.inputs);
        if (!masks && !o.intensity.empty())
          throw TrackError("intensity: measured over the cells' mask pixels, and point files and tables have none; "
                           "give the masks as data");
        const ParameterSet params = config.empty() ? default_track_parameters() : configured_parameters(config);
        return track_time_lapse(read_time_lapse(o, params), masks, o, hooks);
      },
      progress, named);
  return run;
}

void write_run(const PyRun& run, const std::string& dir, const py::object& labels, bool force) {
  checked_path(dir, "dir");
  std::vector<LabelArray> frames;
  if (!labels.is_none()) frames = labels.cast<std::vector<LabelArray>>();
  std::function<LabelImage(const Frame&)> mask_of;
  if (!frames.empty()) {
    // Frames from arrays are numbered by their index.
    mask_of = [&](const Frame& f) {
      const LabelArray& a = frames.at(static_cast<size_t>(f.number));
      LabelImage image;
      image.width = static_cast<int>(a.shape(1));
      image.height = static_cast<int>(a.shape(0));
      image.labels.assign(a.data(), a.data() + a.size());
      return image;
    };
  }
  try {
    py::gil_scoped_release release;
    write_lineage_folder(run.result, dir, run.inputs, mask_of, force);
  } catch (const TrackError& e) {
    raise_refusal(e, run.inputs);
  }
}

TableCells cells_of(const std::map<std::string, std::vector<double>>& columns, const std::string& source) {
  TableCells c;
  c.source = source;
  std::vector<double>* slots[5] = {&c.x, &c.y, &c.length, &c.angle, &c.id};
  const char* const roles[5] = {"x", "y", "length", "angle", "id"};
  for (int k = 0; k < 5; ++k) {
    const auto found = columns.find(roles[k]);
    if (found == columns.end()) throw py::value_error(source + ": no column \"" + roles[k] + "\"");
    *slots[k] = found->second;
    if (slots[k]->size() != c.x.size()) throw py::value_error(source + ": the columns differ in length");
  }
  return c;
}

py::dict match(const std::map<std::string, std::vector<double>>& first,
               const std::map<std::string, std::vector<double>>& second, const std::string& config,
               const std::vector<std::pair<std::string, double>>& set) {
  const TableCells a = cells_of(first, "first"), b = cells_of(second, "second");
  MatchResult m;
  try {
    py::gil_scoped_release release;
    m = match_frames(a, b, config, set);
  } catch (const TrackError& e) {
    raise_refusal(e, config_paths(config));
  }
  py::dict out;
  for (int l = 0; l < 3; ++l) {
    out[py::str("level" + std::to_string(l))] = py::array_t<int>(m.M, m.id[l].data());
    out[py::str("row" + std::to_string(l))] = py::array_t<int>(m.M, m.row[l].data());
  }
  out["id"] = py::array_t<double>(m.M, m.second_id.data());
  out["params"] = m.config_text;
  return out;
}

}  // namespace

}  // namespace vantu

PYBIND11_MODULE(_vantu, m) {
  using namespace vantu;
  m.doc() = "vantu's tracker and matcher; use the package vantu, which wraps this module.";
  m.attr("__version__") = VANTU_VERSION;
  py::class_<Units>(m, "Units")
      .def(py::init([](double pixel_size, double frame_interval) { return Units{pixel_size, frame_interval}; }),
           py::arg("pixel_size"), py::arg("frame_interval"));
  py::class_<MovieInput>(m, "MovieInput")
      .def(py::init([](const std::string& frame_number, long channel, long slice, bool allow_gaps) {
             return MovieInput{frame_number, channel, slice, allow_gaps};
           }),
           py::arg("frame_number"), py::arg("channel"), py::arg("slice"), py::arg("allow_gaps"));
  py::class_<PyRun>(m, "Run")
      .def_property_readonly("cells_csv", [](const PyRun& r) { return r.result.texts.cells_csv; })
      .def_property_readonly("tracks_csv", [](const PyRun& r) { return r.result.texts.tracks_csv; })
      .def_property_readonly("units", [](const PyRun& r) { return r.result.texts.units; })
      .def_property_readonly("res_track", [](const PyRun& r) { return r.result.texts.res_track; })
      .def_property_readonly("pairs_log", [](const PyRun& r) { return r.result.texts.pairs_log; })
      .def_property_readonly("params", [](const PyRun& r) { return r.result.config_text; })
      .def_property_readonly("summary", [](const PyRun& r) { return r.result.summary; })
      .def_property_readonly("warnings",
                             [](const PyRun& r) {
                               std::vector<std::string> out;
                               for (const std::string& w : r.result.warnings) out.push_back(spell_options(w, OptionSpelling::kPython));
                               return out;
                             })
      .def_property_readonly("frames", [](const PyRun& r) { return r.result.time_lapse.frames.size(); })
      .def("write", &write_run, py::arg("dir"), py::arg("labels") = py::none(), py::arg("force") = false);
  m.def("track_labels", &track_labels, py::arg("frames"), py::arg("config"), py::arg("jobs"), py::arg("repairs"),
        py::arg("units"), py::arg("progress"), py::arg("intensity") = IntensityArrays(), py::arg("corrections") = "",
        py::arg("corrections_text") = "");
  m.def("track_table", &track_table, py::arg("columns"), py::arg("source"), py::arg("id_column"), py::arg("angles"),
        py::arg("config"),
        py::arg("jobs"), py::arg("repairs"), py::arg("units"), py::arg("progress"), py::arg("movie") = MovieInput(),
        py::arg("corrections") = "", py::arg("corrections_text") = "");
  m.def("track_paths", &track_paths, py::arg("paths"), py::arg("columns"), py::arg("angles"), py::arg("config"),
        py::arg("jobs"), py::arg("repairs"), py::arg("units"), py::arg("progress"), py::arg("movie") = MovieInput(),
        py::arg("intensity") = std::vector<std::pair<std::string, std::string>>(), py::arg("corrections") = "",
        py::arg("corrections_text") = "");
  m.def("match", &match, py::arg("first"), py::arg("second"), py::arg("config"), py::arg("set"));
}
