// vantu-track's command line: options, input kind, and the stages in order.
#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "run/option_names.h"
#include "base/check.h"
#include "run/config.h"
#include "run/driver.h"
#include "run/written_record.h"
#include "image/image.h"
#include "track/track.h"

#ifndef VANTU_VERSION
#define VANTU_VERSION "unknown"
#endif

namespace vantu {

namespace {

// Ctrl-C: the first stops the run after the pairs under way (their records
// kept, so the same command resumes), a second one at once. A signal
// handler can only reach a flag of static storage: the program's one global.
std::atomic<bool> interrupted{false};

extern "C" void on_interrupt(int) {
  if (interrupted.exchange(true)) {
    signal(SIGINT, SIG_DFL);
    raise(SIGINT);
    return;
  }
  const char note[] = "\nvantu-track: stopping after the pairs under way (Ctrl-C again stops at once)\n";
  ssize_t ignored = write(STDERR_FILENO, note, sizeof note - 1);
  (void)ignored;
}

// Reports what the reading found doubtful, and a pixel size that makes the
// cells implausibly long.
void report_warnings(const TimeLapse& tl, const Units& units) {
  auto warn = [](const std::string& w) {
    std::fprintf(stderr, "vantu-track: warning: %s\n", spell_options(w, OptionSpelling::kCommandLine).c_str());
  };
  for (const std::string& w : tl.warnings) warn(w);
  const std::string w = pixel_size_warning(tl, units);
  if (!w.empty()) warn(w);
}

// A --pixel-size or --frame-interval: a finite number above 0.
double positive_value(const std::string& option, const std::string& text, const char* what, const char* example) {
  char* end = nullptr;
  errno = 0;
  const double v = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || errno != 0 || !std::isfinite(v) || v <= 0)
    throw TrackError(option + " " + (text.empty() ? "\"\"" : text) + ": give " + what +
                     " as a number above 0, without a unit, e.g. " + option + " " + example);
  return v;
}

constexpr const char* kDescription =
    "vantu-track: a whole time-lapse into a lineage.\n\n"
    "  vantu-track [options] FRAME_FILE...   one point file per frame\n"
    "  vantu-track [options] TABLE.csv       all frames in one comma-separated table\n"
    "  vantu-track [options] MASK...         one label image per frame (.tif, .tiff, .png)\n"
    "  vantu-track [options] STACK.tif       a multi-page TIFF of label images: page k is frame k\n"
    "  vantu-track [options] FOLDER          its masks, or else its point files (.dat)\n\n"
    "A frame's number is the last number in its file's name (mask012.tif: frame 12), in any\n"
    "order of the arguments; a table gives its frame column. A number without a file, or a\n"
    "frame without cells, is a gap that the tracks cross.\n"
    "Writes DIR/cells.csv, DIR/tracks.csv (one row per track: fate, cycle, sizes, growth and\n"
    "what looks impossible), DIR/res_track.txt, DIR/softconfig.dat, DIR/units and\n"
    "DIR/pairs.log; from masks also DIR/maskNNN.tif, the track masks of a Cell Tracking\n"
    "Challenge result folder. DIR keeps a list of what the programs wrote there\n"
    "(DIR/.vantu-written): nothing else in it is replaced or removed, and an input is never\n"
    "replaced; an earlier run's leftovers are removed.\n"
    "  vantu-track --points-only -o DIR MASK...   writes only the point files DIR/frame_NNNN.dat\n"
    "In parts (the same input and -o DIR each time): --prepare, then --pairs FIRST-LAST\n"
    "for every range of pairs (in any order, at once), then --join.\n\n"
    "The chained lineage is mended along the time axis (each repair can be switched\n"
    "off): crossed links exchanged, gaps of missed cells closed (the track skips the\n"
    "frame), divisions that do not add up resolved or missed ones found, one-frame\n"
    "tracks flagged. cells.csv's column flag: 0 normal, 1 probable debris,\n"
    "2 first cell after a closed gap, 3 the cell going on where the pairs saw a division;\n"
    "then the track's generation and the confidence (0 to 1) of the cell's link.\n"
    "Corrected by hand: --corrections FILE (frame,id,action,from_frame,from_id) holds every\n"
    "fix and decides the rest again, reusing DIR/pairs; DIR keeps it as corrections.csv and\n"
    "cells.csv ends with by_hand (1: set by a correction).";

bool is_table(const std::vector<std::string>& in) { return in.size() == 1 && ends_with_ci(in[0], ".csv"); }

// True when the inputs are masks; refuses masks mixed with other files.
bool are_masks(const std::vector<std::string>& in) {
  size_t masks = 0;
  for (const std::string& s : in) masks += is_label_image_name(s) ? 1 : 0;
  if (masks != 0 && masks != in.size())
    throw TrackError("the inputs mix masks (.tif, .tiff, .png) and other files; give one kind");
  return masks != 0;
}

std::string file_name_of(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}


// "name=column,name=column" into the table's column names.
void parse_column_map(const std::string& text, TableColumns& c) {
  std::stringstream ss(text);
  std::string item;
  while (std::getline(ss, item, ',')) {
    const size_t eq = item.find('=');
    if (eq == std::string::npos || eq == 0 || eq + 1 == item.size())
      throw TrackError("--columns: \"" + item + "\" is not ROLE=NAME");
    const std::string role = item.substr(0, eq), name = item.substr(eq + 1);
    std::string* slot = role == "frame"    ? &c.frame
                        : role == "x"      ? &c.x
                        : role == "y"      ? &c.y
                        : role == "length" ? &c.length
                        : role == "angle"  ? &c.angle
                        : role == "id"     ? &c.id
                                           : nullptr;
    if (!slot) throw TrackError("--columns: unknown role \"" + role + "\" (frame, x, y, length, angle or id)");
    *slot = name;
  }
}

AngleConvention parse_angles(const std::string& s) {
  if (s == "degrees") return AngleConvention::kDegrees;
  if (s == "row-radians") return AngleConvention::kRowRadians;
  if (s == "row-degrees") return AngleConvention::kRowDegrees;
  throw TrackError("--angles: \"" + s + "\" is not degrees, row-radians or row-degrees");
}

// --channel and --slice choose planes of one TIFF stack; --frame-number
// reads file names.
void warn_stack_options(const TrackOptions& o) {
  const bool stack = o.inputs.size() == 1 && !ends_with_ci(o.inputs[0], ".png") && is_label_image_name(o.inputs[0]);
  for (const char* given : {o.movie.channel ? "--channel" : "", o.movie.slice ? "--slice" : ""})
    if (*given && !stack)
      std::fprintf(stderr, "vantu-track: warning: %s applies to one TIFF stack only; ignored for these inputs\n", given);
  if (!o.movie.frame_number.empty() && (stack || is_table(o.inputs)))
    std::fprintf(stderr, "vantu-track: warning: --frame-number applies to one file per frame only; ignored for %s\n",
                 stack ? "a stack" : "a table");
}

void report_replaced(const OutputFolder& out) {
  const std::string s = out.summary();
  if (!s.empty()) std::fprintf(stderr, "vantu-track: %s\n", s.c_str());
}

// How a run of the command line uses its folder: the --pairs jobs of one
// movie side by side, every other run alone.
FolderUse folder_use(const TrackOptions& o) {
  FolderUse use;
  use.shared = !o.pairs.empty();
  use.force = o.force;
  return use;
}

// --points-only: the measured cells of every mask as point files.
int write_point_files(const TrackOptions& o) {
  OutputFolder out(o.out_dir, o.inputs, folder_use(o));
  const TimeLapse tl = read_mask_files(o.inputs, o.movie);
  report_warnings(tl, o.units);
  std::vector<std::string> names;
  for (const Frame& f : tl.frames) names.push_back(frame_file_name(f.number));
  out.plan(names);
  out.create();
  out.record_inputs();
  for (const Frame& f : tl.frames) out.write(frame_file_name(f.number), point_file_text(f));
  out.remove_stale();
  report_replaced(out);
  std::fprintf(stderr, "vantu-track: %zu point files in %s\n", tl.frames.size(), o.out_dir.c_str());
  return 0;
}

// "FIRST-LAST" or "N" into a range of the time-lapse's pairs.
void parse_pair_range(const std::string& text, size_t pairs, PairRun& run) {
  const char* const end = text.data() + text.size();
  size_t a = 0, b = 0;
  auto r = std::from_chars(text.data(), end, a);
  bool ok = r.ec == std::errc() && r.ptr != text.data();
  if (ok && r.ptr == end) {
    b = a;
  } else if (ok && *r.ptr == '-') {
    const char* const second = r.ptr + 1;
    r = std::from_chars(second, end, b);
    ok = r.ec == std::errc() && r.ptr == end && r.ptr != second && a <= b;
  } else {
    ok = false;
  }
  if (!ok) throw TrackError("--pairs: \"" + text + "\" is not FIRST-LAST (FIRST <= LAST) or N");
  if (b >= pairs)
    throw TrackError("--pairs " + text + ": the time-lapse has " + std::to_string(pairs) + " pairs, 0 to " +
                     std::to_string(pairs - 1));
  run.first = a;
  run.last = b;
}

// True when --corrections names DIR/corrections.csv itself: it stays as it is.
bool corrections_in_place(const TrackOptions& o) {
  struct stat a, b;
  return !o.corrections.empty() && stat(o.corrections.c_str(), &a) == 0 &&
         stat((o.out_dir + "/corrections.csv").c_str(), &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The data lines of a corrections text, blanks around them left out.
std::vector<std::string> correction_lines(const std::string& text) {
  std::vector<std::string> lines;
  std::stringstream ss(text);
  std::string line;
  bool header = true;
  while (std::getline(ss, line)) {
    const size_t a = line.find_first_not_of(" \t\r"), b = line.find_last_not_of(" \t\r");
    if (a == std::string::npos) continue;
    if (!header) lines.push_back(line.substr(a, b - a + 1));
    header = false;
  }
  return lines;
}

// Says on standard error which corrections of the earlier run in the folder
// this run leaves out (they go with the earlier results), so that none is
// lost unseen: the rows themselves, to be copied back.
void report_dropped_corrections(const TrackOptions& o, const Corrections& now, const OutputFolder& out) {
  if (!out.recorded("corrections.csv") || corrections_in_place(o)) return;
  const std::vector<std::string> before = correction_lines(read_file_text(out.path("corrections.csv")));
  const std::vector<std::string> kept = correction_lines(now.text);
  std::vector<std::string> dropped;
  for (const std::string& l : before)
    if (std::find(kept.begin(), kept.end(), l) == kept.end()) dropped.push_back(l);
  if (dropped.empty()) return;
  std::string msg = strprintf("vantu-track: %s drops %zu of the %zu corrections that the earlier results in %s held "
                              "(%s/corrections.csv, %s by this run's):\n",
                              now.empty() ? "this run has no corrections: it" : ("this run with " + o.corrections).c_str(),
                              dropped.size(), before.size(), o.out_dir.c_str(), o.out_dir.c_str(),
                              now.empty() ? "removed with the results it held" : "replaced");
  for (const std::string& l : dropped) msg += "  " + l + "\n";
  std::fputs(msg.c_str(), stderr);
}

// The lineage of the pairs' matches, mended along the time axis, into its files.
void write_lineage(const TrackOptions& o, const TimeLapse& tl, const std::vector<PairLinks>& links, int max_split,
                   bool masks, OutputFolder& out, const Corrections& fixed) {
  // The assignment's start that the folder keeps (its key says whether it
  // belongs to this movie and these pairs): a rerun decides only the last pass.
  const std::string start = out.recorded(kAssignStartFile) ? read_file_text(out.path(kAssignStartFile)) : std::string();
  const LineageTexts texts = lineage_texts(tl, links, max_split, o.repairs, masks, o.units, &fixed, &start);
  if (corrections_in_place(o))
    out.keep("corrections.csv");
  else if (!fixed.empty())
    out.write("corrections.csv", fixed.text);
  out.write("cells.csv", texts.cells_csv);
  out.write("res_track.txt", texts.res_track);
  out.write("tracks.csv", texts.tracks_csv);
  out.write("units", texts.units);
  out.write_folder(kGeffFolder, geff_files(tl, texts.lineage, o.units));
  if (masks) write_track_masks(tl, texts.lineage, out);
  out.write("pairs.log", texts.pairs_log);
  if (!texts.assign_start.empty()) out.write(kAssignStartFile, texts.assign_start);
  out.keep("softconfig.dat");
  out.remove_stale();
  report_replaced(out);
  const std::string interval = frame_interval_warning(tl, texts.lineage, o.units);
  if (!interval.empty()) std::fprintf(stderr, "vantu-track: warning: %s\n", interval.c_str());
  std::fprintf(stderr, "vantu-track: %s; lineage in %s\n", lineage_summary(tl, texts).c_str(), o.out_dir.c_str());
}

// True when --config names DIR/softconfig.dat itself: it stays as it is.
bool config_in_place(const TrackOptions& o) {
  struct stat a, b;
  return !o.config.empty() && stat(o.config.c_str(), &a) == 0 &&
         stat((o.out_dir + "/softconfig.dat").c_str(), &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Refuses, before any work, outputs that would replace an input or a file
// that the programs did not write: those of the stage that runs (`pairs`:
// only its range of pairs). Only these names are written afterwards.
void check_outputs(const TrackOptions& o, const TimeLapse& tl, bool masks, OutputFolder& out,
                   const PairRun* pairs = nullptr, const Corrections* fixed = nullptr) {
  std::vector<std::string> names;
  const bool whole = !o.prepare && !o.join && o.pairs.empty();
  if ((whole || o.prepare) && !config_in_place(o)) names.push_back("softconfig.dat");
  if (whole || pairs) {
    const size_t first = pairs ? pairs->first : 0, last = pairs ? pairs->last : tl.frames.size() - 2;
    names.push_back("pairs/");
    for (size_t t = first; t <= last; ++t)
      for (const std::string& n : pair_file_names(t)) names.push_back(n);
  }
  if (whole || o.join)
    for (const std::string& n : lineage_file_names(tl, masks)) names.push_back(n);
  if ((whole || o.join) && o.repairs.assign) names.push_back(kAssignStartFile);
  if (fixed && !fixed->empty() && !corrections_in_place(o)) names.push_back("corrections.csv");
  out.plan(names);
}

// The stages in order: read, choose the parameters into DIR/softconfig.dat,
// match the pairs, join them into the lineage. --prepare stops after the
// parameters; --pairs and --join take them from DIR/softconfig.dat and do
// only their stage.
int run_tracker(const TrackOptions& o) {
  if (o.out_dir.empty()) throw TrackError("-o: an empty folder name; give the output folder");
  const bool masks = are_masks(o.inputs);
  if (!o.intensity.empty() && (!masks || o.points_only))
    throw TrackError(std::string("--intensity ") + o.intensity[0].name + "=...: " +
                     (masks ? "--points-only writes point files only, which hold no intensities"
                            : "intensities are measured over the cells' mask pixels, and point files and tables have "
                              "none; give the masks (.tif, .tiff, .png) as input"));
  if (o.points_only) {
    if (!masks) throw TrackError("--points-only takes masks (.tif, .tiff, .png)");
    return write_point_files(o);
  }
  const bool prepared = o.join || !o.pairs.empty();
  const std::string work_config = o.out_dir + "/softconfig.dat";
  struct stat st;
  if (prepared && stat(work_config.c_str(), &st) != 0)
    throw TrackError(work_config + " is missing: run --prepare with the same input and -o first");
  const std::string config_path = prepared ? work_config : o.config;
  ParameterSet params = default_track_parameters();
  if (!config_path.empty()) params = configured_parameters(config_path);
  OutputFolder out(o.out_dir, o.inputs, folder_use(o));
  TimeLapse tl = read_time_lapse(o, params);
  report_warnings(tl, o.units);

  PairRun run;
  run.params = params;
  run.out_dir = o.out_dir;
  run.folder = &out;
  run.jobs = o.jobs > 0 ? o.jobs : std::max(1u, std::thread::hardware_concurrency());
  run.keep_pairs = o.keep_pairs;
  run.progress_bar = isatty(STDERR_FILENO) != 0;
  run.tile_cells = o.tile_cells;
  run.proposal = o.repairs.assign;
  run.cancel = &interrupted;
  const Corrections fixed = corrections_of(o, tl);
  if (o.join) {
    check_outputs(o, tl, masks, out, nullptr, &fixed);
    const std::vector<PairLinks> links = recorded_pairs(tl, run);
    report_dropped_corrections(o, fixed, out);
    out.create();
    out.record_inputs();
    write_lineage(o, tl, links, params.MaxSplit, masks, out, fixed);
    return 0;
  }
  if (!o.pairs.empty()) {
    parse_pair_range(o.pairs, tl.frames.size() - 1, run);
    check_outputs(o, tl, masks, out, &run);
    out.create();
    match_pairs(tl, run);
    std::fprintf(stderr, "vantu-track: pairs %04zu-%04zu matched into %s/pairs\n", run.first, run.last,
                 o.out_dir.c_str());
    return 0;
  }

  check_outputs(o, tl, masks, out, nullptr, &fixed);
  if (!o.prepare) report_dropped_corrections(o, fixed, out);
  std::string config;
  if (o.config.empty()) {
    ChosenParameters chosen = choose_parameters(tl);
    if (!chosen.warning.empty())
      std::fprintf(stderr, "vantu-track: warning: %s\n", spell_options(chosen.warning, OptionSpelling::kCommandLine).c_str());
    params = run.params = chosen.params;
    config = chosen.config_text;
  } else {
    config = read_file_text(o.config);
  }
  out.create();
  out.record_inputs();
  if (!config_in_place(o)) out.write("softconfig.dat", config);
  if (o.prepare) {
    std::printf("%zu frames, %zu pairs\n", tl.frames.size(), tl.frames.size() - 1);
    return 0;
  }
  write_lineage(o, tl, match_pairs(tl, run), params.MaxSplit, masks, out, fixed);
  return 0;
}

}  // namespace

std::vector<std::string> files_in_folder(const std::string& dir) {
  DIR* d = opendir(dir.c_str());
  if (!d) throw file_error(dir, "cannot list the folder " + dir);
  std::vector<std::string> masks, points;
  while (const dirent* e = readdir(d)) {
    const std::string name = e->d_name;
    if (name.empty() || name[0] == '.') continue;
    const std::string path = (dir.back() == '/' ? dir : dir + "/") + name;
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    if (is_label_image_name(name)) masks.push_back(path);
    else if (ends_with_ci(name, ".dat")) points.push_back(path);
  }
  closedir(d);
  std::vector<std::string>& files = masks.empty() ? points : masks;
  // What the programs wrote there (a lineage's track masks) is no frame of
  // the movie, unless the folder holds nothing else.
  const std::set<std::string> written = read_written_record(dir);
  std::vector<std::string> own;
  for (const std::string& p : files)
    if (!written.count(file_name_of(p))) own.push_back(p);
  if (!own.empty()) files = own;
  if (files.empty()) throw TrackError("the folder " + dir + " holds no masks (.tif, .tiff, .png) and no point files (.dat)");
  std::sort(files.begin(), files.end());
  return files;
}

ParameterSet configured_parameters(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) throw file_error(path, "cannot read configuration file " + path);
  ParameterSet p;
  try {
    load_config(p, path.c_str());
    check_supported(p);
  } catch (const RunEnd& e) {
    std::string m = e.message;
    while (!m.empty() && m.back() == '\n') m.pop_back();
    throw TrackError(path + ": " + m);
  }
  return p;
}

TimeLapse read_time_lapse(const TrackOptions& o, const ParameterSet& params) {
  // A --pairs job matches positions only: its channels are left for --join.
  const std::vector<IntensityChannel> channels = o.pairs.empty() ? o.intensity : std::vector<IntensityChannel>{};
  TimeLapse tl = are_masks(o.inputs)   ? read_mask_files(o.inputs, o.movie, channels)
                 : is_table(o.inputs) ? read_table(o.inputs[0], o.columns, o.angles, o.movie.allow_gaps)
                                      : read_frame_files(o.inputs, params, o.movie);
  check_time_lapse(tl);
  return tl;
}

bool inputs_are_masks(const std::vector<std::string>& inputs) { return are_masks(inputs); }

Corrections corrections_of(const TrackOptions& o, const TimeLapse& tl) {
  if (!o.corrections_text.empty())
    return corrections_of_text(o.corrections_text, o.corrections.empty() ? "corrections" : o.corrections, tl);
  if (!o.corrections.empty()) return read_corrections(o.corrections, tl);
  return Corrections{};
}

int track_main(int argc, char** argv) {
  TrackOptions o;
  std::string columns, angles = "degrees";
  CLI::App app(kDescription, "vantu-track");
  app.add_option("inputs", o.inputs, "frame files or masks (numbered by their names), or one table .csv, stack or folder")
      ->required();
  app.add_option("-o,--output", o.out_dir, "output folder")->capture_default_str();
  app.add_option("-j,--jobs", o.jobs, "pairs matched at once (default: the number of cores)")
      ->check(CLI::PositiveNumber);
  app.add_option("--config", o.config, "a softconfig.dat to use instead of parameters chosen from the data");
  app.add_flag("--keep-pairs", o.keep_pairs, "keep each pair's result files in DIR/pairs/NNNN/");
  app.add_option("--tile-cells", o.tile_cells,
                 "match a pair whose frames have more cells than this in overlapping tiles of about this many "
                 "(0: only past 1000 cells; default 150, or 400 with --no-assign or --raw)")
      ->check(CLI::NonNegativeNumber);
  app.add_flag("--points-only", o.points_only, "masks in: write only the point files DIR/frame_NNNN.dat");
  app.add_flag("--force", o.force,
               "replace the results of another movie (made from other inputs) in the output folder");
  bool no_assign = false, no_relink = false, no_gaps = false, no_divisions = false, no_debris = false, raw = false;
  app.add_flag("--no-assign", no_assign,
               "keep the matcher's links instead of deciding them by the assignment of least cost over the "
               "link model (growth, motion, division geometry fitted to the movie)");
  app.add_flag("--no-relink", no_relink,
               "keep every link of the pairs, also where the motion, lengths and axes say two links are crossed");
  app.add_flag("--no-gap-closing", no_gaps, "do not join a track that ends to one that starts 2 or 3 frames later");
  app.add_flag("--no-division-check", no_divisions,
               "keep the pairs' divisions as they are: none resolved (daughters' lengths that do not add up, a "
               "daughter seen once), none found where the pairs missed one");
  app.add_flag("--no-debris-flag", no_debris, "do not flag one-frame tracks without parent as probable debris");
  app.add_flag("--raw", raw, "the plain chaining of the pairs' matches: every repair off");
  CLI::Option* corrections = app.add_option(
      "--corrections", o.corrections,
      "a CSV of links corrected by hand (frame,id,action,from_frame,from_id; action link, not, new or debris): "
      "every one is held, the rest decided again around them; a rerun reuses the pairs in DIR/pairs");
  app.add_option("--columns", columns, "table columns by role, e.g. x=centroid-1,y=centroid-0,frame=ImageNumber");
  CLI::Option* angles_option =
      app.add_option("--angles", angles, "table angles: degrees, row-radians or row-degrees")->capture_default_str();
  app.add_option("--frame-number", o.movie.frame_number,
                 "where a file's name gives its frame number: a pattern whose first group in parentheses is the "
                 "number, e.g. 't(\\d+)' for img_t012_ch1.tif (default: the last number in the name)");
  app.add_option("--channel", o.movie.channel,
                 "the channel of an ImageJ hyperstack that holds the label masks, from 1 as Fiji counts them")
      ->check(CLI::PositiveNumber);
  app.add_option("--slice", o.movie.slice, "the slice (z plane) of an ImageJ hyperstack to track, from 1")
      ->check(CLI::PositiveNumber);
  app.add_flag("--allow-gaps", o.movie.allow_gaps,
               "track across a run of missing frame numbers far longer than the gap closing bridges");
  std::vector<std::string> intensity;
  app.add_option("--intensity", intensity,
                 "NAME=PATH: a fluorescence channel measured in every cell (masks only; repeat per channel): "
                 "PATH a folder of images numbered like the masks, or one stack (NAME:C=PATH: channel C of an "
                 "ImageJ hyperstack); adds NAME_mean, NAME_total, NAME_background to cells.csv")
      ->allow_extra_args(false);
  std::string pixel_size, frame_interval;
  CLI::Option* pixel_size_option = app.add_option(
      "--pixel-size", pixel_size, "micrometres per pixel (e.g. 0.065): adds the _um columns to tracks.csv");
  CLI::Option* frame_interval_option =
      app.add_option("--frame-interval", frame_interval,
                     "minutes from one frame number to the next (e.g. 5): fills cycle_minutes, adds "
                     "growth_rate_per_hour");
  // The run in parts, for a workflow that spreads the pairs over jobs.
  CLI::Option* prepare = app.add_flag(
      "--prepare", o.prepare, "only read and check the input and write DIR/softconfig.dat; prints the number of pairs");
  CLI::Option* pairs = app.add_option(
      "--pairs", o.pairs, "only match pairs FIRST-LAST (or N) into DIR/pairs/; pair N is frames N and N+1 from 0");
  CLI::Option* join = app.add_flag("--join", o.join, "only join the records in DIR/pairs/ into the lineage");
  prepare->excludes(pairs)->excludes(join)->excludes("--keep-pairs");
  pairs->excludes(join)->excludes("--config");
  join->excludes("--config")->excludes("--keep-pairs");
  corrections->excludes(prepare)->excludes(pairs)->excludes("--points-only");
  app.set_version_flag("--version", std::string("vantu-track ") + VANTU_VERSION);
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    std::fprintf(stderr, "vantu-track: %s\nRun with --help for the usage.\n", e.what());
    return 1;
  }
  try {
    if (pairs->count() > 0 && o.pairs.empty()) throw TrackError("--pairs: an empty range");
    if (!columns.empty()) parse_column_map(columns, o.columns);
    for (const std::string& text : intensity) o.intensity.push_back(intensity_channel_of(text));
    check_intensity_names(o.intensity);
    o.angles = parse_angles(angles);
    if (pixel_size_option->count())
      o.units.pixel_size = positive_value("--pixel-size", pixel_size, "micrometres per pixel", "0.065");
    if (frame_interval_option->count())
      o.units.frame_interval = positive_value("--frame-interval", frame_interval, "minutes between frames", "5");
    o.repairs.assign = !(no_assign || raw);
    o.repairs.relink = !(no_relink || raw);
    o.repairs.close_gaps = !(no_gaps || raw);
    o.repairs.check_divisions = !(no_divisions || raw);
    o.repairs.flag_debris = !(no_debris || raw);
    struct stat st;
    if (o.inputs.size() == 1 && stat(o.inputs[0].c_str(), &st) == 0 && S_ISDIR(st.st_mode))
      o.inputs = files_in_folder(o.inputs[0]);
    if (!is_table(o.inputs))
      for (const char* given : {columns.empty() ? "" : "--columns", angles_option->count() ? "--angles" : ""})
        if (*given)
          std::fprintf(stderr, "vantu-track: warning: %s applies to a table (.csv) only; ignored for these inputs\n",
                       given);
    warn_stack_options(o);
    struct sigaction action = {};
    action.sa_handler = on_interrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    return run_tracker(o);
  } catch (const RunCancelled&) {
    std::fprintf(stderr,
                 "vantu-track: interrupted; the pairs matched so far are kept in %s/pairs: the same command "
                 "resumes, reusing them\n",
                 o.out_dir.c_str());
    return 130;
  } catch (const TrackError& e) {
    std::fprintf(stderr, "vantu-track: %s\n", e.what());
    return 1;
  }
}

}  // namespace vantu
