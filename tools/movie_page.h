// The movie page of vantu-plot: one self-contained HTML file to review a
// tracked time-lapse (a vantu-track output folder) in a browser.
//
// Reads DIR/cells.csv (columns by name: frame, id, track, parent_track, x, y,
// length, angle; when present flag, generation, confidence), DIR/tracks.csv
// when present (track, and when present parent_track, founder, generation,
// fate) and the track masks DIR/maskNNN.tif when the input was masks. Founder
// and generation come from the parent links where no file gives them. The
// masks carry res_track.txt's labels (a track's part after a gap has a label
// of its own); DIR/res_track.txt maps them back to cells.csv's tracks.
//
// The page is viewer/movie.html with viewer/movie.css, viewer/movie.js and
// the data spliced in (the three sources are compiled into the program).
// The data is one JSON object in a <script type="application/json"> element:
//   name         the folder's name, as given
//   shape        "outline" (masks) or "rod"
//   frames       frame numbers, in order (every frame with cells, and every
//                frame with a track mask)
//   width,height the masks' size in pixels (0 for rods)
//   has          which optional values exist: flag, generation, confidence,
//                fate (booleans)
//   fates        the fate names of tracks.csv; a track's fate is an index
//   tracks       label[], parent[] (label, 0: none), founder[] (label),
//                generation[], fate[] (-1: unknown), suspect[] (tracks.csv's
//                reasons, "" for none or no column), colour[] (the palette
//                index of its founder, -1: lone; founder_colours in
//                lineage_table.h, as the lineage tree), sorted by label
//   palette, lone  the colours (kPalette, kLoneColour)
//   doubtful     the confidence below which a link is doubtful (kDoubtful)
//   ring, outside  the division rings' colour and that of cells outside a
//                selected lineage (kRingColour, kOutsideColour)
//   interval     minutes from one frame number to the next (DIR/units), 0
//                when not given
//   ids          (when cells.csv has ids) per frame, the cells' ids as
//                strings, in the order of `cells`
//   byHand       (with ids) per frame, the positions in that order of the
//                cells cells.csv marks by_hand
//   cells        one string per frame: a run of integers, each zigzag-coded
//                and written little end first in 5-bit groups, one character
//                of "A-Za-z0-9-_" per group (value + 32 when more follow):
//                  count of cells, then per cell in increasing track order:
//                  track index minus the previous cell's (the first: minus 0),
//                  round(10 x), round(10 y),
//                  [confidence: 0 none, else round(1000 c) + 1] if has.confidence
//                  [flag]                                       if has.flag
//                  rod:     round(10 length), round(10 angle)
//                  outline: number of loops, per loop its number of corners,
//                           the first corner minus (round(x), round(y)), then
//                           each further corner minus the one before.
//                Corners are pixel corners: corner (i, j) is the point
//                (i - 0.5, j - 0.5); x right, y down, pixel centres at whole
//                numbers. Loops are the outer boundaries of the cell's pixels
//                (holes dropped), simplified to within 1 px.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace vantu_plot {

// A refusal: the message names the file (and line) and what is wrong.
struct MovieError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// The whole HTML page of the tracked movie in `dir`; throws MovieError for a
// folder without a lineage or with masks that do not match its cells.csv.
std::string movie_page(const std::string& dir);

// True for names ending in .html or .htm (any case): the only files the
// movie writer replaces.
bool is_page_name(const std::string& path);

// Writes movie_page(dir) to `path`, whole or not at all (MovieError when it
// cannot); nothing is written for a refused folder. With `in_folder` the
// page is DIR/movie.html, written through the folder's guard
// (run/output_folder.h): an existing one is replaced only when the folder's
// record lists it, and the record lists it afterwards; else `path` must end
// in .html or .htm.
void write_movie_page(const std::string& dir, const std::string& path, bool in_folder);

// One closed outline: corner coordinates x0 y0 x1 y1 ... (see above).
using Loop = std::vector<int>;

// The simplified outer boundaries of every label of a `width` x `height`
// label image (row-major), indexed by label; labels absent get no loops.
// Loops are clockwise on screen, the largest first.
std::vector<std::vector<Loop>> label_outlines(const std::vector<std::uint32_t>& labels, int width, int height,
                                              std::uint32_t max_label);

// The page's integer code for `values` (see above).
std::string varint_text(const std::vector<long>& values);

}  // namespace vantu_plot
