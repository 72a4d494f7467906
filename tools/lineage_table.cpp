// Reading the tables of a vantu-track output folder (see lineage_table.h).
#include "tools/lineage_table.h"

#include <csv.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace vantu_plot {

namespace {

struct CsvCollector {
  long line = 0;
  std::vector<CsvRecord> records;
  CsvRecord current;
  bool in_record = false;
};

void on_field(void* data, size_t len, void* ctx) {
  auto* c = static_cast<CsvCollector*>(ctx);
  if (!c->in_record) c->current = CsvRecord{c->line, {}}, c->in_record = true;
  c->current.fields.emplace_back(data ? static_cast<const char*>(data) : "", data ? len : 0);
}

void on_record_end(int, void* ctx) {
  auto* c = static_cast<CsvCollector*>(ctx);
  if (c->in_record) c->records.push_back(std::move(c->current));
  c->in_record = false;
}

bool is_file(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

int CsvTable::column(const std::string& name) const {
  for (size_t k = 0; k < header.size(); ++k)
    if (header[k] == name) return static_cast<int>(k);
  return -1;
}

CsvTable read_csv_table(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in || !is_file(path)) throw TableError("cannot read " + path);
  struct csv_parser parser;
  if (csv_init(&parser, CSV_STRICT | CSV_STRICT_FINI | CSV_APPEND_NULL) != 0) throw TableError("out of memory");
  CsvCollector c;
  bool failed = false;
  for (std::string line; !failed && std::getline(in, line);) {
    ++c.line;
    if (!in.eof()) line += '\n';
    failed = csv_parse(&parser, line.data(), line.size(), on_field, on_record_end, &c) != line.size();
  }
  if (!failed) failed = csv_fini(&parser, on_field, on_record_end, &c) != 0;
  const std::string why = failed ? csv_strerror(csv_error(&parser)) : "";
  csv_free(&parser);
  if (failed) throw TableError(path + " line " + std::to_string(c.line) + ": " + why);
  if (c.records.empty()) throw TableError(path + " is empty");
  CsvTable t{path, c.records.front().fields, c.records.front().line, {}};
  for (std::string& h : t.header)
    if (!h.empty() && h.back() == '\r') h.pop_back();
  t.rows.assign(c.records.begin() + 1, c.records.end());
  return t;
}

std::map<long, long> read_label_parents(const std::string& path) {
  std::map<long, long> parent_of;
  std::ifstream in(path, std::ios::binary);
  if (!in || !is_file(path)) return parent_of;
  long n = 0;
  for (std::string line; std::getline(in, line);) {
    ++n;
    std::istringstream fields(line);
    std::vector<long> v;
    for (std::string t; fields >> t;) {
      char* end = nullptr;
      const long x = std::strtol(t.c_str(), &end, 10);
      if (*end != '\0' || x < 0) throw TableError(path + " line " + std::to_string(n) + ": \"" + t + "\" is not a whole number >= 0");
      v.push_back(x);
    }
    if (v.empty()) continue;
    if (v.size() != 4) throw TableError(path + " line " + std::to_string(n) + ": " + std::to_string(v.size()) + " values, needs L B E P");
    parent_of[v[0]] = v[3];
  }
  return parent_of;
}

std::map<long, long> tracks_of_labels(const std::map<long, long>& parent_of, const std::set<long>& tracks) {
  std::map<long, long> track_of;
  for (long t : tracks) track_of[t] = t;
  for (const auto& kv : parent_of) {
    long label = kv.first;
    for (size_t hops = 0; !tracks.count(label) && hops <= parent_of.size(); ++hops) {
      const auto up = parent_of.find(label);
      if (up == parent_of.end()) break;
      label = up->second;
    }
    if (tracks.count(label)) track_of[kv.first] = label;
  }
  return track_of;
}

std::map<long, int> founder_colours(const std::map<long, long>& parent_of, const std::map<long, long>& first_frame) {
  std::set<long> mothers;
  long movie_start = 0;
  bool any = false;
  for (const auto& kv : parent_of)
    if (kv.second != 0) mothers.insert(kv.second);
  for (const auto& kv : first_frame) movie_start = any ? std::min(movie_start, kv.second) : kv.second, any = true;
  auto first_of = [&](long t) {
    const auto it = first_frame.find(t);
    return it == first_frame.end() ? 0 : it->second;
  };
  std::vector<std::pair<long, long>> trees;  // (first frame, founder)
  for (const auto& kv : parent_of)
    if (kv.second == 0 && (mothers.count(kv.first) || first_of(kv.first) <= movie_start))
      trees.push_back({first_of(kv.first), kv.first});
  std::sort(trees.begin(), trees.end());
  std::map<long, int> colour_of_founder;
  for (size_t k = 0; k < trees.size(); ++k) colour_of_founder[trees[k].second] = static_cast<int>(k);
  std::map<long, int> colour;
  for (const auto& kv : parent_of) {
    long root = kv.first;
    for (size_t hops = 0; hops <= parent_of.size(); ++hops) {
      const auto up = parent_of.find(root);
      if (up == parent_of.end() || up->second == 0) break;
      root = up->second;
    }
    const auto c = colour_of_founder.find(root);
    colour[kv.first] = c == colour_of_founder.end() ? -1 : c->second;
  }
  return colour;
}

std::string count_of(long n, const std::string& one, const std::string& many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string xml_escape(const std::string& s, bool quotes) {
  std::string out;
  for (char c : s) {
    if (c == '<') out += "&lt;";
    else if (c == '>') out += "&gt;";
    else if (c == '&') out += "&amp;";
    else if (c == '"' && quotes) out += "&quot;";
    else out += c;
  }
  return out;
}

std::string fixed(double v, int decimals) {
  char b[64];
  std::snprintf(b, sizeof b, "%.*f", decimals, v);
  return b;
}

double frame_minutes(const std::string& dir) {
  std::ifstream in(dir + "/units");
  const std::string tail = " minutes from one frame number to the next";
  for (std::string line; std::getline(in, line);) {
    const size_t end = line.find(tail), start = line.rfind("; ", end);
    if (line.rfind("frames:", 0) != 0 || end == std::string::npos || start == std::string::npos) continue;
    const std::string text = line.substr(start + 2, end - start - 2);
    char* stop = nullptr;
    const double v = std::strtod(text.c_str(), &stop);
    if (stop != text.c_str() && *stop == '\0' && std::isfinite(v) && v > 0) return v;
  }
  return 0;
}

}  // namespace vantu_plot
