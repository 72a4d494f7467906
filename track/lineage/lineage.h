// The tracker's lineage stage: the pairs' links decided (assign.h, over the
// link model of link_cost.h), chained into tracks, mended along the time
// axis and rated.
//
// Data layout:
//   Lineage: per frame, per cell, its track (from 1) and its flag (CellFlag);
//   per track its first and last frame index, its parent track (0: none), what
//   started it and how many frames it skips (a closed gap: the cell was not
//   detected there, and the track has no cell in those frames).
// Files: assign.cpp, link_cost.cpp, lineage.cpp, repairs.cpp, confidence.cpp.
// The stage as a whole, with the texts of the output files, is
// track/pipeline.cpp.
#pragma once

#include "track/pairs/pairs.h"

namespace vantu {

// ---- Lineage ----

enum class Start { kFirstFrame, kDaughter, kNew };

struct Track {
  int first = 0, last = 0;  // frame indices
  int parent = 0;           // parent track, 0: none
  Start start = Start::kNew;
  int skipped = 0;          // frames between first and last without a cell of the track
};

// A cell's flag in cells.csv (the column "flag").
enum CellFlag : int {
  kNormal = 0,
  kProbableDebris = 1,     // a track without parent seen in one frame only (not the last)
  kAfterGap = 2,           // first cell after a closed gap: the cell was missed in the frame(s) before
  kDivisionResolved = 3,   // the matcher saw its mother divide; taken as the mother going on
  kNoOrigin = 4,           // starts a track without mother after the first frame, away from the border:
                           // no cell of the frame before could plausibly be where it came from
};

struct Lineage {
  std::vector<std::vector<int>> track;  // [frame][cell] -> track (from 1)
  std::vector<Track> tracks;            // tracks[L - 1]
  std::vector<std::vector<int>> flag;   // [frame][cell] -> CellFlag; empty: all kNormal
  // [frame][cell] -> how sure the cell's link to its previous-frame cell (or
  // mother, or to none) is, in [0, 1]; empty: not rated (link_confidence).
  std::vector<std::vector<double>> confidence;
  // Per pair: counts for the log.
  struct PairCounts {
    int continuations = 0, divisions = 0, unmatched = 0;
  };
  std::vector<PairCounts> pairs;
  // [frame][cell] -> 1 for a cell the user's corrections set; empty: none.
  std::vector<std::vector<char>> by_hand;
};

// Chains the pairs' matches into tracks (see lineage.cpp for the rules).
Lineage build_lineage(const TimeLapse& tl, const std::vector<PairLinks>& links, int max_split);

// ---- Repairs along the time axis (repairs.cpp) ----

struct Corrections;  // corrections.h

struct RepairCounts {
  int relinked = 0, gaps_closed = 0, divisions_resolved = 0, divisions_found = 0, debris = 0;
};

// Mends what one pair cannot see: closes gaps of missed cells, resolves
// divisions that do not make sense into continuations, flags probable debris.
// A lineage without such faults is left exactly as it is.
// With the link model the assignment fitted (`model`), a mother missed in
// the frame(s) around her division gets her daughters across the gap. With
// `fixed`, the user's links across gaps are joined first, and no repair
// changes a link the corrections set or makes one they rule out.
struct LinkModel;
RepairCounts repair_lineage(const TimeLapse& tl, Lineage& lin, const TrackOptions::Repairs& which,
                            const LinkModel* model = nullptr, const Corrections* fixed = nullptr);

// ---- Confidence of the links (confidence.cpp) ----

// Per cell, the probability in [0, 1] that its link (to its previous-frame
// cell, its mother, or to no cell) is right, judged against the alternatives
// the link model leaves open: `model` as the assignment fitted it (null: one
// fitted to the lineage's own links).
std::vector<std::vector<double>> link_confidence(const TimeLapse& tl, const Lineage& lin,
                                                 const LinkModel* model = nullptr);

}  // namespace vantu
