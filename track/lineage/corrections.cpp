// Reading and checking a corrections file, and the constraints it makes.
//
// Fields are read by libcsv as the tables are (quoted fields, CRLF or LF),
// one physical line at a time so that a refusal names the line.
#include "track/lineage/corrections.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <map>
#include <sys/stat.h>

#include "base/check.h"

namespace vantu {

namespace {

using Record = CsvRecord;

std::string trimmed(const std::string& s) {
  size_t a = 0, b = s.size();
  while (a < b && std::isspace(static_cast<unsigned char>(s[a]))) ++a;
  while (b > a && std::isspace(static_cast<unsigned char>(s[b - 1]))) --b;
  return s.substr(a, b - a);
}

std::string lower(std::string s) {
  for (char& ch : s) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  return s;
}

// Names a cell of the movie in messages.
std::string cell_name(const TimeLapse& tl, int t, int j) {
  const Frame& f = tl.frames[static_cast<size_t>(t)];
  return "cell " + number_text(f.id[static_cast<size_t>(j)]) + " of frame " + std::to_string(f.number);
}

// Reads the cell that `frame_text` and `id_text` name; throws `where` + reason.
std::pair<int, int> find_cell(const TimeLapse& tl, const std::string& frame_text, const std::string& id_text,
                              const char* frame_col, const char* id_col, const std::string& where) {
  double number = 0, id = 0;
  if (!parse_number(frame_text, number) || number != std::floor(number))
    throw TrackError(where + frame_col + " \"" + frame_text + "\" is not a frame number");
  if (!parse_number(id_text, id)) throw TrackError(where + id_col + " \"" + id_text + "\" is not a cell id");
  const long n = static_cast<long>(number);
  const auto f = std::lower_bound(tl.frames.begin(), tl.frames.end(), n,
                                  [](const Frame& fr, long v) { return fr.number < v; });
  if (f == tl.frames.end() || f->number != n) {
    const std::vector<long> all = movie_numbers(tl);
    if (std::binary_search(all.begin(), all.end(), n))
      throw TrackError(where + "frame " + std::to_string(n) + " has no cells");
    throw TrackError(where + "the movie has no frame " + std::to_string(n) + " (its frames are " +
                     std::to_string(tl.frames.front().number) + " to " + std::to_string(tl.frames.back().number) + ")");
  }
  for (int j = 0; j < f->count(); ++j)
    if (f->id[static_cast<size_t>(j)] == id) return {static_cast<int>(f - tl.frames.begin()), j};
  throw TrackError(where + "frame " + std::to_string(n) + " has no cell with id " + id_text);
}

bool sets_cell(Fix a) { return a != Fix::kNot; }

// Refuses rows that cannot all hold; drops rows repeated word for word.
void check_consistent(const TimeLapse& tl, Corrections& c) {
  std::map<std::pair<int, int>, const Correction*> set_by;      // a cell's link, new or debris
  std::map<std::pair<int, int>, std::vector<const Correction*>> children;  // link rows per origin
  std::vector<Correction> kept;
  auto where = [&](const Correction& r) { return strprintf("%s:%ld: ", c.source.c_str(), r.line); };
  auto same = [](const Correction& a, const Correction& b) {
    return a.action == b.action && a.t == b.t && a.j == b.j && a.from_t == b.from_t && a.from_i == b.from_i;
  };
  for (const Correction& r : c.rows) {
    if (std::any_of(kept.begin(), kept.end(), [&](const Correction& k) { return same(k, r); })) continue;
    kept.push_back(r);
  }
  c.rows = kept;
  for (const Correction& r : c.rows) {
    if (!sets_cell(r.action)) continue;
    const auto [it, fresh] = set_by.emplace(std::make_pair(r.t, r.j), &r);
    if (!fresh) {
      const Correction& o = *it->second;
      const bool two_origins = o.action == Fix::kLink && r.action == Fix::kLink;
      throw TrackError(where(r) + cell_name(tl, r.t, r.j) + (two_origins ? " cannot come from two cells" : " is set twice") +
                       strprintf(" (line %ld: %s)", o.line, fix_name(o.action)));
    }
    if (r.action == Fix::kLink || r.action == Fix::kDaughter) children[{r.from_t, r.from_i}].push_back(&r);
  }
  for (const auto& [origin, kids] : children) {
    const Correction& r = *kids.back();
    if (kids.size() > 2)
      throw TrackError(where(r) + cell_name(tl, origin.first, origin.second) +
                       strprintf(" would have three daughters (lines %ld, %ld and %ld)", kids[0]->line, kids[1]->line,
                                 kids[2]->line));
    if (kids.size() == 2 && kids[0]->t != kids[1]->t)
      throw TrackError(where(r) + "the daughters of " + cell_name(tl, origin.first, origin.second) +
                       strprintf(" must be in one frame (line %ld names frame %ld)", kids[0]->line,
                                 tl.frames[static_cast<size_t>(kids[0]->t)].number));
    const auto s = set_by.find(origin);
    if (s != set_by.end() && s->second->action == Fix::kDebris)
      throw TrackError(where(r) + cell_name(tl, origin.first, origin.second) +
                       strprintf(" is debris (line %ld) and cannot have a successor", s->second->line));
  }
  for (const Correction& r : c.rows) {
    if (r.action != Fix::kNot) continue;
    const auto s = set_by.find({r.t, r.j});
    if (s != set_by.end() && s->second->from_t == r.from_t &&
        s->second->from_i == r.from_i)
      throw TrackError(where(r) + "\"not\" contradicts the link of line " + std::to_string(s->second->line));
  }
}

}  // namespace

const char* fix_name(Fix f) {
  switch (f) {
    case Fix::kLink: return "link";
    case Fix::kDaughter: return "daughter";
    case Fix::kNot: return "not";
    case Fix::kNew: return "new";
    case Fix::kDebris: return "debris";
  }
  return "?";
}

Corrections corrections_of_text(const std::string& text, const std::string& source, const TimeLapse& tl) {
  Corrections c;
  c.source = source;
  if (std::all_of(text.begin(), text.end(), [](char ch) { return std::isspace(static_cast<unsigned char>(ch)); }))
    return c;
  c.text = text;
  const std::vector<Record> records = csv_records(text, source);
  if (records.empty()) return c;
  const Record& head = records.front();
  const char* names[] = {"frame", "id", "action", "from_frame", "from_id"};
  int col[5];
  for (int k = 0; k < 5; ++k) {
    col[k] = -1;
    for (size_t f = 0; f < head.fields.size(); ++f)
      if (lower(trimmed(head.fields[f])) == names[k]) col[k] = static_cast<int>(f);
    if (col[k] < 0)
      throw TrackError(strprintf("%s:%ld: the header has no column %s (it must name %s)", source.c_str(), head.line,
                                 names[k], kCorrectionsHeader));
  }
  for (size_t r = 1; r < records.size(); ++r) {
    const Record& rec = records[r];
    if (std::all_of(rec.fields.begin(), rec.fields.end(), [](const std::string& s) { return trimmed(s).empty(); }))
      continue;
    const std::string where = strprintf("%s:%ld: ", source.c_str(), rec.line);
    if (rec.fields.size() != head.fields.size())
      throw TrackError(where + strprintf("%zu fields where the header has %zu", rec.fields.size(), head.fields.size()));
    auto field = [&](int k) { return trimmed(rec.fields[static_cast<size_t>(col[k])]); };
    Correction x;
    x.line = rec.line;
    const std::string action = lower(field(2));
    if (action == "link") x.action = Fix::kLink;
    else if (action == "daughter") x.action = Fix::kDaughter;
    else if (action == "not") x.action = Fix::kNot;
    else if (action == "new") x.action = Fix::kNew;
    else if (action == "debris") x.action = Fix::kDebris;
    else throw TrackError(where + "action \"" + field(2) + "\" is not link, daughter, not, new or debris");
    std::tie(x.t, x.j) = find_cell(tl, field(0), field(1), "frame", "id", where);
    if (x.action == Fix::kLink || x.action == Fix::kDaughter || x.action == Fix::kNot) {
      if (field(3).empty() || field(4).empty())
        throw TrackError(where + action + " needs from_frame and from_id: the cell it comes from");
      std::tie(x.from_t, x.from_i) = find_cell(tl, field(3), field(4), "from_frame", "from_id", where);
      if (x.from_t >= x.t)
        throw TrackError(where + "from_frame " + field(3) + " is not before frame " + field(0));
    } else if (!field(3).empty() || !field(4).empty()) {
      throw TrackError(where + action + " takes no from_frame and from_id: leave them empty");
    }
    c.rows.push_back(x);
  }
  check_consistent(tl, c);
  return c;
}

Corrections read_corrections(const std::string& path, const TimeLapse& tl) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode))
    throw file_error(path, "cannot read the corrections file " + path);
  return corrections_of_text(read_file_text(path), path, tl);
}

LinkConstraints link_constraints(const Corrections& c, size_t frames) {
  LinkConstraints out;
  if (c.empty() || frames < 2) return out;
  out.pairs.resize(frames - 1);
  const size_t last = frames - 1;
  for (const Correction& r : c.rows) {
    const size_t t = static_cast<size_t>(r.t);
    switch (r.action) {
      case Fix::kLink:
      case Fix::kDaughter:
        if (r.from_t + 1 == r.t) {
          (r.action == Fix::kLink ? out.pairs[t - 1].fixed : out.pairs[t - 1].daughters).push_back({r.from_i, r.j});
        } else {  // across a gap: joined by the repairs; here the ends stay loose
          out.pairs[static_cast<size_t>(r.from_t)].ends.push_back(r.from_i);
          out.pairs[t - 1].fresh.push_back(r.j);
        }
        break;
      case Fix::kNot:
        if (r.from_t + 1 == r.t) out.pairs[t - 1].forbidden.push_back({r.from_i, r.j});
        break;
      case Fix::kNew:
        if (t > 0) out.pairs[t - 1].fresh.push_back(r.j);
        break;
      case Fix::kDebris:
        if (t > 0) out.pairs[t - 1].fresh.push_back(r.j);
        if (t < last) out.pairs[t].ends.push_back(r.j);
        break;
    }
  }
  return out;
}

std::vector<std::vector<char>> cells_by_hand(const TimeLapse& tl, const Corrections& c) {
  std::vector<std::vector<char>> by_hand;
  if (c.empty()) return by_hand;
  for (const Frame& f : tl.frames) by_hand.emplace_back(static_cast<size_t>(f.count()), 0);
  for (const Correction& r : c.rows)
    if (sets_cell(r.action)) by_hand[static_cast<size_t>(r.t)][static_cast<size_t>(r.j)] = 1;
  return by_hand;
}

std::pair<int, int> origin_in(const Lineage& lin, int t, int j) {
  const int k = lin.track[static_cast<size_t>(t)][static_cast<size_t>(j)];
  const Track& tr = lin.tracks[static_cast<size_t>(k - 1)];
  auto cell_of = [&](int track, int s) {
    const std::vector<int>& row = lin.track[static_cast<size_t>(s)];
    for (size_t i = 0; i < row.size(); ++i)
      if (row[i] == track) return static_cast<int>(i);
    return -1;
  };
  for (int s = t - 1; s >= tr.first; --s)
    if (const int i = cell_of(k, s); i >= 0) return {s, i};
  if (tr.parent > 0) {
    const int s = lin.tracks[static_cast<size_t>(tr.parent - 1)].last;
    return {s, cell_of(tr.parent, s)};
  }
  return {-1, -1};
}

std::vector<long> corrections_not_held(const Lineage& lin, const Corrections& c) {
  std::vector<long> broken;
  std::map<std::pair<int, int>, int> kids;  // link rows per origin: 1 the cell going on, 2 its daughters
  for (const Correction& r : c.rows)
    if (r.action == Fix::kLink) ++kids[{r.from_t, r.from_i}];
    else if (r.action == Fix::kDaughter) kids[{r.from_t, r.from_i}] += 2;
  for (const Correction& r : c.rows) {
    const std::pair<int, int> from = origin_in(lin, r.t, r.j);
    bool held = true;
    switch (r.action) {
      case Fix::kLink:
      case Fix::kDaughter: {
        const int k = lin.track[static_cast<size_t>(r.t)][static_cast<size_t>(r.j)];
        const bool daughter = lin.tracks[static_cast<size_t>(k - 1)].first == r.t &&
                              lin.tracks[static_cast<size_t>(k - 1)].parent > 0;
        held = from == std::make_pair(r.from_t, r.from_i) && daughter == (kids[{r.from_t, r.from_i}] >= 2);
        break;
      }
      case Fix::kNot: held = from != std::make_pair(r.from_t, r.from_i); break;
      case Fix::kNew: held = from.first < 0; break;
      case Fix::kDebris: {
        const int k = lin.track[static_cast<size_t>(r.t)][static_cast<size_t>(r.j)];
        const Track& tr = lin.tracks[static_cast<size_t>(k - 1)];
        bool mother = false;
        for (const Track& o : lin.tracks) mother = mother || o.parent == k;
        held = from.first < 0 && tr.first == tr.last && !mother;
        break;
      }
    }
    if (!held) broken.push_back(r.line);
  }
  return broken;
}

}  // namespace vantu
