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
};

struct TrackLine {
  long label = 0, first = 0, last = 0, parent = 0;
  std::vector<long> frames;     // frames with a row, sorted
  std::vector<long> resolved;   // frames whose cell has flag 3
  std::vector<long> children;   // labels, in order
  bool debris = false;          // its cells are flagged 1
  int lane = -1, colour = 0;
  bool lone = false;            // no parent, no daughters, after the first frame
  long founder = 0;             // the root of its tree in the whole lineage
  int tree_colour = -1;         // its founder's palette index in the whole lineage (founder_colours)
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
  const int cg = column("flag", false);
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
  }
  for (auto& kv : tracks) {
    TrackLine& t = kv.second;
    std::sort(t.frames.begin(), t.frames.end());
    std::sort(t.resolved.begin(), t.resolved.end());
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

// ---- Layout ----

struct Layout {
  std::vector<long> frames;  // the time axis: every frame with a cell
  int tree_lanes = 0, lone_lanes = 0, founders = 0;
  int index(long frame) const {
    return static_cast<int>(std::lower_bound(frames.begin(), frames.end(), frame) - frames.begin());
  }
};

Layout lay_out(std::map<long, TrackLine>& tracks) {
  Layout lay;
  std::set<long> frames;
  for (const auto& kv : tracks)
    for (long f : kv.second.frames) frames.insert(f);
  lay.frames.assign(frames.begin(), frames.end());
  const long first_frame = lay.frames.front();

  std::vector<long> roots, lone;
  for (auto& kv : tracks) {
    TrackLine& t = kv.second;
    if (t.parent != 0 && tracks.count(t.parent)) continue;  // a mother outside the view: drawn as a root
    t.lone = t.parent == 0 && t.children.empty() && t.first > first_frame;
    (t.lone ? lone : roots).push_back(t.label);
  }
  auto by_start = [&](long a, long b) {
    const TrackLine &ta = tracks[a], &tb = tracks[b];
    return ta.first != tb.first ? ta.first < tb.first : a < b;
  };
  std::sort(roots.begin(), roots.end(), by_start);
  std::sort(lone.begin(), lone.end(), by_start);

  // Trees, depth first: the first daughter goes on in her mother's lane, each
  // further daughter opens a lane below all lanes of the daughters before
  // her (an explicit stack keeps deep lineages safe). A tree takes its
  // founder's colour in the whole lineage (founder_colours: the movie page
  // uses the same), so neighbouring trees of the whole lineage differ.
  int next_lane = 0;
  for (size_t r = 0; r < roots.size(); ++r) {
    const int colour = tracks[roots[r]].tree_colour;
    struct Item {
      long label;
      int lane;
    };
    std::vector<Item> todo{{roots[r], next_lane++}};
    while (!todo.empty()) {
      Item it = todo.back();
      todo.pop_back();
      if (it.lane < 0) it.lane = next_lane++;
      TrackLine& t = tracks[it.label];
      t.lane = it.lane;
      t.colour = colour;
      for (size_t k = t.children.size(); k-- > 0;) todo.push_back({t.children[k], k == 0 ? it.lane : -1});
    }
  }
  lay.tree_lanes = next_lane;
  // A founder is a track without parent (the root of a tree, alone or not),
  // as tracks.csv's founder column and the movie page count them.
  std::set<long> founders;
  for (const auto& kv : tracks) founders.insert(kv.second.founder);
  lay.founders = static_cast<int>(founders.size());

  // Lone tracks packed into shared lanes: a lane takes a track one frame
  // after its last one ends.
  std::vector<long> lane_end;
  for (long label : lone) {
    TrackLine& t = tracks[label];
    const int start = lay.index(t.first);
    int lane = -1;
    for (size_t k = 0; k < lane_end.size(); ++k)
      if (lane_end[k] + 1 < start) {
        lane = static_cast<int>(k);
        break;
      }
    if (lane < 0) {
      lane = static_cast<int>(lane_end.size());
      lane_end.push_back(0);
    }
    lane_end[static_cast<size_t>(lane)] = lay.index(t.last);
    t.lane = lay.tree_lanes + (lay.tree_lanes > 0 ? 1 : 0) + lane;
    t.colour = -1;
  }
  lay.lone_lanes = static_cast<int>(lane_end.size());
  return lay;
}

// ---- Drawing ----


// Coordinates and sizes in the picture: one decimal.
std::string num(double v) { return fixed(v, 1); }

struct Geometry {
  double left = 70, top = 96, width = 1000, lane = 10, dx = 1;
  double x(int frame_index) const { return left + (frame_index + 0.5) * dx; }
  double y(int lane_index) const { return top + (lane_index + 0.5) * lane; }
};

// A "nice" tick step for n frames: about 20 ticks at most.
long tick_step(size_t n) {
  const long steps[] = {1, 2, 5, 10, 20, 25, 50, 100, 200, 250, 500, 1000, 2000, 5000, 10000};
  for (long s : steps)
    if (static_cast<double>(n) / static_cast<double>(s) <= 20) return s;
  return 100000;
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
  find_founders(tracks);
  keep_view(tracks, view, dir);
  const Layout lay = lay_out(tracks);

  const int lanes = lay.tree_lanes + lay.lone_lanes + (lay.tree_lanes > 0 && lay.lone_lanes > 0 ? 1 : 0);
  Geometry g;
  g.lane = std::min(14.0, std::max(kMinLane, 1600.0 / std::max(lanes, 1)));
  g.dx = std::max(kMinFrameStep, g.width / static_cast<double>(lay.frames.size()));
  g.width = g.dx * static_cast<double>(lay.frames.size());
  const double stroke = std::min(3.0, std::max(0.8, g.lane * 0.55));
  const double height = g.top + lanes * g.lane + 44;
  const double total_width = g.left + g.width + 30;

  int divisions = 0, gaps = 0, debris = 0, resolved = 0;
  for (const auto& kv : tracks) {
    const TrackLine& t = kv.second;
    divisions += t.children.size() >= 2;
    debris += t.debris;
    resolved += static_cast<int>(t.resolved.size());
    for (size_t k = 1; k < t.frames.size(); ++k) gaps += lay.index(t.frames[k]) > lay.index(t.frames[k - 1]) + 1;
  }

  std::string svg;
  svg += "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + num(total_width) + "\" height=\"" + num(height) +
         "\" viewBox=\"0 0 " + num(total_width) + " " + num(height) + "\" font-family=\"sans-serif\">\n";
  svg += "<style>line{stroke-linecap:round}.grid{stroke:#ddd;stroke-width:0.6}.fork{stroke-width:" + num(stroke * 0.6) +
         "}.gap{stroke-dasharray:" + num(std::max(2.0, stroke * 1.5)) + "," + num(std::max(1.5, stroke)) +
         "}.debris{stroke:#9a9a9a}.tick{stroke:#000;stroke-width:" + num(std::max(0.8, stroke * 0.5)) +
         "}text{fill:#222}text.id{paint-order:stroke;stroke:#fff;stroke-width:2.5px;stroke-linejoin:round}</style>\n";
  svg += "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";

  // Legend and counts.
  std::string title = "lineage of " + dir;
  if (view.founder) title += ", the tree of track " + std::to_string(view.founder);
  if (view.first_frame != LONG_MIN || view.last_frame != LONG_MAX)
    title += ", frames " + std::to_string(lay.frames.front()) + "-" + std::to_string(lay.frames.back());
  svg += "<text x=\"" + num(g.left) + "\" y=\"22\" font-size=\"15\" font-weight=\"bold\">" + xml_escape(title) + "</text>\n";
  svg += "<text x=\"" + num(g.left) + "\" y=\"42\" font-size=\"12\">" + count_of(static_cast<long>(tracks.size()), "track", "tracks") +
         ", " + count_of(lay.founders, "founder", "founders") + " (a colour per tree, grey: alone), " +
         count_of(divisions, "division", "divisions") + ", " + count_of(gaps, "closed gap", "closed gaps") + ", " +
         std::to_string(debris) + " probable debris, " + count_of(resolved, "division", "divisions") + " resolved; frames " +
         std::to_string(lay.frames.front()) + "-" + std::to_string(lay.frames.back()) + "</text>\n";
  {
    const double y = 62, x0 = g.left;
    svg += "<line x1=\"" + num(x0) + "\" y1=\"" + num(y) + "\" x2=\"" + num(x0 + 28) + "\" y2=\"" + num(y) +
           "\" stroke=\"" + std::string(kPalette[0]) + "\" stroke-width=\"2.5\"/><text x=\"" + num(x0 + 34) + "\" y=\"" + num(y + 4) +
           "\" font-size=\"11\">track</text>\n";
    svg += "<line class=\"gap\" x1=\"" + num(x0 + 90) + "\" y1=\"" + num(y) + "\" x2=\"" + num(x0 + 118) + "\" y2=\"" +
           num(y) + "\" stroke=\"" + std::string(kPalette[0]) + "\" stroke-width=\"2.5\"/><text x=\"" + num(x0 + 124) + "\" y=\"" + num(y + 4) +
           "\" font-size=\"11\">closed gap (cell not detected)</text>\n";
    svg += "<line class=\"debris\" x1=\"" + num(x0 + 300) + "\" y1=\"" + num(y) + "\" x2=\"" + num(x0 + 328) + "\" y2=\"" +
           num(y) + "\" stroke-width=\"2.5\"/><text x=\"" + num(x0 + 334) + "\" y=\"" + num(y + 4) +
           "\" font-size=\"11\">probable debris</text>\n";
    svg += "<line class=\"tick\" x1=\"" + num(x0 + 450) + "\" y1=\"" + num(y - 6) + "\" x2=\"" + num(x0 + 450) + "\" y2=\"" +
           num(y + 6) + "\"/><text x=\"" + num(x0 + 458) + "\" y=\"" + num(y + 4) +
           "\" font-size=\"11\">division resolved into this cell going on</text>\n";
    svg += "<text x=\"" + num(x0 + 720) + "\" y=\"" + num(y + 4) +
           "\" font-size=\"11\">a fork: the mother's line splits into her daughters'</text>\n";
  }

  // Time axis: faint lines and frame numbers above and below.
  const long step = tick_step(lay.frames.size());
  for (size_t k = 0; k < lay.frames.size(); ++k) {
    if (lay.frames[k] % step != 0) continue;
    const double x = g.x(static_cast<int>(k));
    svg += "<line class=\"grid\" x1=\"" + num(x) + "\" y1=\"" + num(g.top - 4) + "\" x2=\"" + num(x) + "\" y2=\"" +
           num(g.top + lanes * g.lane + 4) + "\"/>\n";
    for (double y : {g.top - 8, g.top + lanes * g.lane + 18})
      svg += "<text x=\"" + num(x) + "\" y=\"" + num(y) + "\" font-size=\"10\" text-anchor=\"middle\">" +
             std::to_string(lay.frames[k]) + "</text>\n";
  }
  svg += "<text x=\"" + num(g.left + g.width / 2) + "\" y=\"" + num(g.top + lanes * g.lane + 36) +
         "\" font-size=\"11\" text-anchor=\"middle\">frame</text>\n";
  if (lay.lone_lanes > 0)
    svg += "<text x=\"6\" y=\"" + num(g.y(lanes - lay.lone_lanes) + 3) +
           "\" font-size=\"10\">no parent,</text><text x=\"6\" y=\"" + num(g.y(lanes - lay.lone_lanes) + 15) +
           "\" font-size=\"10\">no daughters</text>\n";

  // Tracks: forks first (under the lines), then the lines, then the marks.
  std::string forks, lines, marks;
  const bool labels = g.lane >= 9;
  for (const auto& kv : tracks) {
    const TrackLine& t = kv.second;
    const std::string colour = t.debris ? "#9a9a9a" : (t.colour < 0 ? kLoneColour : kPalette[t.colour % 7]);
    const std::string cls = t.debris ? " class=\"debris\"" : "";
    const double y = g.y(t.lane);
    const std::string attr = " stroke=\"" + colour + "\" stroke-width=\"" + num(stroke) + "\"";
    // Runs of consecutive frames as solid lines, jumps over missing frames dashed.
    size_t run = 0;
    for (size_t k = 1; k <= t.frames.size(); ++k) {
      const bool end = k == t.frames.size() || lay.index(t.frames[k]) > lay.index(t.frames[k - 1]) + 1;
      if (!end) continue;
      double x1 = g.x(lay.index(t.frames[run])), x2 = g.x(lay.index(t.frames[k - 1]));
      if (x1 == x2) x1 -= g.dx * 0.3, x2 += g.dx * 0.3;
      lines += "<line" + cls + " x1=\"" + num(x1) + "\" y1=\"" + num(y) + "\" x2=\"" + num(x2) + "\" y2=\"" + num(y) +
               "\"" + attr + "/>\n";
      if (k < t.frames.size())
        lines += "<line class=\"gap\" x1=\"" + num(g.x(lay.index(t.frames[k - 1]))) + "\" y1=\"" + num(y) + "\" x2=\"" +
                 num(g.x(lay.index(t.frames[k]))) + "\" y2=\"" + num(y) + "\"" + attr + "/>\n";
      run = k;
    }
    for (long f : t.resolved) {
      const double x = g.x(lay.index(f));
      marks += "<line class=\"tick\" x1=\"" + num(x) + "\" y1=\"" + num(y - g.lane * 0.5) + "\" x2=\"" + num(x) + "\" y2=\"" +
               num(y + g.lane * 0.5) + "\"/>\n";
    }
    if (view.ids || (labels && t.parent == 0))
      marks += "<text class=\"id\" x=\"" + num(g.x(lay.index(t.first)) - 3) + "\" y=\"" + num(y + g.lane * 0.3) +
               "\" font-size=\"" + num(g.lane * 0.75) + "\" text-anchor=\"end\">" + std::to_string(t.label) + "</text>\n";
    // The fork: from the mother's last cell to each daughter's first.
    for (long c : t.children) {
      const TrackLine& d = tracks.at(c);
      const double xm = g.x(lay.index(t.last)), xd = g.x(lay.index(d.first)), xf = (xm + xd) / 2, yd = g.y(d.lane);
      forks += "<polyline class=\"fork\" fill=\"none\" stroke=\"" + colour + "\" points=\"" + num(xm) + "," + num(y) + " " +
               num(xf) + "," + num(y) + " " + num(xf) + "," + num(yd) + " " + num(xd) + "," + num(yd) + "\"/>\n";
    }
  }
  svg += forks + lines + marks + "</svg>\n";
  if (summary)
    *summary = count_of(static_cast<long>(tracks.size()), "track", "tracks") + " of " +
               count_of(lay.founders, "founder", "founders") + ", frames " +
               std::to_string(lay.frames.front()) + "-" + std::to_string(lay.frames.back()) + ", " + num(total_width) +
               " x " + num(height) + " px";
  return svg;
}

}  // namespace vantu_plot
