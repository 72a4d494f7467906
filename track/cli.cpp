// vantu-track's command line: options, input kind, and the stages in order.
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "base/check.h"
#include "run/config.h"
#include "run/driver.h"
#include "track/track.h"

#ifndef VANTU_VERSION
#define VANTU_VERSION "unknown"
#endif

namespace vantu {

namespace {

constexpr const char* kDescription =
    "vantu-track: a whole time-lapse into a lineage.\n\n"
    "  vantu-track [options] FRAME_FILE...   one point file per frame, in time order\n"
    "  vantu-track [options] TABLE.csv       all frames in one comma-separated table\n\n"
    "Writes DIR/cells.csv, DIR/res_track.txt, DIR/softconfig.dat and DIR/pairs.log.\n\n"
    "The chained lineage is mended along the time axis (each repair can be switched\n"
    "off): crossed links exchanged, gaps of missed cells closed (the track skips the\n"
    "frame), divisions that do not add up resolved or missed ones found, one-frame\n"
    "tracks flagged. The last column of cells.csv, flag: 0 normal, 1 probable debris,\n"
    "2 first cell after a closed gap, 3 the cell going on where the pairs saw a division.";

bool ends_with(const std::string& s, const char* suffix) {
  const size_t n = std::strlen(suffix);
  if (s.size() < n) return false;
  for (size_t k = 0; k < n; ++k)
    if (std::tolower(static_cast<unsigned char>(s[s.size() - n + k])) != suffix[k]) return false;
  return true;
}

bool is_table(const std::vector<std::string>& in) { return in.size() == 1 && ends_with(in[0], ".csv"); }

bool is_mask(const std::string& s) { return ends_with(s, ".tif") || ends_with(s, ".tiff") || ends_with(s, ".png"); }

// "name=column,name=column" into the table's column names.
void parse_column_map(const std::string& spec, TableColumns& c) {
  std::stringstream ss(spec);
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

std::string read_whole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void make_dirs(const std::string& path) {
  std::string sofar;
  std::stringstream ss(path);
  std::string part;
  if (!path.empty() && path[0] == '/') sofar = "/";
  while (std::getline(ss, part, '/')) {
    if (part.empty()) continue;
    sofar += part;
    struct stat st;
    if (mkdir(sofar.c_str(), 0777) != 0 && !(stat(sofar.c_str(), &st) == 0 && S_ISDIR(st.st_mode)))
      throw TrackError("cannot create output folder " + sofar + ": " + std::strerror(errno));
    sofar += "/";
  }
}

void write_output(const std::string& dir, const char* name, const std::string& text) {
  const std::string path = dir + "/" + name;
  if (!write_file_atomically(path, text)) throw TrackError("cannot write " + path + ": " + std::strerror(errno));
}

// The parameters from --config, checked as the two-frame program checks them.
ParameterSet configured_parameters(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) throw TrackError("cannot read configuration file " + path);
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

int run_tracker(const TrackOptions& o) {
  for (const std::string& in : o.inputs)
    if (is_mask(in)) throw TrackError("mask input is not supported: " + in);
  ParameterSet params = default_track_parameters();
  if (!o.config.empty()) params = configured_parameters(o.config);
  TimeLapse tl = is_table(o.inputs) ? read_table(o.inputs[0], o.columns, o.angles) : read_frame_files(o.inputs, params);
  check_time_lapse(tl);

  std::string config;
  if (o.config.empty()) {
    ChosenParameters chosen = choose_parameters(tl);
    params = chosen.params;
    config = chosen.config_text;
  } else {
    config = read_whole(o.config);
  }

  make_dirs(o.out_dir);
  write_output(o.out_dir, "softconfig.dat", config);
  PairRun run;
  run.params = params;
  run.out_dir = o.out_dir;
  run.jobs = o.jobs > 0 ? o.jobs : std::max(1u, std::thread::hardware_concurrency());
  run.keep_pairs = o.keep_pairs;
  run.progress_bar = isatty(STDERR_FILENO) != 0;
  const std::vector<PairLinks> links = match_pairs(tl, run);

  Lineage lin = build_lineage(tl, links, params.MaxSplit);
  const RepairCounts repaired = repair_lineage(tl, lin, o.repairs);
  write_output(o.out_dir, "cells.csv", cells_csv_text(tl, lin));
  write_output(o.out_dir, "res_track.txt", res_track_text(tl, lin));
  write_output(o.out_dir, "pairs.log", pairs_log_text(tl, links, lin));
  int divisions = 0;
  for (const Track& tr : lin.tracks) divisions += tr.start == Start::kDaughter;
  std::fprintf(stderr,
               "vantu-track: %zu frames, %zu tracks, %d divisions (%d gaps closed, %d divisions resolved, %d found, "
               "%d probable debris, %d links exchanged); lineage in %s\n",
               tl.frames.size(), lin.tracks.size(), divisions / 2, repaired.gaps_closed, repaired.divisions_resolved,
               repaired.divisions_found, repaired.debris, repaired.relinked, o.out_dir.c_str());
  return 0;
}

}  // namespace

int track_main(int argc, char** argv) {
  TrackOptions o;
  std::string columns, angles = "degrees";
  CLI::App app(kDescription, "vantu-track");
  app.add_option("inputs", o.inputs, "frame files in time order, or one table .csv")->required();
  app.add_option("-o,--output", o.out_dir, "output folder")->capture_default_str();
  app.add_option("-j,--jobs", o.jobs, "pairs matched at once (default: the number of cores)")
      ->check(CLI::PositiveNumber);
  app.add_option("--config", o.config, "a softconfig.dat to use instead of parameters chosen from the data");
  app.add_flag("--keep-pairs", o.keep_pairs, "keep each pair's result files in DIR/pairs/NNNN/");
  bool no_relink = false, no_gaps = false, no_divisions = false, no_debris = false, raw = false;
  app.add_flag("--no-relink", no_relink,
               "keep every link of the pairs, also where the motion, lengths and axes say two links are crossed");
  app.add_flag("--no-gap-closing", no_gaps, "do not join a track that ends to one that starts 2 or 3 frames later");
  app.add_flag("--no-division-check", no_divisions,
               "keep the pairs' divisions as they are: none resolved (daughters' lengths that do not add up, a "
               "daughter seen once), none found where the pairs missed one");
  app.add_flag("--no-debris-flag", no_debris, "do not flag one-frame tracks without parent as probable debris");
  app.add_flag("--raw", raw, "the plain chaining of the pairs' matches: every repair off");
  app.add_option("--columns", columns, "table columns by role, e.g. x=centroid-1,y=centroid-0,frame=ImageNumber");
  app.add_option("--angles", angles, "table angles: degrees, row-radians or row-degrees")->capture_default_str();
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
    if (!columns.empty()) parse_column_map(columns, o.columns);
    o.angles = parse_angles(angles);
    o.repairs.relink = !(no_relink || raw);
    o.repairs.close_gaps = !(no_gaps || raw);
    o.repairs.check_divisions = !(no_divisions || raw);
    o.repairs.flag_debris = !(no_debris || raw);
    return run_tracker(o);
  } catch (const TrackError& e) {
    std::fprintf(stderr, "vantu-track: %s\n", e.what());
    return 1;
  }
}

}  // namespace vantu
