// The lineage picture of vantu-plot (see lineage_plot.h).
#include "tools/lineage_plot.h"

#include "tools/lineage_table.h"

#include <algorithm>
#include <climits>
#include <iterator>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <vector>

namespace vantu_plot {

namespace {

struct Row {
  long frame, track, parent;
  int flag;
  int line;
  double x = NAN, y = NAN, length = NAN;  // NaN where cells.csv has no such column
  bool by_hand = false;                   // cells.csv's by_hand column says so
};

struct TrackLine {
  long label = 0, first = 0, last = 0, parent = 0;
  std::vector<long> frames;     // frames with a row, sorted
  std::vector<long> resolved;   // frames whose cell has flag 3
  std::vector<long> children;   // labels, in order
  bool debris = false;          // its cells are flagged 1
  int lane = -1, colour = 0;
  std::vector<long> by_hand;    // frames whose cell was set by hand
  std::string suspect;          // tracks.csv's suspect column: why, or empty
  bool lane_root = false;       // drawn as a tree's root (no mother in the view)
  bool lone = false;            // no parent, no daughters, after the first frame
  long founder = 0;             // the root of its tree in the whole lineage
  int tree_colour = -1;         // its founder's palette index in the whole lineage (founder_colours)
  double pos = 0;               // its place across time, in lanes (a mother halfway between her daughters)
  long origin = 0, origin_frame = 0;  // a cut-off tree's root: the track nearest to its first cell a frame before
};

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw LineageError("cannot read " + path);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> out;
  std::stringstream ss(text);
  std::string line;
  while (std::getline(ss, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    out.push_back(line);
  }
  return out;
}

// An integer written as such (or as a double with no fraction, e.g. "3.0").
bool whole_number(const std::string& s, long& v) {
  if (s.empty()) return false;
  errno = 0;
  char* end = nullptr;
  const double d = std::strtod(s.c_str(), &end);
  if (errno != 0 || *end != '\0' || !std::isfinite(d) || d != std::floor(d) || std::fabs(d) > 1e15) return false;
  v = static_cast<long>(d);
  return true;
}

// A yes/no column's cell read as yes: anything but empty, 0, no or false.
bool marked(const std::string& v) { return !(v.empty() || v == "0" || v == "no" || v == "false"); }

// The shared reader's table, with this picture's refusals: a blank first
// line reads as an empty file, and every row needs the header's fields.
std::vector<Row> read_cells(const std::string& path) {
  CsvTable t;
  try {
    t = read_csv_table(path);
  } catch (const TableError& e) {
    throw LineageError(e.what());
  }
  if (t.header_line != 1) throw LineageError(path + " is empty");
  const std::vector<std::string>& head = t.header;
  auto column = [&](const char* name, bool needed) {
    const int k = t.column(name);
    if (k < 0 && needed) throw LineageError(path + ": no column \"" + name + "\" in the header (needs frame, track, parent_track)");
    return k;
  };
  const int cf = column("frame", true), ct = column("track", true), cp = column("parent_track", true);
  const int cg = column("flag", false), cx = column("x", false), cy = column("y", false),
            cl = column("length", false), ch = column("by_hand", false);
  auto real = [&](const std::vector<std::string>& f, int k) {
    if (k < 0) return static_cast<double>(NAN);
    char* end = nullptr;
    const double v = std::strtod(f[static_cast<size_t>(k)].c_str(), &end);
    return end != f[static_cast<size_t>(k)].c_str() && *end == '\0' && std::isfinite(v) ? v : NAN;
  };
  std::vector<Row> rows;
  for (const CsvRecord& rec : t.rows) {
    const std::vector<std::string>& f = rec.fields;
    const std::string where = path + " line " + std::to_string(rec.line);
    if (f.size() != head.size())
      throw LineageError(where + ": " + std::to_string(f.size()) + " fields, the header has " +
                         std::to_string(head.size()));
    Row r{0, 0, 0, 0, static_cast<int>(rec.line)};
    long flag = 0;
    if (!whole_number(f[static_cast<size_t>(cf)], r.frame)) throw LineageError(where + ": frame \"" + f[static_cast<size_t>(cf)] + "\" is not a whole number");
    if (!whole_number(f[static_cast<size_t>(ct)], r.track) || r.track <= 0)
      throw LineageError(where + ": track \"" + f[static_cast<size_t>(ct)] + "\" is not a positive whole number");
    if (!whole_number(f[static_cast<size_t>(cp)], r.parent) || r.parent < 0)
      throw LineageError(where + ": parent_track \"" + f[static_cast<size_t>(cp)] + "\" is not 0 or a track");
    if (cg >= 0 && (!whole_number(f[static_cast<size_t>(cg)], flag) || flag < 0 || flag > 4))
      throw LineageError(where + ": flag \"" + f[static_cast<size_t>(cg)] + "\" is not 0, 1, 2, 3 or 4");
    r.flag = static_cast<int>(flag);
    r.x = real(f, cx), r.y = real(f, cy), r.length = real(f, cl);
    if (ch >= 0) r.by_hand = marked(f[static_cast<size_t>(ch)]);
    rows.push_back(r);
  }
  if (rows.empty()) throw LineageError(path + " has no cells");
  return rows;
}

std::map<long, TrackLine> read_res_track(const std::string& path) {
  std::map<long, TrackLine> tracks;
  const std::vector<std::string> lines = split_lines(slurp(path));
  for (size_t n = 0; n < lines.size(); ++n) {
    std::istringstream in(lines[n]);
    std::vector<std::string> tok;
    std::string t;
    while (in >> t) tok.push_back(t);
    if (tok.empty()) continue;
    const std::string where = path + " line " + std::to_string(n + 1);
    long v[4];
    if (tok.size() != 4) throw LineageError(where + ": " + std::to_string(tok.size()) + " values, needs L B E P");
    for (int k = 0; k < 4; ++k)
      if (!whole_number(tok[static_cast<size_t>(k)], v[k]) || v[k] < 0)
        throw LineageError(where + ": \"" + tok[static_cast<size_t>(k)] + "\" is not a whole number >= 0");
    if (v[0] == 0) throw LineageError(where + ": track label 0 (labels start at 1)");
    if (v[1] > v[2]) throw LineageError(where + ": track " + tok[0] + " ends (" + tok[2] + ") before it begins (" + tok[1] + ")");
    if (tracks.count(v[0])) throw LineageError(where + ": track " + tok[0] + " listed twice");
    TrackLine tl;
    tl.label = v[0], tl.first = v[1], tl.last = v[2], tl.parent = v[3];
    tracks[v[0]] = tl;
  }
  if (tracks.empty()) throw LineageError(path + " lists no track");
  return tracks;
}

// res_track.txt cuts a track at a gap (a label never skips a frame there):
// the part after the gap is a label without cells in cells.csv, whose parent
// is the part before. Folds such parts back into the track of cells.csv.
void fold_gap_parts(std::map<long, TrackLine>& tracks, const std::vector<Row>& rows) {
  std::set<long> in_cells;
  for (const Row& r : rows) in_cells.insert(r.track);
  std::map<long, long> parent_of;
  for (const auto& kv : tracks) parent_of[kv.first] = kv.second.parent;
  std::map<long, long> whole;  // a part's label -> its track in cells.csv
  for (const auto& kv : tracks_of_labels(parent_of, in_cells))
    if (kv.first != kv.second && tracks.count(kv.first)) whole[kv.first] = kv.second;
  for (const auto& kv : whole) {
    TrackLine& t = tracks.at(kv.second);
    t.last = std::max(t.last, tracks.at(kv.first).last);
  }
  for (auto& kv : tracks)
    if (whole.count(kv.second.parent)) kv.second.parent = whole.at(kv.second.parent);
  for (const auto& kv : whole) tracks.erase(kv.first);
}

// Joins the two files, refusing what contradicts.
void join(std::map<long, TrackLine>& tracks, const std::vector<Row>& rows, const std::string& cells_path,
          const std::string& res_path) {
  fold_gap_parts(tracks, rows);
  std::set<std::pair<long, long>> seen;
  for (const Row& r : rows) {
    const std::string where = cells_path + " line " + std::to_string(r.line);
    auto it = tracks.find(r.track);
    if (it == tracks.end()) throw LineageError(where + ": track " + std::to_string(r.track) + " is not in " + res_path);
    TrackLine& t = it->second;
    if (r.parent != t.parent)
      throw LineageError(where + ": parent_track " + std::to_string(r.parent) + " of track " + std::to_string(r.track) +
                         ", " + res_path + " says " + std::to_string(t.parent));
    if (r.frame < t.first || r.frame > t.last)
      throw LineageError(where + ": frame " + std::to_string(r.frame) + " is outside track " + std::to_string(r.track) +
                         "'s frames " + std::to_string(t.first) + "-" + std::to_string(t.last) + " in " + res_path);
    if (!seen.insert({r.track, r.frame}).second)
      throw LineageError(where + ": track " + std::to_string(r.track) + " has two cells in frame " + std::to_string(r.frame));
    t.frames.push_back(r.frame);
    if (r.flag == 3) t.resolved.push_back(r.frame);
    if (r.flag == 1) t.debris = true;
    if (r.by_hand) t.by_hand.push_back(r.frame);
  }
  for (auto& kv : tracks) {
    TrackLine& t = kv.second;
    std::sort(t.frames.begin(), t.frames.end());
    std::sort(t.resolved.begin(), t.resolved.end());
    std::sort(t.by_hand.begin(), t.by_hand.end());
    const std::string name = "track " + std::to_string(t.label) + " of " + res_path;
    if (t.frames.empty()) throw LineageError(name + " has no cell in " + cells_path);
    if (t.frames.front() != t.first || t.frames.back() != t.last)
      throw LineageError(name + " spans frames " + std::to_string(t.first) + "-" + std::to_string(t.last) + ", its cells in " +
                         cells_path + " " + std::to_string(t.frames.front()) + "-" + std::to_string(t.frames.back()));
    if (t.parent != 0) {
      auto p = tracks.find(t.parent);
      if (p == tracks.end()) throw LineageError(name + ": parent " + std::to_string(t.parent) + " is not a track");
      if (p->second.last >= t.first)
        throw LineageError(name + " begins in frame " + std::to_string(t.first) + ", before its parent " +
                           std::to_string(t.parent) + " ends (" + std::to_string(p->second.last) + ")");
      p->second.children.push_back(t.label);
    }
  }
}

// DIR/tracks.csv's suspect column (empty, or why a track looks wrong), when
// the file and the column exist.
void read_suspects(const std::string& path, std::map<long, TrackLine>& tracks) {
  if (!std::ifstream(path)) return;
  CsvTable t;
  try {
    t = read_csv_table(path);
  } catch (const TableError& e) {
    if (std::string(e.what()) == path + " is empty") return;
    throw LineageError(e.what());
  }
  const int ct = t.column("track"), cs = t.column("suspect");
  if (ct < 0 || cs < 0) return;
  for (const CsvRecord& rec : t.rows) {
    const std::vector<std::string>& f = rec.fields;
    const std::string where = path + " line " + std::to_string(rec.line);
    if (f.size() != t.header.size())
      throw LineageError(where + ": " + std::to_string(f.size()) + " fields, the header has " + std::to_string(t.header.size()));
    long label = 0;
    if (!whole_number(f[static_cast<size_t>(ct)], label))
      throw LineageError(where + ": track \"" + f[static_cast<size_t>(ct)] + "\" is not a whole number");
    auto it = tracks.find(label);
    if (it != tracks.end() && marked(f[static_cast<size_t>(cs)])) it->second.suspect = f[static_cast<size_t>(cs)];
  }
}

// ---- Layout ----

struct Layout {
  std::vector<long> frames;  // the time axis: every frame with a cell
  int tree_lanes = 0, lone_lanes = 0, founders = 0, placed = 0;  // placed: cut-off trees put beside their origin
  int index(long frame) const {
    return static_cast<int>(std::lower_bound(frames.begin(), frames.end(), frame) - frames.begin());
  }
};

double median_of(std::vector<double> v) {
  if (v.empty()) return NAN;
  std::nth_element(v.begin(), v.begin() + static_cast<long>(v.size() / 2), v.end());
  return v[v.size() / 2];
}

// Where each cut-off tree came from: a track without mother that starts after
// the first frame, not debris, takes as origin the track of the nearest cell
// of the frame before its first (within two median cell lengths, when
// cells.csv has lengths). Needs cells.csv's x and y.
void find_origins(std::map<long, TrackLine>& tracks, const std::vector<Row>& rows, long first_frame) {
  std::map<long, std::vector<const Row*>> by_frame;
  std::vector<double> lengths;
  for (const Row& r : rows) {
    auto it = tracks.find(r.track);
    if (it == tracks.end() || !std::binary_search(it->second.frames.begin(), it->second.frames.end(), r.frame)) continue;
    if (std::isnan(r.x) || std::isnan(r.y)) continue;
    by_frame[r.frame].push_back(&r);
    if (std::isfinite(r.length)) lengths.push_back(r.length);
  }
  const double median = median_of(lengths), reach = std::isnan(median) ? INFINITY : 2 * median;
  for (auto& kv : tracks) {
    TrackLine& t = kv.second;
    if (t.parent != 0 || t.first <= first_frame || t.debris) continue;
    auto here = by_frame.find(t.first);
    if (here == by_frame.end() || here == by_frame.begin()) continue;
    const Row* own = nullptr;
    for (const Row* r : here->second)
      if (r->track == t.label) own = r;
    if (!own) continue;
    const auto& before = *std::prev(here);
    double best = reach;
    for (const Row* r : before.second) {
      const double d = std::hypot(r->x - own->x, r->y - own->y);
      if (d <= best) best = d, t.origin = r->track, t.origin_frame = before.first;
    }
  }
}

Layout lay_out(std::map<long, TrackLine>& tracks, const std::vector<Row>& rows) {
  Layout lay;
  std::set<long> frames;
  for (const auto& kv : tracks)
    for (long f : kv.second.frames) frames.insert(f);
  lay.frames.assign(frames.begin(), frames.end());
  const long first_frame = lay.frames.front();
  find_origins(tracks, rows, first_frame);

  std::vector<long> roots;
  for (auto& kv : tracks) {
    TrackLine& t = kv.second;
    if (t.parent != 0 && tracks.count(t.parent)) continue;  // a mother outside the view: drawn as a root
    t.lane_root = true;
    t.lone = t.parent == 0 && t.children.empty() && t.first > first_frame;
    roots.push_back(t.label);
  }
  auto by_start = [&](long a, long b) {
    const TrackLine &ta = tracks[a], &tb = tracks[b];
    return ta.first != tb.first ? ta.first < tb.first : a < b;
  };
  std::sort(roots.begin(), roots.end(), by_start);
  auto root_of = [&](long label) {
    for (size_t steps = 0; steps <= tracks.size() && tracks[label].parent != 0 && tracks.count(tracks[label].parent); ++steps)
      label = tracks[label].parent;
    return label;
  };
  // A cut-off tree goes below the tree of its origin; an origin in a lone
  // track hands it on to that track's own origin (origins start earlier, so
  // the chain ends). Without an origin: a tree of its own, or the bottom band.
  std::map<long, std::vector<long>> below;  // a tree's root -> cut-off roots placed after it, by start
  std::vector<long> top, band;
  for (long r : roots) {
    long anchor = 0;
    for (long o = tracks[r].origin; o != 0;) {
      anchor = root_of(o);
      if (!tracks[anchor].lone) break;
      o = tracks[anchor].origin;
      anchor = 0;
    }
    if (anchor == 0) tracks[r].origin = 0;
    (anchor != 0 ? below[anchor] : tracks[r].lone ? band : top).push_back(r);
    lay.placed += anchor != 0;
  }

  // A tree's lanes, depth first: a track without daughters takes the next
  // lane, a mother sits halfway between her first and last daughter (an
  // explicit stack keeps deep lineages safe). A tree takes its founder's
  // colour in the whole lineage (founder_colours: the movie page uses the
  // same), so neighbouring trees of the whole lineage differ.
  int next_lane = 0;
  auto place_tree = [&](long root) {
    const int colour = tracks[root].tree_colour;
    std::vector<std::pair<long, bool>> todo{{root, false}};
    while (!todo.empty()) {
      const std::pair<long, bool> it = todo.back();
      todo.pop_back();
      TrackLine& t = tracks[it.first];
      if (it.second) {
        t.pos = (tracks[t.children.front()].pos + tracks[t.children.back()].pos) / 2;
        continue;
      }
      t.colour = colour;
      if (t.children.empty()) {
        t.pos = next_lane++;
        continue;
      }
      todo.push_back({it.first, true});
      for (size_t k = t.children.size(); k-- > 0;) todo.push_back({t.children[k], false});
    }
  };
  // Lone tracks packed into shared lanes from `lane`: a lane takes a track
  // one frame after its last one ends. Returns the lanes used.
  auto pack = [&](const std::vector<long>& labels, int lane0) {
    std::vector<int> lane_end;
    for (long label : labels) {
      TrackLine& t = tracks[label];
      const int start = lay.index(t.first);
      size_t lane = 0;
      while (lane < lane_end.size() && lane_end[lane] + 1 >= start) ++lane;
      if (lane == lane_end.size()) lane_end.push_back(0);
      lane_end[lane] = lay.index(t.last);
      t.pos = lane0 + static_cast<int>(lane);
      t.colour = -1;
    }
    return static_cast<int>(lane_end.size());
  };
  std::function<void(long)> place = [&](long root) {
    place_tree(root);
    std::vector<long> lone, trees;
    for (long r : below[root]) (tracks[r].lone ? lone : trees).push_back(r);
    next_lane += pack(lone, next_lane);
    for (long r : trees) place(r);
  };
  for (long r : top) place(r);
  lay.tree_lanes = next_lane;
  lay.lone_lanes = pack(band, lay.tree_lanes + (lay.tree_lanes > 0 ? 1 : 0));
  // A founder is a track without parent (the root of a tree, alone or not),
  // as tracks.csv's founder column and the movie page count them.
  std::set<long> founders;
  for (const auto& kv : tracks) founders.insert(kv.second.founder);
  lay.founders = static_cast<int>(founders.size());
  return lay;
}

// ---- Drawing ----


// Coordinates and sizes in the picture: one decimal.
std::string num(double v) { return fixed(v, 1); }

// A time or interval as people write it: up to two decimals, no trailing zeros.
std::string short_number(double v) {
  std::string s = fixed(v, 2);
  while (s.back() == '0') s.pop_back();
  if (s.back() == '.') s.pop_back();
  return s;
}

struct Geometry {
  double left = 70, top = 116, width = 1000, lane = 10, dx = 1;
  double x(int frame_index) const { return left + (frame_index + 0.5) * dx; }
  double y(double lane_pos) const { return top + (lane_pos + 0.5) * lane; }
};

// A "nice" tick step for n frames: about 20 ticks at most.
long tick_step(size_t n) {
  const long steps[] = {1, 2, 5, 10, 20, 25, 50, 100, 200, 250, 500, 1000, 2000, 5000, 10000};
  for (long s : steps)
    if (static_cast<double>(n) / static_cast<double>(s) <= 20) return s;
  return 100000;
}

// The time axis in minutes, or hours for a span of 5 hours or more: its unit,
// minutes per unit and a tick step (in units) giving at most 16 ticks.
struct TimeAxis {
  std::string unit;
  double per_unit = 1, step = 1;
};
TimeAxis time_axis(double span_minutes) {
  TimeAxis a;
  const bool hours = span_minutes >= 300;
  a.unit = hours ? "hours" : "minutes";
  a.per_unit = hours ? 60 : 1;
  const double steps[] = {0.25, 0.5, 1, 2, 5, 10, 15, 20, 30, 60, 120, 240, 480, 1000, 2000, 5000, 10000};
  for (double s : steps)
    if ((hours || s >= 1) && span_minutes / a.per_unit / s <= 16) return a.step = s, a;
  a.step = 100000;
  return a;
}

// Each track's founder in the whole lineage.
void find_founders(std::map<long, TrackLine>& tracks) {
  for (auto& kv : tracks) {
    long root = kv.first;
    for (size_t steps = 0; steps <= tracks.size(); ++steps) {
      const long p = tracks.at(root).parent;
      if (p == 0) break;
      root = p;
    }
    kv.second.founder = root;
  }
  std::map<long, long> parent_of, first_frame;
  for (const auto& kv : tracks) parent_of[kv.first] = kv.second.parent, first_frame[kv.first] = kv.second.first;
  for (const auto& kv : founder_colours(parent_of, first_frame)) tracks.at(kv.first).tree_colour = kv.second;
}

// Keeps the tracks of the view: the tree below its founder, the cells within
// its frames; refuses a view that keeps nothing.
void keep_view(std::map<long, TrackLine>& tracks, const LineageView& view, const std::string& dir) {
  if (view.founder != 0) {
    if (!tracks.count(view.founder))
      throw LineageError("--founder " + std::to_string(view.founder) + ": " + dir + " has no such track (tracks 1-" +
                         std::to_string(tracks.rbegin()->first) + ")");
    std::set<long> keep{view.founder};
    for (auto& kv : tracks) {  // parents have lower labels in vantu-track's numbering; walk up to be sure
      for (long k = kv.first, steps = 0; k != 0 && steps <= static_cast<long>(tracks.size()); k = tracks.at(k).parent, ++steps)
        if (k == view.founder) {
          keep.insert(kv.first);
          break;
        }
    }
    for (auto it = tracks.begin(); it != tracks.end();) it = keep.count(it->first) ? std::next(it) : tracks.erase(it);
  }
  const long a = view.first_frame, b = view.last_frame;
  for (auto it = tracks.begin(); it != tracks.end();) {
    TrackLine& t = it->second;
    auto inside = [&](long f) { return f >= a && f <= b; };
    t.frames.erase(std::remove_if(t.frames.begin(), t.frames.end(), [&](long f) { return !inside(f); }), t.frames.end());
    t.resolved.erase(std::remove_if(t.resolved.begin(), t.resolved.end(), [&](long f) { return !inside(f); }),
                     t.resolved.end());
    t.by_hand.erase(std::remove_if(t.by_hand.begin(), t.by_hand.end(), [&](long f) { return !inside(f); }), t.by_hand.end());
    if (t.frames.empty()) {
      it = tracks.erase(it);
      continue;
    }
    t.first = t.frames.front(), t.last = t.frames.back();
    ++it;
  }
  for (auto& kv : tracks) {
    std::vector<long>& c = kv.second.children;
    c.erase(std::remove_if(c.begin(), c.end(), [&](long k) { return !tracks.count(k); }), c.end());
  }
  if (tracks.empty())
    throw LineageError("nothing to draw: no cell of " + (view.founder ? "track " + std::to_string(view.founder) + "'s tree" : dir) +
                       " in frames " + (a == LONG_MIN ? std::string("...") : std::to_string(a)) + "-" +
                       (b == LONG_MAX ? std::string("...") : std::to_string(b)));
}

}  // namespace

std::string lineage_svg(const std::string& dir, const LineageView& view, std::string* summary) {
  const std::string cells_path = dir + "/cells.csv", res_path = dir + "/res_track.txt";
  {
    std::ifstream a(cells_path), b(res_path);
    if (!a && !b) throw LineageError(dir + " has neither cells.csv nor res_track.txt: not a vantu-track output folder");
    if (!a) throw LineageError(dir + " has no cells.csv (cannot read " + cells_path + ")");
    if (!b) throw LineageError(dir + " has no res_track.txt (cannot read " + res_path + ")");
  }
  const std::vector<Row> rows = read_cells(cells_path);
  std::map<long, TrackLine> tracks = read_res_track(res_path);
  join(tracks, rows, cells_path, res_path);
  read_suspects(dir + "/tracks.csv", tracks);
  find_founders(tracks);
  keep_view(tracks, view, dir);
  const Layout lay = lay_out(tracks, rows);
  const double minutes = frame_minutes(dir);

  const int lanes = lay.tree_lanes + lay.lone_lanes + (lay.tree_lanes > 0 && lay.lone_lanes > 0 ? 1 : 0);
  Geometry g;
  g.lane = std::min(16.0, std::max(kMinLane, 1600.0 / std::max(lanes, 1)));
  const double font = std::max(kIdFont, std::min(11.0, g.lane * 0.7));
  auto id_width = [&](long label) { return 0.6 * font * static_cast<double>(std::to_string(label).size()) + 2; };
  // A track's id goes above the start of its line where the line holds it;
  // with ids asked for, frames are spread (up to 40 px) until nine tracks in
  // ten hold theirs. A tree's first track starting in the first frame has
  // its id in the margin.
  auto in_margin = [&](const TrackLine& t) { return t.lane_root && lay.index(t.first) == 0; };
  auto span = [&](const TrackLine& t) { return static_cast<double>(lay.index(t.last) - lay.index(t.first) + 1); };
  g.dx = std::max(kMinFrameStep, g.width / static_cast<double>(lay.frames.size()));
  if (view.ids) {
    std::vector<double> need;
    for (const auto& kv : tracks)
      if (!in_margin(kv.second)) need.push_back(id_width(kv.first) / span(kv.second));
    if (!need.empty()) {
      std::sort(need.begin(), need.end());
      g.dx = std::max(g.dx, std::min(40.0, need[need.size() * 9 / 10]));
    }
  }
  g.width = g.dx * static_cast<double>(lay.frames.size());
  const double stroke = std::min(3.0, std::max(0.8, g.lane * 0.22));
  const double height = g.top + lanes * g.lane + 44;
  const double total_width = g.left + g.width + 30;

  int divisions = 0, gaps = 0, debris = 0, resolved = 0, suspect = 0, by_hand = 0;
  for (const auto& kv : tracks) {
    const TrackLine& t = kv.second;
    divisions += t.children.size() >= 2;
    debris += t.debris;
    resolved += static_cast<int>(t.resolved.size());
    suspect += !t.suspect.empty();
    by_hand += static_cast<int>(t.by_hand.size());
    for (size_t k = 1; k < t.frames.size(); ++k) gaps += lay.index(t.frames[k]) > lay.index(t.frames[k - 1]) + 1;
  }

  std::string svg;
  svg += "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + num(total_width) + "\" height=\"" + num(height) +
         "\" viewBox=\"0 0 " + num(total_width) + " " + num(height) + "\" font-family=\"sans-serif\">\n";
  svg += "<style>line{stroke-linecap:round}.grid{stroke:#ddd;stroke-width:0.6}.fork{stroke-width:" + num(stroke * 0.7) +
         "}.gap{stroke-dasharray:" + num(std::max(2.0, stroke * 1.5)) + "," + num(std::max(1.5, stroke)) +
         "}.debris{stroke:" + std::string(kDebrisColour) + "}.tick{stroke:#000;stroke-width:" + num(std::max(0.8, stroke * 0.5)) +
         "}.origin{stroke-width:1;stroke-dasharray:1,2.5}.suspect{fill:#fff;stroke:#000;stroke-width:1.3}"
         ".hand{fill:#000}text{fill:#222}text.id{paint-order:stroke;stroke:#fff;stroke-width:2.5px;stroke-linejoin:round}"
         "</style>\n";
  svg += "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";

  // Legend and counts.
  std::string title = "lineage of " + dir;
  if (view.founder) title += ", the tree of track " + std::to_string(view.founder);
  if (view.first_frame != LONG_MIN || view.last_frame != LONG_MAX)
    title += ", frames " + std::to_string(lay.frames.front()) + "-" + std::to_string(lay.frames.back());
  svg += "<text x=\"" + num(g.left) + "\" y=\"22\" font-size=\"15\" font-weight=\"bold\">" + xml_escape(title) + "</text>\n";
  std::string counts = count_of(static_cast<long>(tracks.size()), "track", "tracks") + ", " +
                       count_of(lay.founders, "founder", "founders") + " (a colour per tree, grey: alone), " +
                       count_of(divisions, "division", "divisions") + ", " + count_of(gaps, "closed gap", "closed gaps") + ", " +
                       std::to_string(debris) + " probable debris, " + count_of(resolved, "division", "divisions") +
                       " resolved; frames " + std::to_string(lay.frames.front()) + "-" + std::to_string(lay.frames.back());
  svg += "<text x=\"" + num(g.left) + "\" y=\"40\" font-size=\"12\">" + xml_escape(counts) + "</text>\n";
  if (lay.placed)
    svg += "<text x=\"" + num(g.left) + "\" y=\"56\" font-size=\"12\">" +
           count_of(lay.placed, "tree", "trees") + " cut off (a track without mother after the first frame) drawn below the tree "
           "of the nearest cell a frame before their first</text>\n";
  {
    double y = 76, x0 = g.left;
    auto sample = [&](const std::string& shape, double w, const std::string& text) {
      svg += shape + "<text x=\"" + num(x0 + w + 6) + "\" y=\"" + num(y + 4) + "\" font-size=\"11\">" + text + "</text>\n";
      x0 += w + 12 + 5.8 * static_cast<double>(text.size());
    };
    auto bar = [&](const std::string& cls) {
      return "<line" + cls + " x1=\"" + num(x0) + "\" y1=\"" + num(y) + "\" x2=\"" + num(x0 + 28) + "\" y2=\"" + num(y) +
             "\" stroke=\"" + std::string(kPalette[0]) + "\" stroke-width=\"2.5\"/>";
    };
    sample(bar(""), 28, "track");
    sample(bar(" class=\"gap\""), 28, "closed gap (cell not detected)");
    sample(bar(" class=\"debris\""), 28, "probable debris");
    sample("<line class=\"tick\" x1=\"" + num(x0 + 3) + "\" y1=\"" + num(y - 6) + "\" x2=\"" + num(x0 + 3) + "\" y2=\"" +
               num(y + 6) + "\"/>",
           6, "division resolved into this cell going on");
    if (suspect)
      sample("<circle class=\"suspect\" cx=\"" + num(x0 + 5) + "\" cy=\"" + num(y) + "\" r=\"4\"/>", 10, "suspect track (tracks.csv)");
    if (by_hand)
      sample("<rect class=\"hand\" x=\"" + num(x0 + 1) + "\" y=\"" + num(y - 4) + "\" width=\"8\" height=\"8\"/>", 10,
             "cell set by hand");
    y += 16, x0 = g.left;  // a second line: the first is full with every mark
    if (lay.placed)
      sample("<line class=\"origin\" x1=\"" + num(x0) + "\" y1=\"" + num(y - 5) + "\" x2=\"" + num(x0 + 28) + "\" y2=\"" +
                 num(y + 5) + "\" stroke=\"#000\"/>",
             28, "a cut-off tree's nearest cell a frame before");
    svg += "<text x=\"" + num(x0) + "\" y=\"" + num(y + 4) +
           "\" font-size=\"11\">a fork: the mother's line ends at her division, both daughters' lines branch from it</text>\n";
  }

  // Time axis: faint lines, frame numbers above; below, the time when the
  // folder states the frame interval, else frame numbers again.
  const double bottom = g.top + lanes * g.lane;
  const long step = tick_step(lay.frames.size());
  for (size_t k = 0; k < lay.frames.size(); ++k) {
    if (lay.frames[k] % step != 0) continue;
    const double x = g.x(static_cast<int>(k));
    svg += "<line class=\"grid\" x1=\"" + num(x) + "\" y1=\"" + num(g.top - 4) + "\" x2=\"" + num(x) + "\" y2=\"" +
           num(bottom + 4) + "\"/>\n";
    svg += "<text x=\"" + num(x) + "\" y=\"" + num(g.top - 8) + "\" font-size=\"10\" text-anchor=\"middle\">" +
           std::to_string(lay.frames[k]) + "</text>\n";
    if (minutes <= 0)
      svg += "<text x=\"" + num(x) + "\" y=\"" + num(bottom + 18) + "\" font-size=\"10\" text-anchor=\"middle\">" +
             std::to_string(lay.frames[k]) + "</text>\n";
  }
  std::string axis = "frame";
  if (minutes > 0) {
    const TimeAxis t = time_axis(static_cast<double>(lay.frames.back() - lay.frames.front()) * minutes);
    axis = "time (" + t.unit + ", frame 0 at 0; " + short_number(minutes) + " minutes a frame)";
    // x of a moment between frame numbers, along the drawn frames.
    auto x_at = [&](double frame) {
      const size_t k = static_cast<size_t>(std::lower_bound(lay.frames.begin(), lay.frames.end(), frame) - lay.frames.begin());
      if (k == lay.frames.size()) return static_cast<double>(NAN);
      if (static_cast<double>(lay.frames[k]) == frame) return g.x(static_cast<int>(k));
      if (k == 0) return static_cast<double>(NAN);
      const double a = static_cast<double>(lay.frames[k - 1]), b = static_cast<double>(lay.frames[k]);
      return g.x(static_cast<int>(k) - 1) + (frame - a) / (b - a) * g.dx;
    };
    const double t0 = static_cast<double>(lay.frames.front()) * minutes / t.per_unit,
                 t1 = static_cast<double>(lay.frames.back()) * minutes / t.per_unit;
    for (double v = std::ceil(t0 / t.step - 1e-9) * t.step; v <= t1 + 1e-9; v += t.step) {
      const double x = x_at(v * t.per_unit / minutes);
      if (std::isnan(x)) continue;
      svg += "<line class=\"grid\" x1=\"" + num(x) + "\" y1=\"" + num(bottom) + "\" x2=\"" + num(x) + "\" y2=\"" +
             num(bottom + 6) + "\" stroke=\"#000\"/><text class=\"time\" x=\"" + num(x) + "\" y=\"" + num(bottom + 18) +
             "\" font-size=\"10\" text-anchor=\"middle\">" + short_number(v == 0 ? 0.0 : v) + "</text>\n";
    }
  }
  svg += "<text x=\"" + num(g.left + g.width / 2) + "\" y=\"" + num(bottom + 36) + "\" font-size=\"11\" text-anchor=\"middle\">" +
         xml_escape(axis) + "</text>\n";
  if (lay.lone_lanes > 0)
    svg += "<text x=\"6\" y=\"" + num(g.y(lanes - lay.lone_lanes) + 3) +
           "\" font-size=\"10\">no parent,</text><text x=\"6\" y=\"" + num(g.y(lanes - lay.lone_lanes) + 15) +
           "\" font-size=\"10\">no daughters</text>\n";

  // Tracks: forks first (under the lines), then the lines, then the marks.
  std::string forks, lines, marks;
  int ids_left_out = 0;
  for (const auto& kv : tracks) {
    const TrackLine& t = kv.second;
    const std::string colour = t.debris ? kDebrisColour : (t.colour < 0 ? kLoneColour : kPalette[t.colour % 7]);
    const std::string cls = t.debris ? " class=\"debris\"" : "";
    const double y = g.y(t.pos);
    const std::string attr = " stroke=\"" + colour + "\" stroke-width=\"" + num(stroke) + "\"";
    // The id: in the margin for a tree drawn from the first frame, else above
    // the start of the line where the line holds it; a tooltip either way.
    const bool want_id = view.ids || t.lane_root;
    bool id_drawn = false;
    if (want_id && in_margin(t)) {
      marks += "<text class=\"id\" x=\"" + num(g.x(0) - 4) + "\" y=\"" + num(y + font * 0.35) + "\" font-size=\"" + num(font) +
               "\" text-anchor=\"end\">" + std::to_string(t.label) + "</text>\n";
      id_drawn = true;
    } else if (want_id && id_width(t.label) <= span(t) * g.dx) {
      const double x = g.x(lay.index(t.first)) - (t.lane_root ? 0 : g.dx * 0.45) + 1;
      marks += "<text class=\"id\" x=\"" + num(x) + "\" y=\"" +
               num(y - stroke / 2 - 1.5) + "\" font-size=\"" + num(font) + "\">" + std::to_string(t.label) + "</text>\n";
      id_drawn = true;
    }
    ids_left_out += want_id && !id_drawn;
    const std::string tip = "<title>track " + std::to_string(t.label) + ", frames " + std::to_string(t.first) + "-" +
                            std::to_string(t.last) + (t.suspect.empty() ? "" : ", suspect: " + xml_escape(t.suspect)) +
                            "</title>";
    // Runs of consecutive frames as solid lines, jumps over missing frames dashed.
    size_t run = 0;
    for (size_t k = 1; k <= t.frames.size(); ++k) {
      const bool end = k == t.frames.size() || lay.index(t.frames[k]) > lay.index(t.frames[k - 1]) + 1;
      if (!end) continue;
      double x1 = g.x(lay.index(t.frames[run])), x2 = g.x(lay.index(t.frames[k - 1]));
      if (x1 == x2) x1 -= g.dx * 0.3, x2 += g.dx * 0.3;
      lines += "<line" + cls + " x1=\"" + num(x1) + "\" y1=\"" + num(y) + "\" x2=\"" + num(x2) + "\" y2=\"" + num(y) +
               "\"" + attr + (run == 0 ? ">" + tip + "</line>\n" : "/>\n");
      if (k < t.frames.size())
        lines += "<line class=\"gap\" x1=\"" + num(g.x(lay.index(t.frames[k - 1]))) + "\" y1=\"" + num(y) + "\" x2=\"" +
                 num(g.x(lay.index(t.frames[k]))) + "\" y2=\"" + num(y) + "\"" + attr + "/>\n";
      run = k;
    }
    for (long f : t.resolved) {
      const double x = g.x(lay.index(f));
      marks += "<line class=\"tick\" x1=\"" + num(x) + "\" y1=\"" + num(y - g.lane * 0.4) + "\" x2=\"" + num(x) + "\" y2=\"" +
               num(y + g.lane * 0.4) + "\"/>\n";
    }
    const double mark = std::min(8.0, g.lane * 0.5);
    for (long f : t.by_hand)
      marks += "<rect class=\"hand\" x=\"" + num(g.x(lay.index(f)) - mark / 2) + "\" y=\"" + num(y - mark / 2) + "\" width=\"" +
               num(mark) + "\" height=\"" + num(mark) + "\"/>\n";
    if (!t.suspect.empty())
      marks += "<circle class=\"suspect\" cx=\"" + num((g.x(lay.index(t.first)) + g.x(lay.index(t.last))) / 2) + "\" cy=\"" +
               num(y) + "\" r=\"" + num(mark * 0.55) + "\">" + tip + "</circle>\n";
    // The fork: from the mother's last cell to each daughter's first, the
    // mother halfway between them.
    for (long c : t.children) {
      const TrackLine& d = tracks.at(c);
      const double xm = g.x(lay.index(t.last)), xd = g.x(lay.index(d.first)), xf = (xm + xd) / 2, yd = g.y(d.pos);
      forks += "<polyline class=\"fork\" fill=\"none\" stroke=\"" + colour + "\" points=\"" + num(xm) + "," + num(y) + " " +
               num(xf) + "," + num(y) + " " + num(xf) + "," + num(yd) + " " + num(xd) + "," + num(yd) + "\"/>\n";
    }
    // A cut-off tree: dotted from its origin's cell a frame before.
    if (t.origin != 0 && tracks.count(t.origin))
      forks += "<line class=\"origin\" x1=\"" + num(g.x(lay.index(t.origin_frame))) + "\" y1=\"" +
               num(g.y(tracks.at(t.origin).pos)) + "\" x2=\"" + num(g.x(lay.index(t.first))) + "\" y2=\"" + num(y) +
               "\" stroke=\"" + colour + "\"/>\n";
  }
  svg += forks + lines + marks + "</svg>\n";
  if (summary) {
    *summary = count_of(static_cast<long>(tracks.size()), "track", "tracks") + " of " +
               count_of(lay.founders, "founder", "founders") + ", frames " +
               std::to_string(lay.frames.front()) + "-" + std::to_string(lay.frames.back()) + ", " + num(total_width) +
               " x " + num(height) + " px, ids " + num(font) + " px";
    if (ids_left_out) *summary += " (" + std::to_string(ids_left_out) + " on lines too short to hold them: in their tooltips)";
  }
  return svg;
}

}  // namespace vantu_plot
