// The lineage picture of vantu-plot: the tree of a vantu-track output folder.
//
// Reads DIR/cells.csv (columns frame, id, track, parent_track and, when
// present, flag) and DIR/res_track.txt (one "L B E P" line per track) and
// draws time across and one horizontal line per track: a division is a
// symmetric fork (the mother's line ends at her division, halfway between her
// daughters' lines, which branch from it), colours follow the founder cell.
// With DIR/units stating the frame interval (--frame-interval), the axis
// below is in minutes, or hours for 5 hours or more. A tree cut off from the
// lineage (a track without mother after the first frame) goes below the tree
// of the nearest cell a frame before its first one (cells.csv's x, y),
// joined to it by a dotted line; tracks without parent or daughters and no
// such origin share packed lanes in a band at the bottom. Closed gaps are
// dashed, probable debris grey; a cell whose mother's division was resolved
// into a continuation gets a tick, a cell set by hand (cells.csv's by_hand
// column, when present) a black square, a track that tracks.csv calls
// suspect (its suspect column, when present) a ring.
//
// Colours come from a palette that colour-blind readers can tell apart
// (Okabe and Ito's, without its yellow); neighbouring trees of different
// founders never share one. Lanes never get thinner than kMinLane, frames
// never closer than kMinFrameStep, ids never smaller than kIdFont: a large
// lineage makes a larger picture (or one tree at a time, with
// LineageView::founder); an id goes where its line holds it, every line has
// its track in a tooltip.
#pragma once

#include <climits>
#include <stdexcept>
#include <string>

#include "tools/lineage_table.h"

namespace vantu_plot {

// A refusal: the message names the file (and line) and what is wrong.
struct LineageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

constexpr double kMinLane = 12, kMinFrameStep = 3, kIdFont = 9;

// What part of the lineage to draw, and how.
struct LineageView {
  long founder = 0;  // a track: only the tree below it (0: every tree)
  long first_frame = LONG_MIN, last_frame = LONG_MAX;  // frame numbers, inclusive
  bool ids = false;  // every track's id at the start of its line, where it fits (else the roots' only)
};


// The SVG text of the lineage in `dir`; throws LineageError for a folder
// without the two files, with files that contradict each other, or for a
// view that holds nothing. `summary` (if given) receives a one-line account.
std::string lineage_svg(const std::string& dir, const LineageView& view = {}, std::string* summary = nullptr);

}  // namespace vantu_plot
