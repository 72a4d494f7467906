// The pair picture of vantu-plot (see pair_plot.h).
#include "tools/pair_plot.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <vector>

#include "image/image.h"
#include "tools/lineage_plot.h"
#include "tools/lineage_table.h"

namespace vantu_plot {

namespace {

struct Cell {
  long frame = 0, track = 0, parent = 0;
  double id = 0, x = 0, y = 0, length = 0, angle = 0, confidence = 1;
};

// Coordinates and sizes in the picture: two decimals.
std::string fmt(double v) { return fixed(v, 2); }

// Every cell of cells.csv, refusing malformed rows; `rated` tells whether the
// file has a confidence column.
// The shared reader's table, with this picture's refusals: a blank first
// line (or blank lines only) is a header without the columns, and every row needs the header's
// fields.
std::vector<Cell> read_cells(const std::string& path, bool& rated) {
  {
    std::ifstream in(path);
    if (!in) throw LineageError("cannot read " + path + ": not a vantu-track output folder");
    std::string first;
    if (!std::getline(in, first)) throw LineageError(path + " is empty");
  }
  CsvTable t;
  try {
    t = read_csv_table(path);
  } catch (const TableError& e) {
    if (e.what() != path + " is empty") throw LineageError(e.what());
  }
  const std::vector<std::string> head = t.header_line == 1 ? t.header : std::vector<std::string>{""};
  auto column = [&](const char* name, bool needed) {
    for (size_t k = 0; k < head.size(); ++k)
      if (head[k] == name) return static_cast<int>(k);
    if (needed)
      throw LineageError(path + ": no column \"" + name +
                         "\" in the header (needs frame, id, track, parent_track, x, y, length, angle)");
    return -1;
  };
  const int cols[8] = {column("frame", true), column("id", true),     column("track", true), column("parent_track", true),
                       column("x", true),     column("y", true),      column("length", true), column("angle", true)};
  const int conf = column("confidence", false);
  rated = conf >= 0;
  std::vector<Cell> cells;
  for (const CsvRecord& rec : t.rows) {
    const std::vector<std::string>& f = rec.fields;
    const std::string where = path + " line " + std::to_string(rec.line);
    if (f.size() != head.size())
      throw LineageError(where + ": " + std::to_string(f.size()) + " fields, the header has " + std::to_string(head.size()));
    double v[9];
    for (int k = 0; k < 9; ++k) {
      const int c = k < 8 ? cols[k] : conf;
      if (c < 0) {
        v[k] = 1;
        continue;
      }
      const std::string& text = f[static_cast<size_t>(c)];
      char* end = nullptr;
      errno = 0;
      v[k] = std::strtod(text.c_str(), &end);
      if (text.empty() || *end != '\0' || errno != 0 || !std::isfinite(v[k]))
        throw LineageError(where + ": \"" + text + "\" in column " + head[static_cast<size_t>(c)] + " is not a number");
    }
    Cell cell;
    cell.frame = std::lround(v[0]), cell.id = v[1], cell.track = std::lround(v[2]), cell.parent = std::lround(v[3]);
    cell.x = v[4], cell.y = v[5], cell.length = v[6], cell.angle = v[7], cell.confidence = v[8];
    cells.push_back(cell);
  }
  if (cells.empty()) throw LineageError(path + " has no cells");
  return cells;
}

// The track mask of frame `number` in `dir`, three or four digits; empty
// name when there is none.
std::string mask_path(const std::string& dir, long number) {
  for (const char* pattern : {"%s/mask%03ld.tif", "%s/mask%04ld.tif"}) {
    char name[4096];
    std::snprintf(name, sizeof name, pattern, dir.c_str(), number);
    struct stat st;
    if (stat(name, &st) == 0 && S_ISREG(st.st_mode)) return name;
  }
  return "";
}

// Per track label, the pixel edges between its pixels and the rest as one
// SVG path (pixel (x, y) is the unit square centred on (x, y)).
std::map<long, std::string> outlines(const vantu::LabelImage& m, double scale, double ox, double oy) {
  std::map<long, std::string> paths;
  auto label = [&](long x, long y) -> std::uint32_t {
    if (x < 0 || y < 0 || x >= m.width || y >= m.height) return 0;
    return m.labels[static_cast<size_t>(y) * static_cast<size_t>(m.width) + static_cast<size_t>(x)];
  };
  auto edge = [&](std::string& p, double x1, double y1, double x2, double y2) {
    p += "M" + fmt(ox + x1 * scale) + " " + fmt(oy + y1 * scale) + "L" + fmt(ox + x2 * scale) + " " + fmt(oy + y2 * scale);
  };
  for (long y = 0; y < m.height; ++y)
    for (long x = 0; x < m.width; ++x) {
      const std::uint32_t l = label(x, y);
      if (l == 0) continue;
      std::string& p = paths[static_cast<long>(l)];
      if (label(x - 1, y) != l) edge(p, x - 0.5, y - 0.5, x - 0.5, y + 0.5);
      if (label(x + 1, y) != l) edge(p, x + 0.5, y - 0.5, x + 0.5, y + 0.5);
      if (label(x, y - 1) != l) edge(p, x - 0.5, y - 0.5, x + 0.5, y - 0.5);
      if (label(x, y + 1) != l) edge(p, x - 0.5, y + 0.5, x + 0.5, y + 0.5);
    }
  return paths;
}

struct Frames {
  long a = 0, b = 0;
  std::vector<const Cell*> first, second;
};

// A text's box in the picture, for keeping labels apart.
struct Box {
  double x0, y0, x1, y1;
  bool hits(const Box& o) const { return x0 < o.x1 && o.x0 < x1 && y0 < o.y1 && o.y0 < y1; }
};

// Places labels one after the other, each at the first of a ring of
// positions around its anchor that overlaps no label placed before (else at
// the least crowded of them).
class LabelPlacer {
 public:
  explicit LabelPlacer(double font) : font_(font) {}
  // The text's left end and baseline for `text` near (x, y), `gap` away.
  std::pair<double, double> place(const std::string& text, double x, double y, double gap) {
    const double w = 0.6 * font_ * static_cast<double>(text.size()), h = font_;
    Box best{};
    int best_hits = -1;
    for (double r : {gap, 1.8 * gap, 2.8 * gap})
      for (int k = 0; k < 8; ++k) {
        const double a = k * 0.7853981633974483 + 0.3926990816987241;
        const double cx = x + r * std::cos(a), cy = y + r * std::sin(a);
        const Box b{cx - w / 2, cy - h / 2, cx + w / 2, cy + h / 2};
        int hits = 0;
        for (const Box& o : placed_) hits += b.hits(o);
        if (best_hits < 0 || hits < best_hits) best = b, best_hits = hits;
        if (hits == 0) goto found;
      }
  found:
    placed_.push_back(best);
    return {best.x0, best.y1 - 0.2 * h};
  }

 private:
  double font_;
  std::vector<Box> placed_;
};

// `text` broken into lines of at most `width` characters, at spaces.
std::vector<std::string> wrapped(const std::string& text, size_t width) {
  std::vector<std::string> out;
  std::string line;
  std::istringstream words(text);
  for (std::string w; words >> w;) {
    if (!line.empty() && line.size() + 1 + w.size() > width) out.push_back(line), line.clear();
    line += (line.empty() ? "" : " ") + w;
  }
  if (!line.empty()) out.push_back(line);
  return out;
}

// The median distance from each cell to its nearest other cell (0 for fewer
// than two cells).
double nearest_spacing(const std::vector<const Cell*>& cells) {
  std::vector<double> d;
  for (const Cell* a : cells) {
    double best = HUGE_VAL;
    for (const Cell* b : cells)
      if (a != b) best = std::min(best, std::hypot(a->x - b->x, a->y - b->y));
    if (std::isfinite(best)) d.push_back(best);
  }
  if (d.empty()) return 0;
  std::nth_element(d.begin(), d.begin() + static_cast<long>(d.size() / 2), d.end());
  return d[d.size() / 2];
}

Frames pick_frames(const std::vector<Cell>& cells, long n, const std::string& path) {
  Frames f;
  f.a = n;
  f.b = n;
  bool later = false;
  for (const Cell& c : cells) {
    if (c.frame > n && (!later || c.frame < f.b)) f.b = c.frame, later = true;
  }
  for (const Cell& c : cells) {
    if (c.frame == f.a) f.first.push_back(&c);
    if (later && c.frame == f.b) f.second.push_back(&c);
  }
  long lo = cells.front().frame, hi = lo;
  for (const Cell& c : cells) lo = std::min(lo, c.frame), hi = std::max(hi, c.frame);
  if (f.first.empty() || !later)
    throw LineageError("--pair " + std::to_string(n) + ": " + path + " has " +
                       (f.first.empty() ? "no cell in frame " + std::to_string(n) : "no frame after " + std::to_string(n)) +
                       " (frames " + std::to_string(lo) + "-" + std::to_string(hi) + ")");
  return f;
}

}  // namespace

std::string pair_svg(const std::string& dir, const PairView& view, std::string* summary) {
  const std::string cells_path = dir + "/cells.csv";
  bool rated = false;
  const std::vector<Cell> cells = read_cells(cells_path, rated);
  const Frames fr = pick_frames(cells, view.frame, cells_path);

  // The masks of both frames, when the folder has them; their labels are
  // res_track.txt's, mapped back to cells.csv's tracks.
  const std::string mask_a = mask_path(dir, fr.a), mask_b = mask_path(dir, fr.b);
  const bool masks = !mask_a.empty() && !mask_b.empty();
  vantu::LabelImage ma, mb;
  std::map<long, long> track_of_label;
  if (masks) {
    try {
      ma = vantu::read_label_image(mask_a);
      mb = vantu::read_label_image(mask_b);
      std::set<long> tracks;
      for (const Cell& c : cells) tracks.insert(c.track);
      track_of_label = tracks_of_labels(read_label_parents(dir + "/res_track.txt"), tracks);
    } catch (const vantu::ImageError& e) {
      throw LineageError(e.what());
    } catch (const TableError& e) {
      throw LineageError(e.what());
    }
  }

  // The view: the masks' extent, or the rods' ends.
  double lo[2] = {HUGE_VAL, HUGE_VAL}, hi[2] = {-HUGE_VAL, -HUGE_VAL};
  std::vector<double> lengths;
  for (const auto* set : {&fr.first, &fr.second})
    for (const Cell* c : *set) {
      const double t = c->angle / 57.29577951308232, h = 0.5 * c->length;
      for (double s : {-1.0, 1.0}) {
        const double x = c->x + s * h * std::cos(t), y = c->y - s * h * std::sin(t);
        lo[0] = std::min(lo[0], x), hi[0] = std::max(hi[0], x);
        lo[1] = std::min(lo[1], y), hi[1] = std::max(hi[1], y);
      }
      lengths.push_back(c->length);
    }
  std::sort(lengths.begin(), lengths.end());
  const double typical = std::max(lengths[lengths.size() / 2], 1e-6);
  if (masks)  // outlines reach past the rods' ends by about half a width
    for (int k = 0; k < 2; ++k) lo[k] -= 0.3 * typical, hi[k] += 0.3 * typical;
  const double extent = std::max({hi[0] - lo[0], hi[1] - lo[1], typical});
  const double scale = 900.0 / extent, margin = 20 + 0.3 * typical * scale;
  const double width = std::max(2 * margin + (hi[0] - lo[0]) * scale, 700.0);
  const double unit = std::min(typical * scale, 60.0);
  // Rings stay inside a cell's share of a crowded colony.
  const double spacing = nearest_spacing(fr.second) * scale;
  const double ring = std::max(3.0, std::min(0.45 * unit, spacing > 0 ? 0.35 * spacing : HUGE_VAL));
  const double font = std::max(8.0, std::min(14.0, std::min(0.35 * unit, spacing > 0 ? 0.45 * spacing : HUGE_VAL)));

  // Title and legend, wrapped to the picture's width.
  std::map<long, const Cell*> in_a, in_b;  // by track
  for (const Cell* c : fr.first) in_a[c->track] = c;
  for (const Cell* c : fr.second) in_b[c->track] = c;
  const char* const colour_a = "#56B4E9";
  const char* const colour_b = "#E69F00";
  int plain = 0, daughters = 0, doubtful = 0, started = 0, ended = 0;
  for (const Cell* c : fr.second) {
    const bool from = in_a.count(c->track) || (c->parent && in_a.count(c->parent) && !in_b.count(c->parent));
    if (from) (in_a.count(c->track) ? plain : daughters)++;
    else ++started;
    doubtful += rated && c->confidence < kDoubtful;
  }
  for (const Cell* c : fr.first) {
    bool goes_on = in_b.count(c->track) > 0;
    for (const Cell* d : fr.second) goes_on = goes_on || (d->parent == c->track && !in_a.count(d->track));
    ended += !goes_on;
  }
  const std::string counts = count_of(plain, "cell going on", "cells going on") + ", " +
                             count_of(daughters, "daughter", "daughters") + ", " +
                             count_of(doubtful, "doubtful link", "doubtful links") + " (confidence < " +
                             fixed(kDoubtful, 1) + "), " + count_of(started, "track starting", "tracks starting") +
                             ", " + std::to_string(ended) + " ending";
  const size_t columns = static_cast<size_t>(std::max(40.0, (width - 40) / (0.6 * 12)));
  std::vector<std::string> caption = wrapped(counts + (rated ? "" : "; no confidence column"), columns);
  const std::vector<std::string> key = wrapped(
      std::string("(") + (masks ? "outlines from the track masks" : "rods") +
          "); black line: the same cell, purple: a daughter, black-and-white dashes: a doubtful link and its cell, "
          "with the confidence; grey rings: a track starts or ends" + (view.ids ? "; ids: the cells' tracks" : ""),
      columns);
  const double top = 50 + 16.0 * static_cast<double>(caption.size() + key.size() + 1);
  const double ox = margin - lo[0] * scale, oy = top + margin - lo[1] * scale;
  const double height = top + 2 * margin + (hi[1] - lo[1]) * scale;
  auto X = [&](double x) { return ox + x * scale; };
  auto Y = [&](double y) { return oy + y * scale; };

  std::string svg = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
  svg += "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + fmt(width) + "\" height=\"" + fmt(height) +
         "\" viewBox=\"0 0 " + fmt(width) + " " + fmt(height) + "\" font-family=\"sans-serif\">\n";
  svg += "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";

  // Cells: outlines or rods.
  auto draw_frame = [&](const std::vector<const Cell*>& set, const vantu::LabelImage& m, const char* id,
                        const char* colour, double rod_width) {
    svg += std::string("<g id=\"") + id + "\" stroke=\"" + colour + "\">\n";
    if (masks) {
      std::map<long, std::string> paths;  // by track
      for (auto& kv : outlines(m, scale, ox, oy)) {
        const auto t = track_of_label.find(kv.first);
        paths[t == track_of_label.end() ? kv.first : t->second] += kv.second;
      }
      for (const Cell* c : set) {
        auto it = paths.find(c->track);
        if (it != paths.end())
          svg += "<path class=\"outline\" fill=\"none\" stroke-width=\"1.5\" d=\"" + it->second + "\"/>\n";
      }
    } else {
      for (const Cell* c : set) {
        const double t = c->angle / 57.29577951308232, h = 0.5 * c->length;
        svg += "<line class=\"rod\" stroke-linecap=\"round\" stroke-width=\"" + fmt(rod_width) + "\" x1=\"" +
               fmt(X(c->x + h * std::cos(t))) + "\" y1=\"" + fmt(Y(c->y - h * std::sin(t))) + "\" x2=\"" +
               fmt(X(c->x - h * std::cos(t))) + "\" y2=\"" + fmt(Y(c->y + h * std::sin(t))) + "\"/>\n";
      }
    }
    svg += "</g>\n";
  };
  draw_frame(fr.first, ma, "first-frame", colour_a, 0.3 * unit);
  draw_frame(fr.second, mb, "second-frame", colour_b, 0.18 * unit);

  // Links of the later frame's cells, and what starts or ends; then the
  // labels, each placed where it overlaps no other.
  // Doubtful links and rings get a white line under their dashes (halos),
  // so that they show on every colour.
  std::string links, marks, labels, halos;
  LabelPlacer placer(font);
  for (const Cell* c : fr.second) {
    const Cell* from = nullptr;
    bool daughter = false;
    if (in_a.count(c->track)) {
      from = in_a[c->track];
    } else if (c->parent && in_a.count(c->parent) && !in_b.count(c->parent)) {
      from = in_a[c->parent];
      daughter = true;
    }
    const bool doubt = rated && c->confidence < kDoubtful;
    const std::string ends = "x1=\"" + (from ? fmt(X(from->x)) + "\" y1=\"" + fmt(Y(from->y)) : std::string()) +
                             "\" x2=\"" + fmt(X(c->x)) + "\" y2=\"" + fmt(Y(c->y)) + "\"/>\n";
    if (from) links += std::string("<line class=\"") + (daughter ? "daughter" : "link") + (doubt ? " doubtful" : "") + "\" " + ends;
    if (from && doubt) halos += "<line class=\"halo\" " + ends;
    if (!from)
      marks += "<circle class=\"started\" cx=\"" + fmt(X(c->x)) + "\" cy=\"" + fmt(Y(c->y)) + "\" r=\"" + fmt(ring) + "\"/>\n";
    if (doubt) {
      const std::string circle = "cx=\"" + fmt(X(c->x)) + "\" cy=\"" + fmt(Y(c->y)) + "\" r=\"" + fmt(ring * 1.25) + "\"/>\n";
      marks += "<circle class=\"doubtful\" " + circle;
      halos += "<circle class=\"halo\" " + circle;
    }
  }
  for (const Cell* c : fr.first) {
    bool goes_on = in_b.count(c->track) > 0;
    for (const Cell* d : fr.second) goes_on = goes_on || (d->parent == c->track && !in_a.count(d->track));
    if (!goes_on)
      marks += "<circle class=\"ended\" cx=\"" + fmt(X(c->x)) + "\" cy=\"" + fmt(Y(c->y)) + "\" r=\"" + fmt(ring) + "\"/>\n";
  }
  auto label = [&](const Cell* c, const std::string& cls, const std::string& text) {
    const auto at = placer.place(text, X(c->x), Y(c->y), ring * 1.3 + 0.3 * font);
    labels += "<text class=\"" + cls + "\" x=\"" + fmt(at.first) + "\" y=\"" + fmt(at.second) + "\">" + text + "</text>\n";
  };
  for (const Cell* c : fr.second)  // doubtful links first: they matter most
    if (rated && c->confidence < kDoubtful) label(c, "confidence", fixed(c->confidence, 2));
  if (view.ids) {
    for (const Cell* c : fr.second) label(c, "id", std::to_string(c->track));
    for (const Cell* c : fr.first) label(c, "id first", std::to_string(c->track));
  }
  svg += "<style>.link{stroke:#000}.daughter{stroke:#CC79A7}.link,.daughter{stroke-width:" + fmt(std::max(1.0, 0.06 * unit)) +
         "}line.doubtful{stroke:#000;stroke-dasharray:4,3}circle{fill:none;stroke-width:1.5}.started,.ended{stroke:#777}"
         "circle.doubtful{stroke:#000;stroke-dasharray:4,3;stroke-width:2}.halo{stroke:#fff;stroke-dasharray:none}"
         "text{paint-order:stroke;stroke:#fff;stroke-width:2.5px;stroke-linejoin:round;font-size:" + fmt(font) +
         "px}text.first{fill:#0B5E8E}text.confidence{font-weight:bold}</style>\n";
  svg += "<g id=\"halos\" stroke-width=\"" + fmt(std::max(3.0, 0.06 * unit + 2)) + "\">\n" + halos + "</g>\n";
  svg += "<g id=\"links\">\n" + links + "</g>\n<g id=\"marks\">\n" + marks + "</g>\n<g id=\"labels\">\n" + labels + "</g>\n";

  svg += "<text x=\"20\" y=\"24\" font-size=\"15\" font-weight=\"bold\">" +
         xml_escape("frames " + std::to_string(fr.a) + " and " + std::to_string(fr.b) + " of " + dir) + "</text>\n";
  double y = 44;
  for (const std::string& line : caption) {
    svg += "<text x=\"20\" y=\"" + fmt(y) + "\" font-size=\"12\">" + xml_escape(line) + "</text>\n";
    y += 16;
  }
  svg += std::string("<text x=\"20\" y=\"") + fmt(y) + "\" font-size=\"12\"><tspan fill=\"" + colour_a + "\">frame " +
         std::to_string(fr.a) + "</tspan>, <tspan fill=\"" + colour_b + "\">frame " + std::to_string(fr.b) +
         "</tspan></text>\n";
  for (const std::string& line : key) {
    y += 16;
    svg += "<text x=\"20\" y=\"" + fmt(y) + "\" font-size=\"12\">" + xml_escape(line) + "</text>\n";
  }
  svg += "</svg>\n";
  if (summary)
    *summary = "frames " + std::to_string(fr.a) + " and " + std::to_string(fr.b) + ", " + counts +
               (masks ? ", outlines from the masks" : ", rods");
  return svg;
}

}  // namespace vantu_plot
