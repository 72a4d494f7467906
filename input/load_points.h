// Point input: the reader of whitespace-separated numeric tables and the two
// point sets of a run.
//
// A table has one record per line; column k is the k-th whitespace-separated
// token (separators: space, tab, carriage return, line feed). Lines of any
// length are read whole.
//
// A PointSet holds, per point i:
//   xy[2i], xy[2i+1]  the values of columns nx and ny, in file column order
//   len[i]            the value of column Nlen (the point count is the number
//                     of lengths read, so a length column is required)
//   ang[i]            the value of column Nang in degrees (first set only)
//   id[i]             the value of column Nid
// Arrays are sized for kPointCapacity points and zero-filled before reading,
// so a switched-off column reads as 0.0 for every point.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "base/params.h"

namespace vantu {

constexpr int kPointCapacity = 1000;

// One column to read: its number (from 1; 0 or less never matches) and the
// destination array with room for `capacity` values. Slots that name the same
// destination share one count, so their values interleave in file order.
struct ColumnSlot {
  int column;
  double* dest;
  int capacity;
};

struct ColumnCounts {
  int stored[5];   // values stored through each slot (shared counts repeat)
  bool overflow;   // some value did not fit its destination and was dropped
};

// Reads `path` into the five slots. A value goes through the first slot whose
// column number matches; a number is read as strtod reads it and its whole
// token counts as one column; a line stops at its first non-numeric token.
// Throws RunEnd (status 1, "ERROR opening file: ...") when the file cannot be
// opened or cannot be read to its end (a directory, an I/O error). The point count of a point file is stored[2], the count of its
// length slot.
ColumnCounts read_columns(const std::string& path, const ColumnSlot (&slots)[5]);

struct PointSet {
  std::vector<double> xy, len, ang, id;
  int count = 0;
};

struct PointInput {
  std::string first_file = "newbact/image026.dat";
  std::string second_file = "newbact/image029.dat";
  PointSet first;   // K points: the rows of every match matrix
  PointSet second;  // M points: the columns
};

// Empties `set` with room for kPointCapacity points, every value 0.0.
void reset_point_set(PointSet& set);

// Reads one point file as the first set (with angles) or as the second.
// Throws RunEnd on an unopenable file or more than kPointCapacity points.
void load_point_file(const std::string& path, const ParameterSet& p, bool first, PointSet& set);

// Reads both point files with the configured columns. Throws RunEnd on an
// unopenable or unreadable file or more than kPointCapacity points.
void load_point_sets(PointInput& in, const ParameterSet& p);

// The loading lines of the two sets, with the names in `in`.
void print_loading_lines(const PointInput& in, std::FILE* out);

}  // namespace vantu
