#include "input/load_points.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "base/check.h"

namespace vantu {

namespace {

bool is_separator(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }


}  // namespace

ColumnCounts read_columns(const std::string& path, const ColumnSlot (&slots)[5]) {
  VANTU_REQUIRE(slots[0].dest != nullptr, "pt1!=NULL");

  // Slots with the same destination share the count of the first of them.
  int owner[5];
  for (int s = 0; s < 5; ++s) {
    owner[s] = s;
    for (int e = 0; e < s; ++e)
      if (slots[e].dest == slots[s].dest) {
        owner[s] = e;
        break;
      }
  }
  ColumnCounts counts = {{0, 0, 0, 0, 0}, false};

  std::ifstream file(path, std::ios::binary);
  const auto cannot_open = [&path]() { return RunEnd{1, strprintf("ERROR opening file: %s\n", path.c_str())}; };
  if (!file) throw cannot_open();

  int maxcol = 0;
  for (const ColumnSlot& s : slots) maxcol = std::max(maxcol, s.column);

  std::string line;
  while (std::getline(file, line)) {
    if (maxcol < 1) continue;
    const char* pos = line.c_str();
    for (int j = 1; j <= maxcol; ++j) {
      char* end = nullptr;
      double value = std::strtod(pos, &end);
      if (end == pos) break;
      // The whole token is passed, also when only its head was a number.
      while (is_separator(*pos)) ++pos;
      while (*pos != '\0' && !is_separator(*pos)) ++pos;

      for (int s = 0; s < 5; ++s) {
        if (slots[s].column != j) continue;
        int& n = counts.stored[owner[s]];
        if (slots[s].dest == nullptr) {
          ++n;
        } else if (n < slots[s].capacity) {
          slots[s].dest[n++] = value;
        } else {
          counts.overflow = true;
        }
        break;
      }
    }
  }
  // A file that opens but cannot be read (a directory, an I/O error) is no
  // more usable than one that does not open.
  if (file.bad()) throw cannot_open();
  for (int s = 0; s < 5; ++s) counts.stored[s] = counts.stored[owner[s]];
  return counts;
}

namespace {

int read_point_file(const std::string& path, const ColumnSlot (&slots)[5]) {
  ColumnCounts counts = read_columns(path, slots);
  if (counts.overflow)
    throw RunEnd{1, strprintf("ERROR too many points in file: %s (at most 1000)\n", path.c_str())};
  return counts.stored[2];
}

}  // namespace

void reset_point_set(PointSet& set) {
  set.xy.assign(2 * kPointCapacity, 0.0);
  set.len.assign(kPointCapacity, 0.0);
  set.ang.assign(kPointCapacity, 0.0);
  set.id.assign(kPointCapacity, 0.0);
  set.count = 0;
}

void load_point_file(const std::string& path, const ParameterSet& p, bool first, PointSet& set) {
  reset_point_set(set);
  constexpr int kPer = kPointCapacity;
  // The first set reads angles; the second set's fourth slot is its id.
  ColumnSlot slots[5] = {{p.nx, set.xy.data(), 2 * kPer}, {p.ny, set.xy.data(), 2 * kPer},
                         {p.Nlen, set.len.data(), kPer},  {p.Nang, set.ang.data(), kPer},
                         {p.Nid, set.id.data(), kPer}};
  if (!first) {
    slots[3] = {p.Nid, set.id.data(), kPer};
    slots[4] = {0, nullptr, 0};
  }
  set.count = read_point_file(path, slots);
}

void load_point_sets(PointInput& in, const ParameterSet& p) {
  load_point_file(in.first_file, p, true, in.first);
  load_point_file(in.second_file, p, false, in.second);
}

void print_loading_lines(const PointInput& in, std::FILE* out) {
  std::fprintf(out, "  loaded %d points from %s.\n", in.first.count, in.first_file.c_str());
  std::fprintf(out, "  loaded %d points from %s.\n", in.second.count, in.second_file.c_str());
  std::fprintf(out, "\n");
}

}  // namespace vantu
