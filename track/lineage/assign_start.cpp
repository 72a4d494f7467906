// Where the assignment's last pass starts, as text: kept by an output folder
// so that a rerun with corrections decides only the last pass again.
//
// The text: a first line naming it and the key, a line of the model's
// numbers, then per pair a line "K M" and its three rows of links and its
// residuals, each a line of numbers. Doubles are written with 17 digits, so
// they read back to the same bits.
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <sstream>

#include "base/check.h"
#include "track/lineage/assign.h"

namespace vantu {

namespace {

// The number in it says which assignment wrote the start: raise it when the
// passes before the last decide differently, so that a folder's start from
// an earlier build is not taken for this one's.
constexpr const char* kStartHeader = "vantu assignment start 2 key";

struct Hash {
  uint64_t h = 1469598103934665603ULL;
  void bytes(const void* p, size_t n) {
    const unsigned char* c = static_cast<const unsigned char*>(p);
    for (size_t k = 0; k < n; ++k) h = (h ^ c[k]) * 1099511628211ULL;
  }
  template <class T>
  void value(T v) { bytes(&v, sizeof v); }
  template <class T>
  void all(const std::vector<T>& v) {
    value(v.size());
    if (!v.empty()) bytes(v.data(), v.size() * sizeof(T));
  }
};

// The model's numbers in one order, for writing and reading. A number added
// to the model must be added here too, or a rerun would start from its default.
constexpr size_t kModelNumbers = 25;
static_assert(sizeof(LinkModel) == kModelNumbers * sizeof(double), "a LinkModel number is not kept");
std::vector<double*> fields(LinkModel& m) {
  return {&m.growth, &m.growth_spread, &m.position_spread, &m.across, &m.axis_spread, &m.stray, &m.stray_spread,
          &m.division_growth, &m.division_spread, &m.share_spread, &m.division_axis_spread, &m.separation,
          &m.divide, &m.appear_inside, &m.appear_border, &m.lost_inside, &m.lost_border, &m.min_x, &m.min_y,
          &m.max_x, &m.max_y, &m.border, &m.spacing, &m.edge, &m.length_range};
}

template <class T>
void put_line(std::string& out, const std::vector<T>& v) {
  char buf[40];
  for (size_t k = 0; k < v.size(); ++k) {
    if constexpr (std::is_same_v<T, double>) std::snprintf(buf, sizeof buf, "%.17g", v[k]);
    else std::snprintf(buf, sizeof buf, "%d", v[k]);
    out += (k ? " " : "") + std::string(buf);
  }
  out += '\n';
}

template <class T>
bool get_line(std::istream& in, size_t n, std::vector<T>& v) {
  std::string line;
  if (!std::getline(in, line)) return false;
  std::istringstream words(line);
  v.clear();
  std::string w;
  while (words >> w) {
    char* end = nullptr;
    if constexpr (std::is_same_v<T, double>) v.push_back(std::strtod(w.c_str(), &end));
    else v.push_back(static_cast<int>(std::strtol(w.c_str(), &end, 10)));
    if (*end != '\0') return false;
  }
  return n == static_cast<size_t>(-1) || v.size() == n;
}

}  // namespace

unsigned long long assign_start_key(const TimeLapse& tl, const std::vector<PairLinks>& proposed) {
  Hash h;
  h.value(tl.step), h.value(tl.width), h.value(tl.height);
  for (const Frame& f : tl.frames) {
    h.value(f.number);
    h.all(f.x), h.all(f.y), h.all(f.length), h.all(f.angle);
  }
  for (const PairLinks& pl : proposed) {
    h.value(pl.K), h.value(pl.M);
    for (const std::vector<int>& r : pl.row) h.all(r);
  }
  return h.h ? h.h : 1;
}

std::string assign_start_text(const AssignStart& s) {
  std::string out = strprintf("%s %016llx\n", kStartHeader, s.key);
  LinkModel m = s.model;
  std::vector<double> model;
  for (double* v : fields(m)) model.push_back(*v);
  put_line(out, model);
  out += strprintf("%zu\n", s.links.size());
  for (size_t t = 0; t < s.links.size(); ++t) {
    const PairLinks& pl = s.links[t];
    out += strprintf("%d %d\n", pl.K, pl.M);
    for (const std::vector<int>& r : pl.row) put_line(out, r);
    put_line(out, t < s.spread.size() ? s.spread[t] : std::vector<double>{});
  }
  return out;
}

AssignStart assign_start_of_text(const std::string& text) {
  AssignStart s, none;
  std::istringstream in(text);
  std::string line;
  if (!std::getline(in, line) || line.compare(0, std::strlen(kStartHeader), kStartHeader) != 0) return none;
  s.key = std::strtoull(line.c_str() + std::strlen(kStartHeader), nullptr, 16);
  std::vector<double> model;
  std::vector<double*> f = fields(s.model);
  if (!get_line(in, f.size(), model)) return none;
  for (size_t k = 0; k < f.size(); ++k) *f[k] = model[k];
  std::vector<int> count;
  if (!get_line(in, 1, count) || count[0] < 0) return none;
  s.links.resize(static_cast<size_t>(count[0]));
  s.spread.resize(s.links.size());
  for (size_t t = 0; t < s.links.size(); ++t) {
    PairLinks& pl = s.links[t];
    std::vector<int> km;
    if (!get_line(in, 2, km) || km[0] < 0 || km[1] < 0) return none;
    pl.K = km[0], pl.M = km[1];
    for (std::vector<int>& r : pl.row) {
      if (!get_line(in, static_cast<size_t>(pl.M), r)) return none;
      for (int i : r)
        if (i < -1 || i >= pl.K) return none;
    }
    if (!get_line(in, static_cast<size_t>(-1), s.spread[t])) return none;
  }
  return s;
}

}  // namespace vantu
