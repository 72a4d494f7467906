// vantu-plot: draws the matches of a finished vantu run as one SVG picture.
//
//   vantu-plot [-o FILE] [--warped] [first-frame-file second-frame-file]
//   vantu-plot --lineage DIR [-o FILE] [--founder T] [--frames A-B] [--ids]
//                                          (the tree of a vantu-track output;
//                                           tools/lineage_plot.h)
//   vantu-plot --pair DIR N [-o FILE] [--ids]   (two frames of it; tools/pair_plot.h)
//   vantu-plot --movie DIR [-o FILE]       (the tracked movie as one web page;
//                                           tools/movie_page.h)
//
// Run it in the working directory of the run. It reads "softconfig.dat", the
// two point files, "Match.dat" and (with --warped) "out.dat", and writes only
// the picture. Coordinates are image coordinates: x right, y down.
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "input/load_points.h"
#include "base/check.h"
#include "base/params.h"
#include "run/config.h"
#include "run/output_folder.h"
#include "run/writers.h"
#include "tools/lineage_plot.h"
#include "tools/pair_plot.h"
#include "tools/movie_page.h"
#include "tools/lineage_table.h"

namespace {

using vantu::ColumnSlot;

struct Options {
  std::string first_file = vantu::PointInput{}.first_file;
  std::string second_file = vantu::PointInput{}.second_file;
  std::string match_file = "Match.dat";
  std::string warp_file = "out.dat";
  std::string output = "matches.svg";
  bool warped = false;
  bool help = false;
  std::string lineage;  // a vantu-track output folder: draw its lineage tree
  vantu_plot::LineageView lineage_view;
  std::string pair;     // a vantu-track output folder: draw two of its frames
  vantu_plot::PairView pair_view;
  bool ids = false;
  std::string movie;    // a vantu-track output folder: write its movie page
  bool output_given = false;
  std::string folder, name;  // without -o: the picture's own name in the folder
};

const char* const kUsage =
    "usage: vantu-plot --lineage DIR [--founder T] [--frames A-B] [--ids] [-o FILE]\n"
    "       vantu-plot --pair DIR N [--ids] [-o FILE]\n"
    "       vantu-plot --movie DIR [-o FILE]\n"
    "       vantu-plot [-o FILE] [--warped] [FIRST SECOND]   (in a vantu run's folder)\n"
    "\n"
    "Pictures of a vantu-track output folder DIR:\n"
    "  --lineage DIR  the lineage tree (DIR/cells.csv and DIR/res_track.txt): time\n"
    "             across (in minutes or hours when DIR/units gives the frame\n"
    "             interval), one line per track, a symmetric fork at each division,\n"
    "             one colour per founder; closed gaps dashed, probable debris grey\n"
    "             (default output DIR/lineage.svg)\n"
    "  --founder T    only the tree below track T\n"
    "  --frames A-B   only frames A to B (frame numbers)\n"
    "  --pair DIR N   frames N and the next one, with the lineage's links over the\n"
    "             cells' outlines (track masks DIR/maskNNN.tif) or rods; doubtful\n"
    "             links (confidence < 0.5) in black-and-white dashes with their\n"
    "             confidence (default output DIR/pair_N.svg)\n"
    "  --ids      track ids at the start of every branch, where it holds them\n"
    "             (--lineage), or on every cell (--pair)\n"
    "  --movie DIR    the tracked movie as one self-contained web page (default\n"
    "             DIR/movie.html): cells by track or founder, divisions, lineages,\n"
    "             zoom; see docs/viewer.md\n"
    "  -o FILE    write the picture to FILE, a name ending in .svg (.html with\n"
    "             --movie); in DIR by default: lineage.svg (lineage_founder_T.svg,\n"
    "             lineage_frames_A-B.svg), pair_N.svg, movie.html, which a rerun\n"
    "             of vantu-track keeps while the results stay the same\n"
    "  -h         print this help and exit\n"
    "\n"
    "Without --lineage, --pair or --movie: the matches of a finished two-frame\n"
    "vantu run, drawn in the run's folder from its softconfig.dat, the two point\n"
    "files (FIRST and SECOND; both or neither, as for vantu; by default\n"
    "newbact/image026.dat and newbact/image029.dat) and Match.dat, into\n"
    "matches.svg; --warped also draws the warped positions from out.dat.\n";

// Ends the program with status 1; the message goes to standard error.
struct Refusal {
  std::string message;
};

// A whole number of at least `least` given to `option`.
long whole_number(const std::string& option, const std::string& text, long least) {
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || errno != 0 || v < least)
    throw Refusal{option + ": \"" + text + "\" is not a whole number" + (least > 0 ? " from 1" : " from 0") + "\n"};
  return v;
}

// "A-B" (or "A-" and "-B", open ends) into the lineage's window of frames.
void parse_frames(const std::string& text, vantu_plot::LineageView& view) {
  const size_t dash = text.find('-');
  if (dash == std::string::npos) throw Refusal{"--frames: \"" + text + "\" is not A-B\n"};
  const std::string a = text.substr(0, dash), b = text.substr(dash + 1);
  if (!a.empty()) view.first_frame = whole_number("--frames", a, 0);
  if (!b.empty()) view.last_frame = whole_number("--frames", b, 0);
  if (a.empty() && b.empty()) throw Refusal{"--frames: \"" + text + "\" gives no frame\n"};
  if (view.first_frame > view.last_frame) throw Refusal{"--frames " + text + ": the first frame is after the last\n"};
}


// The lineage tree's own name in its folder: lineage.svg for every tree,
// lineage_founder_T.svg for one, _frames_A-B for a window of frames, so
// that no view replaces another.
std::string lineage_picture_name(const vantu_plot::LineageView& view) {
  std::string name = "lineage";
  if (view.founder != 0) name += "_founder_" + std::to_string(view.founder);
  const bool from = view.first_frame != LONG_MIN, to = view.last_frame != LONG_MAX;
  if (from || to)
    name += "_frames_" + (from ? std::to_string(view.first_frame) : "") + "-" + (to ? std::to_string(view.last_frame) : "");
  return name + ".svg";
}

Options parse_args(int argc, char** argv) {
  Options opt;
  std::vector<std::string> files;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "-h" || a == "--help")
      opt.help = true;
    else if (a == "--warped")
      opt.warped = true;
    else if (a == "-o" && i + 1 < argc)
      opt.output = argv[++i], opt.output_given = true;
    else if (a == "--lineage" && i + 1 < argc)
      opt.lineage = argv[++i];
    else if (a == "--founder" && i + 1 < argc)
      opt.lineage_view.founder = whole_number(a, argv[++i], 1);
    else if (a == "--frames" && i + 1 < argc)
      parse_frames(argv[++i], opt.lineage_view);
    else if (a == "--ids")
      opt.ids = true;
    else if (a == "--pair" && i + 2 < argc)
      opt.pair = argv[++i], opt.pair_view.frame = whole_number(a, argv[++i], 0);
    else if (a == "--movie" && i + 1 < argc)
      opt.movie = argv[++i];
    else if (a.size() > 1 && a[0] == '-')
      throw Refusal{(a == "-o"          ? "-o needs a file name\n"
                     : a == "--lineage" ? "--lineage needs a folder\n"
                     : a == "--pair"    ? "--pair needs a folder and a frame number\n"
                     : a == "--movie"   ? "--movie needs a folder\n"
                     : a == "--founder" || a == "--frames" ? a + " needs a value\n"
                                        : "unknown option " + a + "\n") +
                    kUsage};
    else
      files.push_back(a);
  }
  opt.lineage_view.ids = opt.pair_view.ids = opt.ids;
  const bool window = opt.lineage_view.founder != 0 || opt.lineage_view.first_frame != LONG_MIN ||
                      opt.lineage_view.last_frame != LONG_MAX;
  if (!opt.lineage.empty() && !opt.pair.empty()) throw Refusal{"give --lineage or --pair, not both\n" + std::string(kUsage)};
  if (window && opt.lineage.empty()) throw Refusal{"--founder and --frames go with --lineage\n" + std::string(kUsage)};
  if (opt.ids && opt.lineage.empty() && opt.pair.empty())
    throw Refusal{"--ids goes with --lineage or --pair\n" + std::string(kUsage)};
  if (!opt.lineage.empty() || !opt.pair.empty()) {
    if (!files.empty() || opt.warped)
      throw Refusal{"--lineage and --pair take a folder only, not point files or --warped\n" + std::string(kUsage)};
    opt.folder = opt.pair.empty() ? opt.lineage : opt.pair;
    opt.name = opt.pair.empty() ? lineage_picture_name(opt.lineage_view)
                                : "pair_" + std::to_string(opt.pair_view.frame) + ".svg";
  }
  if (!opt.movie.empty()) {
    if (!files.empty() || opt.warped || !opt.lineage.empty() || !opt.pair.empty())
      throw Refusal{"--movie takes a folder only\n" + std::string(kUsage)};
    opt.folder = opt.movie;
    opt.name = "movie.html";
  }
  if (opt.output_given) {
    opt.folder.clear(), opt.name.clear();
  } else if (!opt.folder.empty()) {
    opt.output = opt.folder + "/" + opt.name;
  }
  if (files.size() > 2) throw Refusal{"too many point files given\n" + std::string(kUsage)};
  if (files.size() == 1)
    std::fprintf(stderr, "vantu-plot: one point file given; using the built-in names, as vantu does\n");
  if (files.size() == 2) opt.first_file = files[0], opt.second_file = files[1];
  // A picture never takes the place of another kind of file (a run's .dat,
  // the tracker's tables): its name ends as the picture is.
  if (!opt.help && opt.output_given) {
    if (!opt.movie.empty())
      vantu::check_picture_path(opt.output, {".html", ".htm"}, "the movie page is an .html file");
    else
      vantu::check_picture_path(opt.output, {".svg"}, "the picture is SVG");
  }
  return opt;
}

// ---------------------------------------------------------------- loading

struct Cell {
  double x, y, len, ang;
  int id;
};

struct Frame {
  std::vector<Cell> cells;
  bool has_angle = false;
};

struct MatchRow {
  int level_id[3];  // first-frame id at level 0 (plain), 1 and 2 (daughters); 0 = none
  int line;         // line number in the match file
};

struct RunData {
  Frame first, second;
  std::vector<MatchRow> matches;           // one per second-frame cell
  std::vector<double> warped_x, warped_y;  // with --warped only
};

vantu::ColumnCounts read_table(const std::string& path, const ColumnSlot (&slots)[5]) {
  try {
    return vantu::read_columns(path, slots);
  } catch (const vantu::RunEnd&) {
    throw Refusal{"cannot open " + path};
  }
}

// Reads a point file with the run's columns. The run reads the first file's
// angle before its id and no angle for the second file; the angle slot goes
// last there so that the ids read exactly as the run read them.
Frame read_frame(const std::string& path, const vantu::ParameterSet& p, bool angle_before_id) {
  const int cap = vantu::kPointCapacity;
  std::vector<double> xy(2 * cap, 0.0), len(cap, 0.0), ang(cap, 0.0), id(cap, 0.0);
  ColumnSlot a{p.Nang, ang.data(), cap}, d{p.Nid, id.data(), cap};
  ColumnSlot slots[5] = {{p.nx, xy.data(), 2 * cap}, {p.ny, xy.data(), 2 * cap},
                         {p.Nlen, len.data(), cap}, angle_before_id ? a : d, angle_before_id ? d : a};
  vantu::ColumnCounts counts = read_table(path, slots);
  if (counts.overflow) throw Refusal{vantu::strprintf("%s has more than %d cells", path.c_str(), cap)};
  Frame f;
  for (int i = 0; i < counts.stored[2]; ++i) {
    f.cells.push_back({xy[2 * i], xy[2 * i + 1], len[i], ang[i], vantu::round_to_int(id[i])});
    if (p.Nang > 0 && ang[i] != 0.0) f.has_angle = true;
  }
  return f;
}

// Number of leading numeric tokens of a line, split as read_columns splits it.
int leading_numbers(const std::string& line) {
  auto separator = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  const char* pos = line.c_str();
  for (int n = 0;; ++n) {
    char* end = nullptr;
    std::strtod(pos, &end);
    if (end == pos) return n;
    while (separator(*pos)) ++pos;
    while (*pos != '\0' && !separator(*pos)) ++pos;
  }
}

std::vector<MatchRow> read_match_file(const std::string& path) {
  // A first pass checks the shape of every line and notes its number.
  std::ifstream in(path, std::ios::binary);
  if (!in) throw Refusal{"cannot open " + path};
  std::vector<int> line_of_row;
  int line_no = 0;
  for (std::string line; std::getline(in, line);) {
    ++line_no;
    if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
    if (int n = leading_numbers(line); n < 4)
      throw Refusal{vantu::strprintf("%s line %d: expected 4 numbers (id0 id1 id2 own id), found %d",
                           path.c_str(), line_no, n)};
    line_of_row.push_back(line_no);
  }
  const int rows = static_cast<int>(line_of_row.size());
  std::vector<double> col[3];
  for (auto& c : col) c.assign(std::max(rows, 1), 0.0);
  ColumnSlot slots[5] = {{1, col[0].data(), rows}, {2, col[1].data(), rows},
                         {3, col[2].data(), rows}, {0, nullptr, 0}, {0, nullptr, 0}};
  read_table(path, slots);
  std::vector<MatchRow> out(rows);
  for (int r = 0; r < rows; ++r) {
    out[r].line = line_of_row[r];
    for (int k = 0; k < 3; ++k) {
      bool ok = false;
      out[r].level_id[k] = vantu::round_to_int(col[k][r], &ok);
      if (!ok) throw Refusal{vantu::strprintf("%s line %d: %g is not a cell id", path.c_str(), out[r].line, col[k][r])};
    }
  }
  return out;
}

RunData load_run(const Options& opt) {
  vantu::ParameterSet p;
  try {
    vantu::load_config(p);
  } catch (const vantu::RunEnd&) {
    throw Refusal{std::string("cannot open ") + vantu::kConfigFile};
  }
  if (p.nx < 1 || p.ny < 1 || p.Nlen < 1)
    throw Refusal{vantu::strprintf("%s must name the x, y and length columns (nx=%d ny=%d Nlen=%d)",
                         vantu::kConfigFile, p.nx, p.ny, p.Nlen)};
  RunData run;
  run.first = read_frame(opt.first_file, p, true);
  run.second = read_frame(opt.second_file, p, false);
  run.matches = read_match_file(opt.match_file);
  const int m = static_cast<int>(run.second.cells.size()), rows = static_cast<int>(run.matches.size());
  if (rows != m)
    throw Refusal{vantu::strprintf("%s has %d lines but %s has %d cells; is it from another run?",
                         opt.match_file.c_str(), rows, opt.second_file.c_str(), m)};
  if (opt.warped) {
    const int cap = vantu::kPointCapacity;
    run.warped_x.assign(cap, 0.0);
    run.warped_y.assign(cap, 0.0);
    // Columns 8 and 9: x and y of the third group, the warped position.
    ColumnSlot slots[5] = {{8, run.warped_x.data(), cap}, {9, run.warped_y.data(), cap},
                           {0, nullptr, 0}, {0, nullptr, 0}, {0, nullptr, 0}};
    vantu::ColumnCounts c = read_table(opt.warp_file, slots);
    if (c.overflow || c.stored[0] != m || c.stored[1] != m)
      throw Refusal{vantu::strprintf("%s has %d warped positions but %s has %d cells", opt.warp_file.c_str(),
                           std::min(c.stored[0], c.stored[1]), opt.second_file.c_str(), m)};
  }
  return run;
}

// ---------------------------------------------------------------- classifying

enum class Link { none, plain, daughter };

struct Classes {
  std::vector<Link> link;     // per second-frame cell
  std::vector<int> target;    // per second-frame cell: first-frame index of its line, or -1
  std::vector<char> lost;     // per second-frame cell: no line
  std::vector<char> reached;  // per first-frame cell: some line ends there
  std::vector<char> unreached;  // per first-frame cell: no line ends there
  std::vector<char> mother;   // per first-frame cell: some daughter line ends there
  int plain = 0, daughters = 0, divisions = 0, lost_first = 0, lost_second = 0;
};

// A second-frame cell gets one line, to its lowest non-zero level; levels 1
// and 2 are daughters of a division.
Classes classify(const RunData& run, const Options& opt) {
  const int k = static_cast<int>(run.first.cells.size());
  std::map<int, int> index_of;  // first-frame id -> first cell with that id
  for (int i = k - 1; i >= 0; --i) index_of[run.first.cells[i].id] = i;
  Classes c;
  c.reached.assign(k, 0);
  c.mother.assign(k, 0);
  for (const MatchRow& row : run.matches) {
    Link link = Link::none;
    int target = -1;
    for (int level = 0; level < 3; ++level) {
      const int id = row.level_id[level];
      if (id == 0) continue;
      auto it = index_of.find(id);
      if (it == index_of.end())
        throw Refusal{vantu::strprintf("%s line %d: id %d matches no cell of %s", opt.match_file.c_str(), row.line,
                             id, opt.first_file.c_str())};
      if (link == Link::none) {
        link = level == 0 ? Link::plain : Link::daughter;
        target = it->second;
      }
    }
    c.link.push_back(link);
    c.target.push_back(target);
    c.lost.push_back(link == Link::none);
    c.lost_second += link == Link::none;
    c.plain += link == Link::plain;
    c.daughters += link == Link::daughter;
    if (target >= 0) c.reached[target] = 1;
    if (link == Link::daughter) c.mother[target] = 1;
  }
  for (int i = 0; i < k; ++i) c.unreached.push_back(!c.reached[i]);
  for (int i = 0; i < k; ++i) c.divisions += c.mother[i], c.lost_first += c.unreached[i];
  return c;
}

// ---------------------------------------------------------------- view

const double kDrawSize = 760;  // longer side of the drawn colony, in SVG units
const double kLegendWidth = 300;
const double kFont = 15;

struct View {
  double min_x = 0, min_y = 0, scale = 1, margin = 0;
  double width = 0, height = 0, legend_x = 0;  // the whole picture, legend included
  double unit = 1;                             // typical cell size, in SVG units
  double X(double x) const { return margin + (x - min_x) * scale; }
  double Y(double y) const { return margin + (y - min_y) * scale; }
};

// End points of a rod: centre +- (len/2)(cos t, -sin t), t = angle / 57.3.
void rod_ends(const Cell& c, double e[4]) {
  const double t = c.ang / 57.3, h = 0.5 * c.len;
  e[0] = c.x + h * std::cos(t), e[1] = c.y - h * std::sin(t);
  e[2] = c.x - h * std::cos(t), e[3] = c.y + h * std::sin(t);
}

double median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::nth_element(v.begin(), v.begin() + v.size() / 2, v.end());
  return v[v.size() / 2];
}

// Typical cell size in data units: the smaller of the median length and the
// median nearest-neighbour spacing, so that crowded colonies stay readable.
double typical_size(const RunData& run) {
  std::vector<double> lengths, spacing;
  for (const Frame* f : {&run.first, &run.second})
    for (const Cell& a : f->cells) {
      if (a.len > 0) lengths.push_back(a.len);
      double best = HUGE_VAL;
      for (const Cell& b : f->cells)
        if (&a != &b) best = std::min(best, std::hypot(a.x - b.x, a.y - b.y));
      if (best > 0 && best < HUGE_VAL) spacing.push_back(best);
    }
  const double len = median(lengths), gap = median(spacing);
  return len > 0 && gap > 0 ? std::min(len, gap) : std::max(len, gap);
}

View compute_view(const RunData& run) {
  double lo[2] = {HUGE_VAL, HUGE_VAL}, hi[2] = {-HUGE_VAL, -HUGE_VAL};
  auto take = [&](double x, double y) {
    lo[0] = std::min(lo[0], x), hi[0] = std::max(hi[0], x);
    lo[1] = std::min(lo[1], y), hi[1] = std::max(hi[1], y);
  };
  for (const Frame* f : {&run.first, &run.second})
    for (const Cell& c : f->cells) {
      double e[4];
      rod_ends(c, e);
      take(e[0], e[1]), take(e[2], e[3]);
    }
  for (size_t j = 0; j < run.warped_x.size() && j < run.second.cells.size(); ++j)
    take(run.warped_x[j], run.warped_y[j]);
  if (lo[0] > hi[0]) lo[0] = lo[1] = hi[0] = hi[1] = 0;  // no cells at all

  View v;
  const double size = typical_size(run);
  double extent = std::max(hi[0] - lo[0], hi[1] - lo[1]);
  if (extent <= 0) extent = size > 0 ? 10 * size : 1;
  v.scale = kDrawSize / extent;
  v.unit = size > 0 ? std::min(size * v.scale, kDrawSize / 10) : kDrawSize / 50;
  v.margin = 16 + 0.6 * v.unit;  // round caps and rings reach past the rod ends
  v.min_x = lo[0], v.min_y = lo[1];
  v.legend_x = 2 * v.margin + (hi[0] - lo[0]) * v.scale;
  v.width = v.legend_x + kLegendWidth + 20;
  v.height = std::max(2 * v.margin + (hi[1] - lo[1]) * v.scale, 360.0);
  return v;
}

// ---------------------------------------------------------------- drawing

struct Style {
  const char* first = "#8fb3d9";     // first-frame rods
  const char* second = "#f28e2b";    // second-frame rods or dots
  const char* plain = "#3a3a3a";     // plain match lines
  const char* daughter = "#d0149b";  // division lines
  const char* warp = "#2a9d3a";      // warped positions
  // Rings, as attribute lists.
  const char* mother = "fill=\"none\" stroke=\"#d0149b\"";
  const char* lost_first = "fill=\"#1f3f8f\" fill-opacity=\"0.35\" stroke=\"#1f3f8f\"";
  const char* lost_second = "fill=\"#d62728\" fill-opacity=\"0.3\" stroke=\"#d62728\"";
};
const Style kStyle;

std::string line(const char* cls, double x1, double y1, double x2, double y2) {
  const std::string attr = *cls ? vantu::strprintf(" class=\"%s\"", cls) : "";
  return vantu::strprintf("<line%s x1=\"%.2f\" y1=\"%.2f\" x2=\"%.2f\" y2=\"%.2f\"/>\n", attr.c_str(), x1, y1, x2, y2);
}

std::string circle(const char* cls, double x, double y, double r) {
  return vantu::strprintf("<circle class=\"%s\" cx=\"%.2f\" cy=\"%.2f\" r=\"%.2f\"/>\n", cls, x, y, r);
}

void draw_cells(std::string& svg, const View& v, const Frame& f, const char* id, const char* colour,
                double width, bool rods) {
  svg += vantu::strprintf("<g id=\"%s\" stroke=\"%s\" fill=\"%s\" stroke-width=\"%.2f\" stroke-linecap=\"round\">\n",
                id, colour, colour, rods ? width : 0.0);
  for (const Cell& c : f.cells) {
    double e[4];
    rod_ends(c, e);
    svg += rods ? line("", v.X(e[0]), v.Y(e[1]), v.X(e[2]), v.Y(e[3]))
                : circle("cell", v.X(c.x), v.Y(c.y), width / 2);
  }
  svg += "</g>\n";
}

void draw_links(std::string& svg, const View& v, const RunData& run, const Classes& c, Link which) {
  const bool plain = which == Link::plain;
  svg += vantu::strprintf("<g id=\"%s\" stroke=\"%s\" stroke-width=\"%.2f\" stroke-linecap=\"round\">\n",
                plain ? "matches" : "divisions", plain ? kStyle.plain : kStyle.daughter,
                (plain ? 0.07 : 0.12) * v.unit);
  for (size_t j = 0; j < c.link.size(); ++j) {
    if (c.link[j] != which) continue;
    const Cell &to = run.second.cells[j], &from = run.first.cells[c.target[j]];
    svg += line(plain ? "match" : "daughter", v.X(to.x), v.Y(to.y), v.X(from.x), v.Y(from.y));
  }
  svg += "</g>\n";
}

// Rings around the cells whose mark is set.
void draw_rings(std::string& svg, const View& v, const std::vector<Cell>& cells,
                const std::vector<char>& marked, const char* cls, const char* style) {
  svg += vantu::strprintf("<g id=\"%s\" %s stroke-width=\"%.2f\">\n", cls, style, 0.1 * v.unit);
  for (size_t i = 0; i < cells.size(); ++i)
    if (marked[i]) svg += circle(cls, v.X(cells[i].x), v.Y(cells[i].y), 0.45 * v.unit);
  svg += "</g>\n";
}

// A thin line from each loaded second-frame position to its warped position.
void draw_warp(std::string& svg, const View& v, const RunData& run) {
  svg += vantu::strprintf("<g id=\"warp\" stroke=\"%s\" fill=\"%s\" stroke-width=\"%.2f\">\n", kStyle.warp, kStyle.warp,
                0.04 * v.unit);
  for (size_t j = 0; j < run.second.cells.size(); ++j) {
    const double wx = v.X(run.warped_x[j]), wy = v.Y(run.warped_y[j]);
    svg += line("", v.X(run.second.cells[j].x), v.Y(run.second.cells[j].y), wx, wy);
    svg += circle("warped", wx, wy, 0.1 * v.unit);
  }
  svg += "</g>\n";
}

// Shortens a long file name from the left so that it fits the legend.
std::string fit_name(const std::string& name) {
  return name.size() <= 36 ? name : "..." + name.substr(name.size() - 33);
}

void draw_legend(std::string& svg, const View& v, const RunData& run, const Classes& c, const Options& opt) {
  const double x = v.legend_x, top = v.margin, step = 1.6 * kFont, mx = x + 27;
  auto bar = [&](const char* colour, double width) {
    return vantu::strprintf("<line x1=\"%.2f\" x2=\"%.2f\" y1=\"0\" y2=\"0\" stroke=\"%s\" stroke-width=\"%.2f\" "
                  "stroke-linecap=\"round\"/>", mx - 13, mx + 13, colour, width);
  };
  auto ring = [&](const char* style) {
    return vantu::strprintf("<circle cx=\"%.2f\" cy=\"0\" r=\"8\" stroke-width=\"2\" %s/>", mx, style);
  };
  const int k = static_cast<int>(run.first.cells.size()), m = static_cast<int>(run.second.cells.size());
  // Each row: its mark (drawn about y = 0, then moved to the row) and its text.
  std::vector<std::pair<std::string, std::string>> rows = {
      {bar(kStyle.first, 7), vantu::strprintf("first frame: %d cells", k)},
      {"", fit_name(opt.first_file)},
      {bar(kStyle.second, 4), vantu::strprintf("second frame: %d cells", m)},
      {"", fit_name(opt.second_file)},
      {bar(kStyle.plain, 1.5), vantu::strprintf("plain matches: %d", c.plain)},
      {ring(kStyle.mother), vantu::strprintf("divisions: %d", c.divisions)},
      {bar(kStyle.daughter, 2.5), vantu::strprintf("daughters: %d", c.daughters)},
      {ring(kStyle.lost_first), vantu::strprintf("unmatched, first frame: %d", c.lost_first)},
      {ring(kStyle.lost_second), vantu::strprintf("unmatched, second frame: %d", c.lost_second)}};
  const std::string dot = vantu::strprintf("<circle cx=\"%.2f\" cy=\"0\" r=\"3\" fill=\"%s\"/>", mx + 13, kStyle.warp);
  if (opt.warped) rows.push_back({bar(kStyle.warp, 1) + dot, "warped positions (" + opt.warp_file + ")"});
  rows.push_back({"", "lines join a second-frame cell"});
  rows.push_back({"", "to its first-frame match"});

  svg += vantu::strprintf("<g id=\"legend\" font-size=\"%.2f\">\n<rect x=\"%.2f\" y=\"%.2f\" width=\"%.2f\" "
                "height=\"%.2f\" fill=\"#ffffff\" stroke=\"#999999\"/>\n",
                kFont, x, top, kLegendWidth, (rows.size() + 1) * step);
  double y = top + step;
  for (const auto& row : rows) {
    if (!row.first.empty()) svg += vantu::strprintf("<g transform=\"translate(0 %.2f)\">", y) + row.first + "</g>\n";
    svg += vantu::strprintf("<text x=\"%.2f\" y=\"%.2f\">%s</text>\n", x + 52, y + 0.35 * kFont,
                  vantu_plot::xml_escape(row.second).c_str());
    y += step;
  }
  svg += "</g>\n";
}

std::string render(const RunData& run, const Classes& c, const Options& opt) {
  const View v = compute_view(run);
  std::string svg = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
  svg += vantu::strprintf("<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%.2f\" height=\"%.2f\" "
                "viewBox=\"0 0 %.2f %.2f\" font-family=\"Helvetica, Arial, sans-serif\">\n",
                v.width, v.height, v.width, v.height);
  svg += "<title>vantu matches: " + vantu_plot::xml_escape(opt.first_file) + " to " + vantu_plot::xml_escape(opt.second_file) + "</title>\n";
  svg += "<rect width=\"100%\" height=\"100%\" fill=\"#ffffff\"/>\n";
  const bool rods = run.second.has_angle;
  draw_cells(svg, v, run.first, "first-frame", kStyle.first, 0.34 * v.unit, true);
  draw_cells(svg, v, run.second, "second-frame", kStyle.second, (rods ? 0.2 : 0.4) * v.unit, rods);
  if (opt.warped) draw_warp(svg, v, run);
  draw_links(svg, v, run, c, Link::plain);
  draw_links(svg, v, run, c, Link::daughter);
  draw_rings(svg, v, run.first.cells, c.mother, "mother", kStyle.mother);
  draw_rings(svg, v, run.first.cells, c.unreached, "lost-first", kStyle.lost_first);
  draw_rings(svg, v, run.second.cells, c.lost, "lost-second", kStyle.lost_second);
  draw_legend(svg, v, run, c, opt);
  return svg + "</svg>\n";
}

// Where the picture goes: the name the user gave (-o), or its own name in
// the lineage's folder, through the folder's guard (run/output_folder.h):
// checked before the picture is drawn, listed once in the folder's record.
class Output {
 public:
  explicit Output(const Options& opt) : opt_(opt) {
    if (opt.name.empty()) return;
    vantu::FolderUse use;
    use.shared = true;  // vantu-plots side by side; never beside a tracker run
    folder_ = std::make_unique<vantu::OutputFolder>(opt.folder, std::vector<std::string>{}, use);
    folder_->plan({opt.name});
  }
  // Replaces the picture whole (a reader never sees half of it) and says so.
  void write(const std::string& text, const std::string& what) {
    if (folder_) {
      folder_->create();
      folder_->write(opt_.name, text);
    } else {
      vantu::write_picture(opt_.output, text);
    }
    std::fprintf(stderr, "vantu-plot: wrote %s (%s)\n", opt_.output.c_str(), what.c_str());
  }

 private:
  const Options& opt_;
  std::unique_ptr<vantu::OutputFolder> folder_;
};

}  // namespace

int main(int argc, char** argv) {
  // Nothing asked and no two-frame run here: say what the program draws.
  struct stat run_config;
  if (argc == 1 && stat("softconfig.dat", &run_config) != 0) {
    std::fprintf(stderr, "vantu-plot: nothing to draw: give a vantu-track output folder, for example\n"
                         "  vantu-plot --lineage lineage\n\n%s", kUsage);
    return 1;
  }
  try {
    const Options opt = parse_args(argc, argv);
    if (opt.help) {
      std::fputs(kUsage, stdout);
      return 0;
    }
    std::string summary;
    if (!opt.movie.empty()) {
      vantu_plot::write_movie_page(opt.movie, opt.output, !opt.output_given);
      std::fprintf(stderr, "vantu-plot: wrote %s (the movie page of %s)\n", opt.output.c_str(), opt.movie.c_str());
      return 0;
    }
    Output out(opt);
    if (!opt.pair.empty()) {
      const std::string svg = vantu_plot::pair_svg(opt.pair, opt.pair_view, &summary);
      out.write(svg, summary);
      return 0;
    }
    if (!opt.lineage.empty()) {
      const std::string svg = vantu_plot::lineage_svg(opt.lineage, opt.lineage_view, &summary);
      out.write(svg, "lineage tree: " + summary);
      return 0;
    }
    const RunData run = load_run(opt);
    const Classes classes = classify(run, opt);
    out.write(render(run, classes, opt),
              vantu::strprintf("matches of %s and %s: %d plain, %d divisions", opt.first_file.c_str(),
                               opt.second_file.c_str(), classes.plain, classes.divisions));
  } catch (const Refusal& r) {
    std::fprintf(stderr, "vantu-plot: %s\n", r.message.c_str());
    return 1;
  } catch (const vantu_plot::MovieError& e) {
    std::fprintf(stderr, "vantu-plot: %s\n", e.what());
    return 1;
  } catch (const vantu_plot::LineageError& e) {
    std::fprintf(stderr, "vantu-plot: %s\n", e.what());
    return 1;
  } catch (const vantu::TrackError& e) {
    std::fprintf(stderr, "vantu-plot: %s\n", e.what());
    return 1;
  }
  return 0;
}
