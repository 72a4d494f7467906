// The tracker's output stage: the lineage's files (cells.csv, tracks.csv,
// res_track.txt and the track masks, units, pairs.log) as texts, and the
// names the run writes into its folder.
// Files: write_cells_csv.cpp, write_tracks_csv.cpp, write_res_track.cpp, write_geff.cpp,
// output_folder.cpp, files.cpp (pairs.log, point files, atomic writes).
#pragma once

#include "track/lineage/lineage.h"

namespace vantu {

// ---- Per-track facts (write_tracks_csv.cpp) ----

enum class Fate { kDivided, kEnd, kLost, kDebris };
const char* fate_name(Fate f);

struct TrackFacts {
  int founder = 0;                  // the track at the root of its tree
  int generation = 0;               // 0: founder; parent's + 1
  Fate fate = Fate::kLost;
  std::vector<int> daughters;       // tracks whose parent it is
  std::vector<int> frame, cell;     // its cells: frame index and cell index, in order
};

// The facts of every track (tracks[L - 1]).
std::vector<TrackFacts> track_facts(const TimeLapse& tl, const Lineage& lin);
// The exponential rate of `length` over `frame` (slope of log length per
// frame number, least squares); NaN with fewer than two usable points.
double growth_rate(const std::vector<double>& frame, const std::vector<double>& length);

// Why each track's numbers look impossible against the movie's own, judged
// with robust statistics (median and median absolute deviation) over the
// whole lineage: "short-cycle" (a complete cycle, plus half a frame, under
// 0.6 of the median one), "slow-growth" (a growth rate under a quarter of the median track's
// and 4 spreads below it), "length-jump" (a length step inside the track 8
// spreads and a factor 1.4 off the colony's growth), separated by spaces;
// empty when nothing is wrong. Cells that touch the image's edge are left out
// of the rates and steps, and cells flagged 3 (a piece of a split
// segmentation, likely) of the steps. (tracks[L - 1]; write_tracks_csv.cpp.)
std::vector<std::string> suspect_reasons(const TimeLapse& tl, const Lineage& lin, const std::vector<TrackFacts>& facts);
// A warning when --frame-interval makes the median complete cycle longer than
// a day (surely seconds given as minutes); empty otherwise.
std::string frame_interval_warning(const TimeLapse& tl, const Lineage& lin, const Units& units);

// ---- Output ----

std::string cells_csv_text(const TimeLapse& tl, const Lineage& lin);
// True when every frame knows which of its cells touch the image's edge
// (masks): cells.csv then ends with a border column, tracks.csv with border_cells.
bool has_border_flags(const TimeLapse& tl);
// The labels of a Cell Tracking Challenge folder (write_res_track.cpp): a
// label never skips a frame number, so a track is cut at each gap, and the
// part after it gets a new label (after every track's own) whose parent is
// the part before. A lineage without gaps keeps its track numbers.
struct CtcLabels {
  std::vector<std::vector<int>> label;  // [frame][cell] -> label
  struct Line {
    int label;
    long first, last;  // frame numbers
    int parent;
  };
  std::vector<Line> lines;  // by label
};
CtcLabels ctc_labels(const TimeLapse& tl, const Lineage& lin);
std::string res_track_text(const TimeLapse& tl, const Lineage& lin);
// A warning when --pixel-size makes the median cell longer than 20 um (surely
// a wrong pixel size); empty otherwise.
std::string pixel_size_warning(const TimeLapse& tl, const Units& units);
// tracks.csv: one row per track (cycles, sizes, growth; see write_tracks_csv.cpp).
std::string tracks_csv_text(const TimeLapse& tl, const Lineage& lin, const Units& units);
// The DIR/units text: what the lengths, times and rates of the outputs mean.
std::string units_text(const Units& units);
std::string pairs_log_text(const TimeLapse& tl, const std::vector<PairLinks>& links, const Lineage& lin);

// The lineage of a run and the texts of its files, as the command line
// writes them (pipeline.cpp); the library returns the same texts.
struct LineageTexts {
  Lineage lineage;
  RepairCounts repaired;
  std::string cells_csv, res_track, pairs_log;
  std::string tracks_csv, units;  // tracks.csv and the DIR/units text
  size_t corrections = 0;         // the user's corrections held
  std::string assign_start;       // where the assignment's last pass starts (empty: not asked for, or no assignment)
};

// Chains the pairs' matches, mends the lineage with the repairs chosen, rates
// its links and formats its files (lengths and times in `units`); with
// `masks`, refuses a lineage whose track labels do not fit a 16-bit track mask.
// With `fixed` (not empty), every pair's assignment and every repair obeys
// the user's corrections, their cells get confidence 1 and cells.csv a
// by_hand column; a lineage that breaks one is refused (it cannot happen).
// With `start` (the text an earlier run's assign_start left, or empty), the
// texts' assign_start is filled, and a start of the same movie and proposal
// saves the assignment all passes but the last.
LineageTexts lineage_texts(const TimeLapse& tl, const std::vector<PairLinks>& links, int max_split,
                           const TrackOptions::Repairs& repairs, bool masks, const Units& units = {},
                           const Corrections* fixed = nullptr, const std::string* start = nullptr);
// The file of a results folder that keeps the assignment's start.
constexpr const char* kAssignStartFile = "pairs/decided.txt";
// "N frames, N tracks, N divisions (repairs...)": the run's summary line.
std::string lineage_summary(const TimeLapse& tl, const LineageTexts& texts);

// lineage.geff (write_geff.cpp): the lineage as a GEFF tracking graph, a
// zarr group of uncompressed arrays, as its files (path in the folder,
// bytes); node k is row k of cells.csv.
std::vector<std::pair<std::string, std::string>> geff_files(const TimeLapse& tl, const Lineage& lin,
                                                            const Units& units);
constexpr const char* kGeffFolder = "lineage.geff/";

// maskNNN.tif, four digits when the last frame number has four.
std::string track_mask_name(long number, long last_number);
// Refuses a lineage whose labels do not fit a 16-bit mask.
void check_track_labels(const CtcLabels& labels);
// Writes maskNNN.tif for every number of tl.numbers: the frame's mask (read
// again) with every cell's pixels relabelled with its track, an empty mask
// for a blank or missing frame.
// `mask_of` (if given) gives a frame's mask instead of its file.
void write_track_masks(const TimeLapse& tl, const Lineage& lin, OutputFolder& out,
                       const std::function<LabelImage(const Frame&)>& mask_of = nullptr);

// The files of a lineage in its folder, in the order they are written:
// cells.csv, res_track.txt, tracks.csv, units, lineage.geff/, the track
// masks (from masks), pairs.log (output_folder.cpp; the guard itself is run/output_folder.h).
std::vector<std::string> lineage_file_names(const TimeLapse& tl, bool masks);
// A pair's record, its kept folder and its unfinished one (pairs/0003.txt,
// pairs/0003/, pairs/0003.partial/).
std::vector<std::string> pair_file_names(size_t pair);


}  // namespace vantu
