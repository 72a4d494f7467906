// A user's corrections of a lineage (vantu-track --corrections FILE): read,
// checked against the movie, and turned into constraints of the assignment
// (assign.h) and of the repairs (repairs.cpp).
//
// The file: a CSV table with the header frame,id,action,from_frame,from_id
// (any order; other columns ignored), one correction a row. A cell is named
// by its frame number and its id (the mask label, or the id of a point file
// or table):
//   link    (frame, id) comes from (from_frame, from_id): it is that cell
//           going on, or, when two cells are linked to one cell, one of its
//           daughters. from_frame may lie more than one frame back (a gap).
//   daughter (frame, id) is a daughter of (from_frame, from_id): with a
//           second row for that cell, the two daughters; alone, a division
//           whose other daughter the assignment finds, or that is not seen.
//   not     (frame, id) does not come from (from_frame, from_id).
//   new     (frame, id) comes from no cell; from_* left empty.
//   debris  (frame, id) is no cell: it starts and ends alone; from_* empty.
// An empty file, or a header alone, holds no correction.
//
// Data layout: Corrections.rows in file order, each cell as a frame index
// (into TimeLapse.frames) and a cell index in that frame.
#pragma once

#include <string>
#include <vector>

#include "track/lineage/lineage.h"

namespace vantu {

enum class Fix { kLink, kDaughter, kNot, kNew, kDebris };
const char* fix_name(Fix f);

struct Correction {
  long line = 0;  // in the file
  Fix action = Fix::kLink;
  int t = 0, j = 0;            // the cell corrected
  int from_t = -1, from_i = -1;  // link, not: the cell it comes (or does not come) from
};

struct Corrections {
  std::string text;    // the file as given (kept in the output folder)
  std::string source;  // its name in messages
  std::vector<Correction> rows;
  bool empty() const { return rows.empty(); }
};

// The header a corrections file starts with.
constexpr const char* kCorrectionsHeader = "frame,id,action,from_frame,from_id";

// Reads corrections from `text` (named `source` in messages) against the
// movie `tl`. Refuses, as a TrackError "SOURCE:LINE: reason", a row that
// cannot be read, names a frame or cell the movie lacks, or contradicts
// another row (a cell from two cells, three daughters, daughters in two
// frames, a link and its negation, a cell set twice, debris with a
// successor). Rows repeated word for word count once.
Corrections corrections_of_text(const std::string& text, const std::string& source, const TimeLapse& tl);
// The same from a file.
Corrections read_corrections(const std::string& path, const TimeLapse& tl);

// The corrections as constraints of one pair's assignment (pair t: frames t
// and t+1; cell indices of their frames).
struct PairConstraints {
  std::vector<std::pair<int, int>> fixed;      // (i, j): j comes from i (going on; two of i: its daughters)
  std::vector<std::pair<int, int>> daughters;  // (i, j): j is a daughter of i
  std::vector<std::pair<int, int>> forbidden;  // (i, j): j does not come from i
  std::vector<int> fresh;                      // j of frame t+1 comes from no cell of frame t
  std::vector<int> ends;                       // i of frame t has no successor nor daughter at t+1
};
struct LinkConstraints {
  std::vector<PairConstraints> pairs;  // empty: none
  const PairConstraints* at(size_t t) const { return t < pairs.size() ? &pairs[t] : nullptr; }
};
LinkConstraints link_constraints(const Corrections& c, size_t frames);

// [frame][cell] -> 1 for the cells the corrections set (link, new, debris);
// empty without corrections.
std::vector<std::vector<char>> cells_by_hand(const TimeLapse& tl, const Corrections& c);

// Where cell j of frame t comes from in `lin`: the track's cell before it,
// else the mother's last cell; {-1, -1} for none.
std::pair<int, int> origin_in(const Lineage& lin, int t, int j);
// The lines of the corrections that `lin` does not hold.
std::vector<long> corrections_not_held(const Lineage& lin, const Corrections& c);

}  // namespace vantu
