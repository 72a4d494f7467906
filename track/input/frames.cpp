// Frame input: one point file per frame, and the checks every time-lapse
// passes before any pair is matched.
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sys/stat.h>

#include "base/check.h"
#include "track/input/input.h"

namespace vantu {

bool parse_number(const std::string& token, double& value) {
  if (token.empty()) return false;
  char* end = nullptr;
  value = std::strtod(token.c_str(), &end);
  return end == token.c_str() + token.size() && std::isfinite(value);
}

namespace {

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::vector<std::string> tokens_of(const std::string& line) {
  std::vector<std::string> out;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && is_space(line[i])) ++i;
    size_t j = i;
    while (j < line.size() && !is_space(line[j])) ++j;
    if (j > i) out.push_back(line.substr(i, j - i));
    i = j;
  }
  return out;
}

// True when the line starts with something strtod reads: a data row (the
// matcher's reader skips the other lines).
bool is_data_row(const std::string& line) {
  const char* p = line.c_str();
  char* end = nullptr;
  std::strtod(p, &end);
  return end != p;
}

struct ColumnRole {
  const char* name;
  int column;
  std::vector<double>* dest;
};

// Reads the cells of one frame file for the output and checks that every
// data row has a number in every configured column.
void read_frame_cells(const std::string& path, const ParameterSet& p, Frame& f) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) throw file_error(path, "cannot read frame file " + path);
  std::ifstream in(path, std::ios::binary);
  if (!in) throw file_error(path, "cannot read frame file " + path);
  std::string line;
  ColumnRole roles[5] = {{"x", p.nx, &f.x},
                         {"y", p.ny, &f.y},
                         {"length", p.Nlen, &f.length},
                         {"angle", p.Nang, &f.angle},
                         {"id", p.Nid, &f.id}};
  if (p.Nlen < 1) throw TrackError(strprintf("the length column must be set (Nlen=%d)", p.Nlen));
  long number = 0;
  while (std::getline(in, line)) {
    ++number;
    if (!is_data_row(line)) continue;
    const std::vector<std::string> tok = tokens_of(line);
    for (ColumnRole& r : roles) {
      double v = 0.0;
      if (r.column >= 1) {
        if (static_cast<size_t>(r.column) > tok.size())
          throw TrackError(strprintf("%s:%ld: no column %d (%s)", path.c_str(), number, r.column, r.name));
        if (!parse_number(tok[static_cast<size_t>(r.column - 1)], v))
          throw TrackError(strprintf("%s:%ld: non-numeric value \"%s\" in column %d (%s)", path.c_str(), number,
                                     tok[static_cast<size_t>(r.column - 1)].c_str(), r.column, r.name));
      }
      r.dest->push_back(v);
    }
  }
  if (in.bad()) throw file_error(path, "cannot read frame file " + path);
}

}  // namespace

TimeLapse read_frame_files(const std::vector<std::string>& inputs, const ParameterSet& p, const MovieInput& movie) {
  TimeLapse tl;
  const std::vector<MovieFile> files = numbered_files(inputs, movie.frame_number, &tl.warnings);
  std::vector<std::string> paths;
  for (const MovieFile& m : files) paths.push_back(m.path);
  tl.frames.resize(paths.size());
  for (size_t t = 0; t < paths.size(); ++t) {
    Frame& f = tl.frames[t];
    f.number = files[t].number;
    f.source = paths[t];
    read_frame_cells(paths[t], p, f);
    // The matcher's own reader, so that a pair sees exactly what the
    // two-frame program sees in the same files. (A frame larger than the
    // two-frame program takes is matched in tiles, from the values read here.)
    if (f.count() > kPointCapacity) {
      fill_point_sets(f);
      continue;
    }
    try {
      load_point_file(paths[t], p, true, f.first);
      load_point_file(paths[t], p, false, f.second);
    } catch (const RunEnd&) {
      throw file_error(paths[t], "cannot read frame file " + paths[t]);
    }
    if (f.first.count != f.count() || f.second.count != f.count())
      throw TrackError("frame file " + paths[t] + " changed while it was read");
  }
  drop_blank_frames(tl, files.front().number, files.back().number, movie.allow_gaps);
  return tl;
}

void fill_point_sets(Frame& f) {
  for (PointSet* s : {&f.first, &f.second}) {
    reset_point_set(*s);
    if (f.count() > kPointCapacity) {
      for (auto* v : {&s->len, &s->ang, &s->id}) v->resize(static_cast<size_t>(f.count()), 0.0);
      s->xy.resize(2 * static_cast<size_t>(f.count()), 0.0);
    }
    s->count = f.count();
    for (int i = 0; i < f.count(); ++i) {
      s->xy[2 * static_cast<size_t>(i)] = f.x[static_cast<size_t>(i)];
      s->xy[2 * static_cast<size_t>(i) + 1] = f.y[static_cast<size_t>(i)];
      s->len[static_cast<size_t>(i)] = f.length[static_cast<size_t>(i)];
      s->id[static_cast<size_t>(i)] = f.id[static_cast<size_t>(i)];
      if (s == &f.first) s->ang[static_cast<size_t>(i)] = f.angle[static_cast<size_t>(i)];
    }
  }
}

void check_time_lapse(const TimeLapse& tl) {
  if (tl.frames.size() < 2)
    throw TrackError(strprintf("a time-lapse needs at least two frames with cells (got %zu)", tl.frames.size()));
  for (const Frame& f : tl.frames) {
    std::map<double, int> seen;
    for (int i = 0; i < f.count(); ++i) {
      auto ins = seen.emplace(f.id[static_cast<size_t>(i)], i);
      if (!ins.second)
        throw TrackError(strprintf("%s: id %s appears twice in one frame", f.source.c_str(),
                                   number_text(f.id[static_cast<size_t>(i)]).c_str()));
    }
  }
}

}  // namespace vantu
