// The pair picture of vantu-plot: two consecutive frames of a vantu-track
// output folder with the repaired lineage's links between them.
//
// Reads DIR/cells.csv (columns frame, id, track, parent_track, x, y, length,
// angle and, when present, confidence) and, when the input was masks, the
// track masks DIR/maskNNN.tif of both frames (pixels labelled with their
// track). Frame N's cells are drawn light blue, the next frame's (the next
// frame number with cells) orange: as their outlines from the masks, else
// as rods. A line joins each cell of the later frame to the cell it comes
// from: black for the same cell going on, purple for a daughter from her
// mother. A link whose confidence is below kDoubtful is dashed red with a red
// ring and its confidence written beside it. Cells that start a track
// without parent and cells whose track ends get grey rings. With ids, every
// cell of the later frame is labelled with its track.
#pragma once

#include <string>

#include "tools/lineage_table.h"  // kDoubtful

namespace vantu_plot {

struct PairView {
  long frame = 0;    // frame number N: draws N and the next frame with cells
  bool ids = false;  // track ids on the cells
};

// The SVG text of the pair; throws LineageError (lineage_plot.h) for a folder
// without cells.csv, a malformed one, or a frame without a next frame.
// `summary` (if given) receives a one-line account.
std::string pair_svg(const std::string& dir, const PairView& view, std::string* summary = nullptr);

}  // namespace vantu_plot
