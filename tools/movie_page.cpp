// The movie page of vantu-plot (see movie_page.h): reads a vantu-track
// output folder, checks it, codes its frames and splices them into the page.
#include "tools/movie_page.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sys/stat.h>
#include <unordered_map>

#include "image/image.h"
#include "run/output_folder.h"
#include "run/writers.h"
#include "tools/lineage_table.h"
#include "viewer_sources.h"  // generated from viewer/ at build time

namespace vantu_plot {

namespace {

std::string fmt(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string fmt(const char* format, ...) {
  char buf[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(buf, sizeof buf, format, args);
  va_end(args);
  return buf;
}

// ---------------------------------------------------------------- tables

using Record = CsvRecord;

// The shared reader's table with this page's conversions: missing trailing
// fields read as empty.
struct Table : CsvTable {
  int required(const std::string& name) const {
    const int k = column(name);
    if (k < 0) throw MovieError(path + ": no column \"" + name + "\"");
    return k;
  }
  const std::string& text(const Record& r, int k) const {
    static const std::string none;
    return static_cast<size_t>(k) < r.fields.size() ? r.fields[static_cast<size_t>(k)] : none;
  }
  double number(const Record& r, int k) const {
    const std::string& s = text(r, k);
    char* end = nullptr;
    const double v = std::strtod(s.c_str(), &end);
    if (s.empty() || end != s.c_str() + s.size() || !std::isfinite(v))
      throw MovieError(fmt("%s line %ld: \"%s\" is not a number (column %s)", path.c_str(), r.line, s.c_str(),
                           header[static_cast<size_t>(k)].c_str()));
    return v;
  }
  long whole(const Record& r, int k, long lowest) const {
    const double v = number(r, k);
    if (v != std::floor(v) || v < lowest || v > 1e9)
      throw MovieError(fmt("%s line %ld: %s is not a %s (column %s)", path.c_str(), r.line, text(r, k).c_str(),
                           lowest > 0 ? "positive whole number" : "whole number >= 0",
                           header[static_cast<size_t>(k)].c_str()));
    return static_cast<long>(v);
  }
};

bool is_file(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

Table read_table(const std::string& path) {
  try {
    return Table{read_csv_table(path)};
  } catch (const TableError& e) {
    throw MovieError(e.what());
  }
}

// ---------------------------------------------------------------- the lineage

struct Cell {
  long frame = 0, track = 0;
  double x = 0, y = 0, length = 0, angle = 0;
  double confidence = -1;  // -1: not rated
  long flag = 0;
  long line = 0;
  std::vector<double> channel;  // Movie::channels' NAME_mean (NaN: none)
  std::string id;        // as cells.csv writes it (empty without an id column)
  bool by_hand = false;  // cells.csv's by_hand: set by the user's corrections
};

struct TrackInfo {
  long parent = 0, founder = 0, generation = 0;
  int fate = -1;
  long line = 0;  // first line of cells.csv with the track
  std::string suspect;  // tracks.csv's reasons, empty: nothing wrong
};

struct Movie {
  std::string dir, name;
  bool has_flag = false, has_generation = false, has_confidence = false, has_fate = false;
  bool has_id = false;
  std::vector<Cell> cells;               // sorted by frame, then track
  std::map<long, TrackInfo> tracks;      // by label
  std::vector<std::string> fates;
  std::vector<long> frames;              // frame numbers
  std::map<long, std::string> masks;     // frame number -> track mask path
  std::map<long, long> track_of_label;   // a track mask's label -> its track in cells.csv (tracks_of_labels)
  int width = 0, height = 0;
  std::vector<std::string> channels;     // fluorescence: NAME of every NAME_mean with NAME_total beside it
  double frame_minutes = 0;              // DIR/units' frame interval, 0: not given
};

// The fluorescence channels of cells.csv (vantu-track --intensity): their
// names and the columns of their NAME_mean.
std::vector<int> channel_columns(const Table& t, Movie& m) {
  std::vector<int> out;
  const std::string suffix = "_mean";
  for (const std::string& h : t.header)
    if (h.size() > suffix.size() && h.compare(h.size() - suffix.size(), suffix.size(), suffix) == 0) {
      const std::string name = h.substr(0, h.size() - suffix.size());
      if (t.column(name + "_total") < 0) continue;
      m.channels.push_back(name);
      out.push_back(t.column(h));
    }
  return out;
}

void read_cells(Movie& m) {
  const Table t = read_table(m.dir + "/cells.csv");
  const int frame = t.required("frame"), track = t.required("track"), parent = t.required("parent_track");
  const int x = t.required("x"), y = t.required("y"), length = t.required("length"), angle = t.required("angle");
  const int flag = t.column("flag"), generation = t.column("generation"), confidence = t.column("confidence");
  m.has_flag = flag >= 0, m.has_generation = generation >= 0;
  const std::vector<int> channels = channel_columns(t, m);
  const int id = t.column("id"), by_hand = t.column("by_hand");
  m.has_id = id >= 0;
  for (const Record& r : t.rows) {
    if (r.fields.size() == 1 && r.fields[0].empty()) continue;  // a blank line
    Cell c;
    c.line = r.line;
    c.frame = t.whole(r, frame, 0), c.track = t.whole(r, track, 1);
    c.x = t.number(r, x), c.y = t.number(r, y), c.length = t.number(r, length), c.angle = t.number(r, angle);
    if (flag >= 0) c.flag = t.whole(r, flag, 0);
    for (const int k : channels) c.channel.push_back(t.text(r, k).empty() ? NAN : t.number(r, k));
    if (id >= 0) c.id = t.text(r, id);
    if (by_hand >= 0) c.by_hand = t.whole(r, by_hand, 0) != 0;
    if (confidence >= 0 && !t.text(r, confidence).empty()) {
      c.confidence = t.number(r, confidence), m.has_confidence = true;
      if (c.confidence < 0 || c.confidence > 1)
        throw MovieError(fmt("%s line %ld: confidence %g is not in [0, 1]", t.path.c_str(), r.line, c.confidence));
    }
    const long p = t.whole(r, parent, 0);
    auto [it, fresh] = m.tracks.emplace(c.track, TrackInfo{p, 0, -1, -1, r.line, {}});
    if (!fresh && it->second.parent != p)
      throw MovieError(fmt("%s line %ld: track %ld has parent %ld, but %ld on line %ld", t.path.c_str(), r.line,
                           c.track, p, it->second.parent, it->second.line));
    if (generation >= 0) it->second.generation = t.whole(r, generation, 0);
    m.cells.push_back(c);
  }
  if (m.cells.empty()) throw MovieError(t.path + " has no cells: " + m.dir + " holds no lineage");
  std::stable_sort(m.cells.begin(), m.cells.end(),
                   [](const Cell& a, const Cell& b) { return a.frame != b.frame ? a.frame < b.frame : a.track < b.track; });
  for (size_t i = 1; i < m.cells.size(); ++i)
    if (m.cells[i].frame == m.cells[i - 1].frame && m.cells[i].track == m.cells[i - 1].track)
      throw MovieError(fmt("%s line %ld: track %ld has a second cell in frame %ld (line %ld)", t.path.c_str(),
                           m.cells[i].line, m.cells[i].track, m.cells[i].frame, m.cells[i - 1].line));
  for (const auto& [label, info] : m.tracks)
    if (info.parent != 0 && !m.tracks.count(info.parent))
      throw MovieError(fmt("%s line %ld: parent track %ld of track %ld has no cell", t.path.c_str(), info.line,
                           info.parent, label));
}

// Founder and generation from the parent links (unless a file gave them).
void trace_ancestry(Movie& m) {
  for (auto& [label, info] : m.tracks) {
    long root = label, depth = 0;
    while (m.tracks.at(root).parent != 0) {
      root = m.tracks.at(root).parent;
      if (++depth > static_cast<long>(m.tracks.size()))
        throw MovieError(fmt("%s/cells.csv line %ld: the ancestry of track %ld runs in a circle", m.dir.c_str(),
                             info.line, label));
    }
    if (info.founder == 0) info.founder = root;
    if (info.generation < 0) info.generation = depth;
  }
}

// tracks.csv, when present: founder, generation and fate by track.
void read_tracks(Movie& m) {
  const std::string path = m.dir + "/tracks.csv";
  if (!is_file(path)) return;
  const Table t = read_table(path);
  const int track = t.required("track"), parent = t.column("parent_track"), founder = t.column("founder");
  const int generation = t.column("generation"), fate = t.column("fate"), suspect = t.column("suspect");
  m.has_fate = fate >= 0, m.has_generation = m.has_generation || generation >= 0;
  for (const Record& r : t.rows) {
    if (r.fields.size() == 1 && r.fields[0].empty()) continue;
    const long label = t.whole(r, track, 1);
    auto it = m.tracks.find(label);
    if (it == m.tracks.end())
      throw MovieError(fmt("%s line %ld: track %ld has no cell in %s/cells.csv; is it from another run?",
                           path.c_str(), r.line, label, m.dir.c_str()));
    TrackInfo& info = it->second;
    if (parent >= 0 && t.whole(r, parent, 0) != info.parent)
      throw MovieError(fmt("%s line %ld: track %ld has parent %s, but %ld in %s/cells.csv; is it from another run?",
                           path.c_str(), r.line, label, t.text(r, parent).c_str(), info.parent, m.dir.c_str()));
    if (founder >= 0) info.founder = t.whole(r, founder, 1);
    if (generation >= 0) info.generation = t.whole(r, generation, 0);
    if (suspect >= 0) info.suspect = t.text(r, suspect);
    if (fate >= 0 && !t.text(r, fate).empty()) {
      const std::string& name = t.text(r, fate);
      auto f = std::find(m.fates.begin(), m.fates.end(), name);
      info.fate = static_cast<int>(f - m.fates.begin());
      if (f == m.fates.end()) m.fates.push_back(name);
    }
  }
}

// "maskNNN.tif" (any number of digits): the track mask of frame NNN.
void find_masks(Movie& m) {
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(m.dir, ec)) {
    const std::string name = entry.path().filename().string();
    if (name.size() < 9 || name.compare(0, 4, "mask") != 0 || name.compare(name.size() - 4, 4, ".tif") != 0)
      continue;
    const std::string digits = name.substr(4, name.size() - 8);
    if (digits.size() > 9 || digits.find_first_not_of("0123456789") != std::string::npos) continue;
    m.masks[std::stol(digits)] = m.dir + "/" + name;
  }
}

void list_frames(Movie& m) {
  std::set<long> numbers;
  for (const Cell& c : m.cells) numbers.insert(c.frame);
  if (!m.masks.empty())
    for (long number : numbers)
      if (!m.masks.count(number))
        throw MovieError(fmt("%s has track masks, but none for frame %ld of its cells.csv; the masks no longer match it",
                             m.dir.c_str(), number));
  for (const auto& mask : m.masks) numbers.insert(mask.first);
  m.frames.assign(numbers.begin(), numbers.end());
}

// The masks carry res_track.txt's labels: a track cut by a gap has a label
// of its own after it.
void map_mask_labels(Movie& m) {
  if (m.masks.empty()) return;
  std::set<long> tracks;
  for (const auto& t : m.tracks) tracks.insert(t.first);
  try {
    m.track_of_label = tracks_of_labels(read_label_parents(m.dir + "/res_track.txt"), tracks);
  } catch (const TableError& e) {
    throw MovieError(e.what());
  }
}

Movie read_movie(const std::string& dir) {
  Movie m;
  m.dir = dir;
  while (m.dir.size() > 1 && m.dir.back() == '/') m.dir.pop_back();
  m.name = m.dir;
  if (!is_file(m.dir + "/cells.csv")) throw MovieError(m.dir + " holds no lineage: no file " + m.dir + "/cells.csv");
  read_cells(m);
  read_tracks(m);
  trace_ancestry(m);
  find_masks(m);
  list_frames(m);
  map_mask_labels(m);
  m.frame_minutes = frame_minutes(m.dir);
  return m;
}

// ---------------------------------------------------------------- coding

long tenths(double v) { return std::lround(v * 10); }

struct FrameCells {
  std::vector<const Cell*> cells;  // in track order
};

// The outlines of one frame's cells from its track mask, after checking that
// the mask holds exactly the frame's tracks where cells.csv puts them.
std::vector<std::vector<Loop>> mask_outlines(Movie& m, long number, const FrameCells& f) {
  const std::string& path = m.masks.at(number);
  vantu::LabelImage image;
  try {
    image = vantu::read_tiff_labels(path);
  } catch (const vantu::ImageError& e) {
    throw MovieError(e.what());
  }
  if (m.width == 0) m.width = image.width, m.height = image.height;
  if (image.width != m.width || image.height != m.height)
    throw MovieError(fmt("%s: %d x %d pixels, but the other track masks have %d x %d", path.c_str(), image.width,
                         image.height, m.width, m.height));
  std::unordered_map<std::uint32_t, const Cell*> cell_of;
  std::uint32_t top = 0;
  for (const Cell* c : f.cells) {
    cell_of[static_cast<std::uint32_t>(c->track)] = c;
    top = std::max(top, static_cast<std::uint32_t>(c->track));
  }
  std::vector<double> sum_x(top + 1, 0), sum_y(top + 1, 0), count(top + 1, 0);
  std::uint32_t last_label = 0, last_track = 0;
  for (int y = 0; y < image.height; ++y)
    for (int x = 0; x < image.width; ++x) {
      std::uint32_t& v = image.labels[static_cast<size_t>(y) * image.width + x];
      if (v == 0) continue;
      if (v != last_label) {
        const auto mapped = m.track_of_label.find(v);
        last_label = v;
        last_track = mapped == m.track_of_label.end() ? v : static_cast<std::uint32_t>(mapped->second);
      }
      if (last_track > top || !cell_of.count(last_track))
        throw MovieError(fmt("%s: label %u (track %u) has no cell in frame %ld of %s/cells.csv; the masks no longer "
                             "match it",
                             path.c_str(), v, last_track, number, m.dir.c_str()));
      v = last_track;
      sum_x[v] += x, sum_y[v] += y, count[v] += 1;
    }
  for (const Cell* c : f.cells) {
    const size_t v = static_cast<size_t>(c->track);
    if (count[v] == 0 || std::hypot(sum_x[v] / count[v] - c->x, sum_y[v] / count[v] - c->y) > 1.0)
      throw MovieError(fmt("%s: track %ld is %s, not at (%g, %g) as %s/cells.csv line %ld says; the masks no "
                           "longer match it",
                           path.c_str(), c->track, count[v] == 0 ? "absent" : "elsewhere", c->x, c->y,
                           m.dir.c_str(), c->line));
  }
  return label_outlines(image.labels, image.width, image.height, top);
}

void code_cell(const Movie& m, const Cell& c, long& previous, const std::vector<Loop>* loops,
               const std::map<long, long>& index_of, std::vector<long>& out) {
  const long index = index_of.at(c.track);
  out.push_back(index - previous);
  previous = index;
  const long x = tenths(c.x), y = tenths(c.y);
  out.push_back(x), out.push_back(y);
  if (m.has_confidence) out.push_back(c.confidence < 0 ? 0 : std::lround(1000 * c.confidence) + 1);
  if (m.has_flag) out.push_back(c.flag);
  if (!loops) {
    out.push_back(tenths(c.length)), out.push_back(tenths(c.angle));
    return;
  }
  out.push_back(static_cast<long>(loops->size()));
  for (const Loop& loop : *loops) {
    out.push_back(static_cast<long>(loop.size() / 2));
    long px = std::lround(c.x), py = std::lround(c.y);
    for (size_t k = 0; k < loop.size(); k += 2) {
      out.push_back(loop[k] - px), out.push_back(loop[k + 1] - py);
      px = loop[k], py = loop[k + 1];
    }
  }
}

std::vector<std::string> code_frames(Movie& m) {
  std::map<long, long> index_of;
  for (const auto& t : m.tracks) index_of.emplace(t.first, static_cast<long>(index_of.size()));
  std::map<long, FrameCells> by_frame;
  for (const Cell& c : m.cells) by_frame[c.frame].cells.push_back(&c);
  std::vector<std::string> out;
  for (long number : m.frames) {
    const FrameCells& f = by_frame[number];
    std::vector<std::vector<Loop>> outlines;
    if (!m.masks.empty()) outlines = mask_outlines(m, number, f);
    std::vector<long> values{static_cast<long>(f.cells.size())};
    long previous = 0;
    for (const Cell* c : f.cells)
      code_cell(m, *c, previous, m.masks.empty() ? nullptr : &outlines[static_cast<size_t>(c->track)], index_of,
                values);
    out.push_back(varint_text(values));
  }
  return out;
}

// ---------------------------------------------------------------- the page

// A JSON string that is safe inside a <script> element.
std::string json_string(const std::string& s) {
  std::string out = "\"";
  for (unsigned char ch : s) {
    if (ch == '"' || ch == '\\')
      out += '\\', out += static_cast<char>(ch);
    else if (ch < 0x20 || ch == '<' || ch == '>' || ch == '&')
      out += fmt("\\u%04x", ch);
    else
      out += static_cast<char>(ch);
  }
  return out + "\"";
}

template <class T, class F>
std::string json_list(const T& items, F text) {
  std::string out = "[";
  for (const auto& item : items) out += (out.size() > 1 ? "," : "") + text(item);
  return out + "]";
}

// Per fluorescence channel its name, the range its colours span (the 1st to
// the 99th percentile of the cells' means) and per frame one character per
// cell, in the frame's cell order: its mean on 64 levels over that range
// (A-Z a-z 0-9 + /, clamped), '-' for none.
std::string channels_json(const Movie& m) {
  static const char kLevels[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out = "[";
  for (size_t k = 0; k < m.channels.size(); ++k) {
    std::vector<double> values;
    for (const Cell& c : m.cells)
      if (std::isfinite(c.channel[k])) values.push_back(c.channel[k]);
    std::sort(values.begin(), values.end());
    const double low = values.empty() ? 0 : values[values.size() / 100];
    const double high = values.empty() ? 1 : values[values.size() - 1 - values.size() / 100];
    std::map<long, std::string> levels;
    for (long number : m.frames) levels[number];
    for (const Cell& c : m.cells) {
      const double v = c.channel[k];
      const double at = high > low ? (v - low) / (high - low) : 0.5;
      levels[c.frame] += std::isfinite(v) ? kLevels[std::lround(63 * std::min(1.0, std::max(0.0, at)))] : '-';
    }
    out += (k ? "," : "") + fmt("{\"name\":%s,\"low\":%.6g,\"high\":%.6g,\"levels\":", json_string(m.channels[k]).c_str(), low, high) +
           json_list(levels, [](const auto& f) { return "\"" + f.second + "\""; }) + "}";
  }
  return out + "]";
}

// The cells' ids per frame (in the order of `cells`) for the corrections a
// user makes on the page, and per frame the cells set by hand.
std::string corrections_json(const Movie& m) {
  if (!m.has_id) return "";
  std::map<long, std::vector<const Cell*>> by_frame;
  for (const Cell& c : m.cells) by_frame[c.frame].push_back(&c);  // by track within a frame, as coded
  std::string ids = ",\"ids\":[", hand = ",\"byHand\":[";
  for (long number : m.frames) {
    const std::vector<const Cell*>& cs = by_frame[number];
    ids += (ids.back() == '[' ? "" : ",") + json_list(cs, [](const Cell* c) { return json_string(c->id); });
    std::vector<size_t> set;
    for (size_t k = 0; k < cs.size(); ++k)
      if (cs[k]->by_hand) set.push_back(k);
    hand += (hand.back() == '[' ? "" : ",") + json_list(set, [](size_t k) { return std::to_string(k); });
  }
  return ids + "]" + hand + "]";
}

std::string data_json(Movie& m) {
  const std::vector<std::string> frames = code_frames(m);
  auto field = [&](long TrackInfo::*member) {
    return json_list(m.tracks, [&](const auto& t) { return std::to_string(t.second.*member); });
  };
  auto flag = [](bool b) { return std::string(b ? "true" : "false"); };
  std::string j = "{\"name\":" + json_string(m.name);
  j += ",\"shape\":\"" + std::string(m.masks.empty() ? "rod" : "outline") + "\"";
  j += ",\"frames\":" + json_list(m.frames, [](long n) { return std::to_string(n); });
  j += fmt(",\"width\":%d,\"height\":%d", m.width, m.height);
  j += ",\"has\":{\"flag\":" + flag(m.has_flag) + ",\"generation\":" + flag(m.has_generation) +
       ",\"confidence\":" + flag(m.has_confidence) + ",\"fate\":" + flag(m.has_fate) + "}";
  j += ",\"fates\":" + json_list(m.fates, json_string);
  j += ",\"tracks\":{\"label\":" + json_list(m.tracks, [](const auto& t) { return std::to_string(t.first); });
  j += ",\"parent\":" + field(&TrackInfo::parent) + ",\"founder\":" + field(&TrackInfo::founder);
  j += ",\"generation\":" + field(&TrackInfo::generation);
  j += ",\"fate\":" + json_list(m.tracks, [](const auto& t) { return std::to_string(t.second.fate); });
  j += ",\"suspect\":" + json_list(m.tracks, [](const auto& t) { return json_string(t.second.suspect); });
  std::map<long, long> parent_of, first_frame;
  for (const auto& t : m.tracks) parent_of[t.first] = t.second.parent;
  for (const Cell& c : m.cells) first_frame.emplace(c.track, c.frame);  // cells are sorted by frame
  const std::map<long, int> colour = founder_colours(parent_of, first_frame);
  j += ",\"colour\":" + json_list(m.tracks, [&](const auto& t) { return std::to_string(colour.at(t.first)); }) + "}";
  j += ",\"palette\":" + json_list(kPalette, [](const char* c) { return json_string(c); });
  j += ",\"lone\":" + json_string(kLoneColour) + fmt(",\"doubtful\":%g", kDoubtful);
  j += ",\"ring\":" + json_string(kRingColour) + ",\"outside\":" + json_string(kOutsideColour);
  j += fmt(",\"interval\":%g", m.frame_minutes);
  j += ",\"cells\":" + json_list(frames, [](const std::string& s) { return "\"" + s + "\""; });
  j += ",\"channels\":" + channels_json(m);
  return j + corrections_json(m) + "}";
}

void splice(std::string& page, const std::string& marker, const std::string& text) {
  const size_t at = page.find(marker);
  if (at == std::string::npos) throw MovieError("the page template lacks " + marker);
  page.replace(at, marker.size(), text);
}

}  // namespace

std::string movie_page(const std::string& dir) {
  Movie m = read_movie(dir);
  std::string page = viewer::kMovieHtml;
  splice(page, "<!-- vantu:style -->", "<style>\n" + std::string(viewer::kMovieCss) + "</style>");
  splice(page, "<!-- vantu:data -->",
         "<script id=\"movie-data\" type=\"application/json\">" + data_json(m) + "</script>");
  splice(page, "<!-- vantu:script -->", "<script>\n" + std::string(viewer::kMovieJs) + "</script>");
  splice(page, "<!-- vantu:title -->", "vantu movie: " + xml_escape(m.name, false));
  return page;
}

bool is_page_name(const std::string& path) {
  std::string tail = path.substr(path.size() >= 5 ? path.size() - 5 : 0);
  for (char& ch : tail) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  return tail == ".html" || tail.substr(tail.size() >= 4 ? tail.size() - 4 : 0) == ".htm";
}

void write_movie_page(const std::string& dir, const std::string& path, bool in_folder) {
  try {
    if (!in_folder) {
      vantu::check_picture_path(path, {".html", ".htm"}, "the movie page is an .html file");
      vantu::write_picture(path, movie_page(dir));
      return;
    }
    // The page in the folder goes through the folder's guard, checked before
    // the page is made.
    vantu::FolderUse use;
    use.shared = true;
    vantu::OutputFolder folder(dir, {}, use);
    const std::string name = "movie.html";
    folder.plan({name});
    const std::string page = movie_page(dir);
    folder.create();
    folder.write(name, page);
  } catch (const vantu::TrackError& e) {
    throw MovieError(e.what());
  }
}

}  // namespace vantu_plot
