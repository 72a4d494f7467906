// The lineage picture of vantu-plot: the tree of a vantu-track output folder.
//
// Reads DIR/cells.csv (columns frame, id, track, parent_track and, when
// present, flag) and DIR/res_track.txt (one "L B E P" line per track) and
// draws time across and one horizontal line per track: a division forks the
// mother's line into her daughters' (the first daughter goes on in the
// mother's lane, the second branches below it), colours follow the founder
// cell, and tracks without parent or daughters share packed lanes in a band
// at the bottom. Closed gaps are dashed, probable debris grey; a cell whose
// mother's division was resolved into a continuation gets a tick.
#pragma once

#include <stdexcept>
#include <string>

namespace vantu_plot {

// A refusal: the message names the file (and line) and what is wrong.
struct LineageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// The SVG text of the lineage in `dir`; throws LineageError for a folder
// without the two files or with files that contradict each other.
std::string lineage_svg(const std::string& dir);

}  // namespace vantu_plot
