// The tracker's pair stage: the parameters chosen from the data, and every
// pair of consecutive frames matched (the kernel on the whole pair, the
// small-pair matcher, or tiles), several pairs at once, with records that a
// rerun reuses.
//
// Data layout:
//   PairLinks (pair t = frames t and t+1): per cell j of frame t+1 and level
//   l, the index of the frame-t cell it was matched to, or -1.
// Files: parameters.cpp, pairs.cpp, small_pairs.cpp, tiles.cpp, time_left.cpp.
#pragma once

#include "track/input/input.h"

namespace vantu {

// ---- Parameters ----

struct ChosenParameters {
  ParameterSet params;
  double spacing = 0.0;  // median distance of a cell to its nearest neighbour
  double motion = 0.0;   // the colony's displacement between frames (a high percentile over the pairs)
  std::string config_text;  // the softconfig.dat that reproduces the run
  double new_cells = 0.0;   // new cells between two frames, a share of the cells (a high percentile)
  std::string warning;      // a choice that cannot work (BetaInit at or above BetaMax), or empty
};

// The defaults with the point files' columns 1-5 = x y length angle id.
ParameterSet default_track_parameters();
// BetaInit and rEvar from the neighbour spacing and the motion of the cells,
// BetaIncr from the share of cells that divide between two frames; every
// other field keeps its default and the columns are 1-5.
ChosenParameters choose_parameters(const TimeLapse& tl);
// The text of a configuration file holding every value of `p`, gates open.
std::string config_text(const ParameterSet& p, const std::string& note);

// ---- Pairs ----

enum class PairMethod { kWhole, kSmall, kTiles };

struct PairLinks {
  int K = 0, M = 0;
  std::vector<int> row[3];
  double seconds = 0.0;
  bool reused = false;
  PairMethod method = PairMethod::kWhole;  // the kernel on the whole pair, the small-pair matcher, tiles
  int tiles = 0;                           // kTiles: how many
  int singular_solves = 0;                 // spline systems the kernel found singular
};

// ---- The time left (time_left.cpp) ----

// One task of the pair matching: a whole pair or a tile matched by the
// kernel, or a small pair; the cells of its larger frame, and its measured
// seconds once done (negative before).
struct TaskCost {
  double cells = 0;
  bool kernel = true;
  double seconds = -1;
};
// The estimate is shown once this share of the expected work is done, and
// the kernel's cost exponent fitted once the tasks done span this factor of
// cells.
constexpr double kTimeLeftAfter = 0.1;
constexpr double kTimeLeftSpread = 1.5;
// The least cost exponent of a kernel task: fitted over the first, short
// pairs of a growing colony the exponent comes out low (1.2), while the
// whole movie's pairs give 1.8 to 2.0 (time_left.cpp).
constexpr double kTimeLeftLeastExponent = 1.9;
// The seconds still to wait, `elapsed` seconds after the matching started:
// the expected seconds of the tasks to do over those of the tasks done,
// times `elapsed`. A kernel task is expected to take a * cells^p (p fitted
// over the tasks done, from 1.9 to 3; a from their seconds), a small pair the
// mean of those done. Negative while it means nothing yet: less than
// kTimeLeftAfter of the expected work done, or kernel tasks to do and none done.
double time_left(const std::vector<TaskCost>& tasks, double elapsed);

// ---- Small pairs (small_pairs.cpp) ----

// A pair is matched without the spline when a frame has at most this many
// cells, or has at most kSmallPairMaxCells and lies on a line (measured on
// simulated colonies: the scorer kept every link the spline kept up to 100
// cells, and more below 40; docs/scale.md).
constexpr int kSmallPairCells = 40;
constexpr int kSmallPairMaxCells = 100;
bool is_small_pair(const Frame& a, const Frame& b, const ParameterSet& p);
// The links of least cost over every continuation / division hypothesis.
PairLinks match_small_pair(const Frame& a, const Frame& b, const ParameterSet& p);

// ---- Tiles (tiles.cpp) ----


struct Tile {
  std::vector<int> first, second;  // the cells of each frame in the tile (core and margin), ascending
  ParameterSet params;             // the pair's, lambda1 scaled so that the warp is as stiff as the whole pair's
};

struct TilePlan {
  double shift[2] = {0, 0};  // the colony's move; the second frame is taken back by it
  std::vector<double> column_cuts;             // x between the columns of cores
  std::vector<std::vector<double>> row_cuts;   // per column, y between its cores
  std::vector<Tile> tiles;                     // cores column by column, rows in each
  std::vector<int> home_first, home_second;    // per cell: the tile whose core holds it
  int core_of(double x, double y) const;       // in the first frame's coordinates
};

// The cells per tile a pair is matched in with --tile-cells `tile_cells`;
// 0 when it is matched whole (small pairs included).
int pair_tile_cells(const Frame& a, const Frame& b, const ParameterSet& p, int tile_cells);
TilePlan plan_tiles(const Frame& a, const Frame& b, const ParameterSet& p, int tile_cells);
// The cells `cells` of a point set, in that order.
PointSet tile_points(const PointSet& s, const std::vector<int>& cells);
// The pair's links from each tile's links (indices local to the tile).
PairLinks stitch_tiles(const TilePlan& plan, const std::vector<PairLinks>& tile_links, int K, int M);

// The kernel's weight floor in vantu-track (measured: docs/speed.md), and
// the options that make `vantu` match a pair as vantu-track does.
constexpr double kTrackerDropBelow = 1e-12;
// Where the matches are a proposal (PairRun::proposal), the annealing ends
// once Beta is at least kSettleFrom times BetaInit and no step changed more
// than kSettleChanges of the matches while Beta grew kSettleSpan times
// (ParameterSet::settle_from; measured: docs/speed.md).
constexpr double kSettleFrom = 4.0;
constexpr double kSettleSpan = 1.5;
constexpr double kSettleChanges = 0.02;
// And a balancing of the match weights stops after kProposalSweeps sweeps
// (400 otherwise): late in the annealing a balancing runs them all, and the
// proposal's links held on the agar movie and the simulated ones with 150
// (measured: docs/speed.md).
constexpr int kProposalSweeps = 150;
constexpr const char* kTrackerKernelArgs = "--flush-subnormals --drop-below 1e-12";
// And where the matches are a proposal, the early end.
constexpr const char* kTrackerSettleArgs = "--settle 4,1.5,0.02 --sweeps 150";

struct PairRun {
  ParameterSet params;
  std::string out_dir;
  OutputFolder* folder = nullptr;  // out_dir's record; none: one of its own
  int jobs = 1;
  bool keep_pairs = false;
  bool progress_bar = false;  // a bar on standard error; else plain lines
  // Pairs with a frame of more cells are matched in tiles; 0: never;
  // kChosenTileCells: kProposalTileCells with `proposal`, else kTileCells.
  int tile_cells = kChosenTileCells;
  // The pairs to match, inclusive (pair t: frames t and t+1); `last` beyond
  // the time-lapse means up to its last pair.
  size_t first = 0, last = SIZE_MAX;
  // For a caller that reports progress itself: called (from the matching
  // threads, one call at a time) after each pair with the pairs done and to
  // do; nothing then goes to standard error.
  std::function<void(size_t done, size_t total)> on_pair_done;
  // Set by another thread to stop: no pair starts after it is seen, and
  // match_pairs throws RunCancelled once the pairs under way are done.
  const std::atomic<bool>* cancel = nullptr;
  // The kernel's arithmetic: subnormals flushed, and the weights that cannot
  // reach drop_below dropped (ParameterSet::drop_below); `vantu` takes the
  // same with kTrackerKernelArgs.
  bool flush_subnormals = true;
  double drop_below = kTrackerDropBelow;
  // The matches are a proposal that the assignment decides: the annealing
  // ends once they have settled (ParameterSet::settle_from, kSettle*).
  bool proposal = false;
};

// The tiles' size the run matches with (PairRun::tile_cells resolved).
int run_tile_cells(const PairRun& run);
// The tiles' size pair (a, b) is matched with in `run` (0: whole): where the
// matches are a proposal, only where the tiles take at most half the whole
// pair's time (a tile's time grows with the cube of its cells, margins
// included); past 3000 cells kTileCells unless the run names its size.
int pair_tiling(const Frame& a, const Frame& b, const PairRun& run);

// The run was stopped through PairRun::cancel.
struct RunCancelled : std::runtime_error {
  RunCancelled() : std::runtime_error("cancelled") {}
};

// Matches the pairs first..last of consecutive frames, `jobs` pairs at a
// time, each pair's record written atomically into out_dir/pairs/ and reused
// by a later run on the same cells and parameters (with an empty out_dir,
// no record is read or written). The result has an entry
// per pair of the time-lapse; those outside the range stay empty.
std::vector<PairLinks> match_pairs(const TimeLapse& tl, const PairRun& run);
// Every pair's links from the records in out_dir/pairs/, matching nothing;
// refuses, naming the pairs, when a record is missing or does not fit.
std::vector<PairLinks> recorded_pairs(const TimeLapse& tl, const PairRun& run);

// A fingerprint of a pair's input: both frames' cells, the parameters, the
// tiles' size (pair_tile_cells; a pair matched whole keeps the key it had
// before tiles were part of it) and the kernel's arithmetic (p.drop_below,
// flushed subnormals).
std::uint64_t pair_key(const Frame& a, const Frame& b, const ParameterSet& p, int tile_cells,
                       bool flush_subnormals = true);

}  // namespace vantu
