// The time-lapse tracker: a whole time-lapse into a lineage.
//
// Data layout:
//   TimeLapse.frames[t]   the frames that have cells, by increasing number;
//                         their cells in the order of their input (file lines,
//                         table rows, labels):
//     number              the frame's real number: the last run of digits in
//                         its file's name or what --frame-number finds there
//                         (0, 1, ... in the order given when no name has one),
//                         the table's frame value, or the frame of a stack
//                         (from 0)
//     file, page          masks: the file to read again for the track masks
//                         and its page in a stack (-1: a one-page file; in a
//                         hyperstack, the chosen channel's and slice's page)
//     x, y, length, angle, id   per cell; angle in degrees, counter-clockwise
//                         as seen on screen (axis (cos a, -sin a), y down)
//     extra[k]            per cell, the values of TimeLapse.extra_names[k]
//     border              masks: per cell, 1 when it touches the image's edge
//     first, second       the same cells as the matcher reads them: as the
//                         first set of a pair (with angles) and as the second
//   TimeLapse.numbers     every frame number of the movie from the first to the
//                         last: blank frames (no cells) and numbers without a
//                         file (not imaged) too, which the tracks cross as gaps
//   PairLinks (pair t = frames t and t+1): per cell j of frame t+1 and level
//   l, the index of the frame-t cell it was matched to, or -1.
//   Lineage: per frame, per cell, its track (from 1) and its flag (CellFlag);
//   per track its first and last frame index, its parent track (0: none), what
//   started it and how many frames it skips (a closed gap: the cell was not
//   detected there, and the track has no cell in those frames).
//
// The tracker runs in stages: read the input (frames.cpp, table.cpp), choose
// the parameters (parameters.cpp, with the neighbours of neighbours.cpp),
// match every pair of consecutive frames
// (pairs.cpp), chain the matches into the lineage (lineage.cpp), mend it along
// the time axis (repairs.cpp), rate each cell's link (confidence.cpp), and
// format its files (pipeline.cpp, write_cells_csv.cpp, write_res_track.cpp,
// write_tracks_csv.cpp). Every stage refuses bad input by throwing TrackError
// before anything is written.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "base/params.h"
#include "image/image.h"
#include "input/load_points.h"
#include "run/output_folder.h"  // TrackError, OutputFolder

namespace vantu {

// A refusal to read `path`: kMissing when it does not exist, else kIo
// (TrackError lives with the output folder's guard, run/output_folder.h).
TrackError file_error(const std::string& path, const std::string& message);

// A pair whose larger frame has more cells than this is matched in tiles of
// about this many cells (plus their margins); past the two-frame program's
// capacity (kPointCapacity) always.
constexpr int kTileCells = 400;

// The memory a movie's mask runs may take (Frame::mask_runs).
constexpr size_t kMaskRunBytes = size_t{256} << 20;

struct Frame {
  long number = 0;
  std::string source;  // where the cells came from, for messages
  std::string file;    // masks: the label image
  long page = -1;      // its page in a stack; -1: a one-page file
  // masks: the labelled pixels as runs along the rows, four numbers a run
  // (row, first column, one past the last column, label), kept from the
  // first reading while the movie's runs fit kMaskRunBytes; empty: the
  // track masks read the mask again.
  std::vector<std::uint32_t> mask_runs;
  std::vector<double> x, y, length, angle, id;
  std::vector<std::vector<double>> extra;
  // Masks: per cell, 1 when its pixels touch the image's edge (the cell may
  // be cut off, its size too small); empty for other input.
  std::vector<std::uint8_t> border;
  PointSet first, second;

  int count() const { return static_cast<int>(x.size()); }
};

struct TimeLapse {
  std::vector<Frame> frames;
  std::vector<std::string> extra_names;
  std::vector<long> numbers;  // first to last frame number, each one
  int width = 0, height = 0;  // masks: the images' size
  // What the readers found doubtful but took (a blank frame, ...), one
  // sentence each: the library prints nothing, its caller reports them.
  std::vector<std::string> warnings;
};

// How a table's angles are given; each is turned into degrees
// counter-clockwise from the x axis as seen on screen.
enum class AngleConvention {
  kDegrees,     // already so (the point files' convention)
  kRowRadians,  // radians, from the row axis (e.g. regionprops "orientation")
  kRowDegrees,  // degrees, from the row axis (e.g. "AreaShape_Orientation")
};

// Column names of a table, by role.
struct TableColumns {
  std::string frame = "frame", x = "x", y = "y", length = "length", angle = "angle", id = "id";
};

// The options of one tracking run, with their defaults.
// What the numbers of a lineage mean; 0: not given (lengths stay in pixels,
// times in frames).
struct Units {
  double pixel_size = 0.0;      // micrometres per pixel
  double frame_interval = 0.0;  // minutes between consecutive frame numbers
};

// How the inputs are read as frames of a movie.
struct MovieInput {
  std::string frame_number;  // a pattern whose first group is a name's frame number; empty: its last number
  long channel = 0, slice = 0;  // of an ImageJ hyperstack, from 1; 0: none chosen
  bool allow_gaps = false;      // track across a run of missing numbers far longer than the gap closing bridges
};

struct TrackOptions {
  std::vector<std::string> inputs;  // frame files, or one table
  MovieInput movie;                 // --frame-number, --channel, --slice, --allow-gaps
  std::string out_dir = "lineage";
  int jobs = 0;                     // pairs matched at once; 0: the number of cores
  std::string config;               // softconfig.dat to use; empty: chosen from the data
  bool keep_pairs = false;          // keep each pair's result files in out_dir/pairs/NNNN/
  int tile_cells = kTileCells;      // tiles for pairs whose frames have more cells; 0: never
  bool points_only = false;         // masks in: write only out_dir/frame_NNNN.dat
  bool force = false;               // replace another movie's results in out_dir
  TableColumns columns;
  AngleConvention angles = AngleConvention::kDegrees;
  Units units;  // --pixel-size, --frame-interval
  // One part of the run instead of the whole (see cli.cpp's run_tracker).
  bool prepare = false, join = false;
  std::string pairs;  // "FIRST-LAST" or "N": the pairs to match
  bool flush_subnormals = true;  // the kernel's subnormals flushed (PairRun)
  struct Repairs {
    bool assign = true;            // decide the links by the assignment of least cost over the link model
    bool relink = true;            // exchange crossed links where motion, length and axis disagree
    bool close_gaps = true;        // join a track that ends to one that starts 2 or 3 frames later
    bool check_divisions = true;   // resolve divisions whose lengths or daughters do not make sense
    bool flag_debris = true;       // flag one-frame tracks without parent as probable debris
  } repairs;
};

// ---- Input ----

// Frame numbers (movie.cpp).
struct MovieFile {
  std::string path;
  long number = 0;
};
// The number in a file's name: its last run of digits, the folder and the
// extension left out (an extension of digits only, as in "pts.12", is the
// number); false when there is none. With a `pattern`, the first group of
// its first match in the name (the folder left out).
bool frame_number_in_name(const std::string& path, long& number, const std::string& pattern = "");
// The inputs by the numbers in their names (`pattern` as above); when no
// name has one, in the order given, numbered from 0, with a warning added to
// `warnings`. Refuses one name without a number among numbered ones, and two
// files with one number.
std::vector<MovieFile> numbered_files(const std::vector<std::string>& paths, const std::string& pattern = "",
                                      std::vector<std::string>* warnings = nullptr);
// Leaves the frames without cells out of tl.frames and fills tl.numbers from
// `first` to `last`; warns about the frames without cells and the numbers
// without a frame. Refuses, unless `allow_gaps`, a run of missing numbers far
// longer than the gap closing bridges and than the usual step between frames.
void drop_blank_frames(TimeLapse& tl, long first, long last, bool allow_gaps = false);
// tl.numbers, or, for a time-lapse built without them, every number from its
// first frame's to its last's.
std::vector<long> movie_numbers(const TimeLapse& tl);

// Reads one point file per frame with the columns of `p`.
TimeLapse read_frame_files(const std::vector<std::string>& paths, const ParameterSet& p,
                           const MovieInput& movie = MovieInput());
// Reads a comma-separated table with a header.
TimeLapse read_table(const std::string& path, const TableColumns& columns, AngleConvention angles,
                     bool allow_gaps = false);
// The cells of a table by columns, one entry per row, before they are
// grouped into frames; `line` (empty: rows numbered from 0), `frame_text`
// and `id_text` (the fields as written; empty: the numbers) and `id_column`
// only name a row or a value in messages.
struct TableCells {
  std::string source;  // the table's name in messages
  std::vector<double> frame, x, y, length, angle, id;
  std::vector<long> line;
  std::vector<std::string> frame_text, id_text;
  std::string id_column = "id";
  std::string where(size_t row) const;  // "path:LINE" or "source row N"
};
// Groups a table's cells into frames by their frame values, in increasing
// order (numbers between them without cells are gaps); refuses an id that is
// not a positive whole number or appears twice in one frame, a frame value
// that is not a whole number from 0, and gaps as drop_blank_frames does.
TimeLapse time_lapse_of_cells(const TableCells& cells, AngleConvention angles, bool allow_gaps = false);
// Fills each frame's `first` and `second` from its cells (for input that
// does not come from point files).
void fill_point_sets(Frame& frame);
// Reads one label image per frame (image/image.h), or the pages of one
// stack (of an ImageJ hyperstack, the channel and slice of `movie`): a cell
// per label, id = label, measured; extra columns "area" and "width".
TimeLapse read_mask_files(const std::vector<std::string>& paths, const MovieInput& movie = MovieInput());
// Measures one frame's label image (laid out as image/image.h's LabelImage)
// into a frame of `tl` numbered `number`; refuses a size other than the
// first frame's and what is plainly not label masks. Blank frames stay until
// drop_blank_frames.
void add_label_frame(TimeLapse& tl, const std::uint32_t* labels, int width, int height, long number,
                     const std::string& source);
// Refuses fewer than two frames with cells, an id twice in one frame. (A
// frame may hold any number of cells: large pairs are matched in tiles.)
void check_time_lapse(const TimeLapse& tl);

// ---- Neighbours within a frame (neighbours.cpp) ----

// The median (the mean of the two middle values for an even count); 0 for none.
double median_of(std::vector<double> v);

// A frame's cells in square buckets of about one cell each: members_ holds
// the cells bucket by bucket (row-major, ascending index within a bucket),
// start_[b] where bucket b begins; cells with a non-finite position are kept
// apart in odd_. The frame must outlive the grid.
class CellGrid {
 public:
  explicit CellGrid(const Frame& f);
  // Any points (positions in two arrays of one length, which must outlive
  // the grid).
  CellGrid(const std::vector<double>& x, const std::vector<double>& y);
  // A superset of the cells within `radius` of (x, y), in ascending index.
  void near(double x, double y, double radius, std::vector<int>& out) const;
  // Exactly the cells within `radius` of (x, y) (std::hypot distance), in
  // ascending index.
  void within(double x, double y, double radius, std::vector<int>& out) const;
  // The k cells nearest to cell i (i itself left out) as (std::hypot
  // distance, index), ordered by distance, then index.
  void nearest(int i, size_t k, std::vector<std::pair<double, int>>& out) const;

 private:
  int column(double x) const;
  int row(double y) const;
  void add_bucket(int bx, int by, std::vector<int>& out) const;
  const std::vector<double>*x_, *y_;
  double min_x_ = 0, min_y_ = 0, max_x_ = 0, max_y_ = 0, side_ = 1;
  int nx_ = 1, ny_ = 1;
  std::vector<int> start_, members_, odd_;
};

// Appends each cell's distance to its nearest other cell (none for a cell
// alone in its frame).
void nearest_distances(const Frame& f, std::vector<double>& out);
// The neighbour spacing: the median, over all cells of all frames, of the
// distance to the nearest other cell; 0 when no frame has two cells.
double neighbour_spacing(const TimeLapse& tl);

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
constexpr const char* kTrackerKernelArgs = "--flush-subnormals --drop-below 1e-12";

struct PairRun {
  ParameterSet params;
  std::string out_dir;
  OutputFolder* folder = nullptr;  // out_dir's record; none: one of its own
  int jobs = 1;
  bool keep_pairs = false;
  bool progress_bar = false;  // a bar on standard error; else plain lines
  int tile_cells = kTileCells;  // pairs with a frame of more cells are matched in tiles; 0: never
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
};

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
};

// Chains the pairs' matches into tracks (see lineage.cpp for the rules).
Lineage build_lineage(const TimeLapse& tl, const std::vector<PairLinks>& links, int max_split);

// ---- Repairs along the time axis (repairs.cpp) ----

struct RepairCounts {
  int relinked = 0, gaps_closed = 0, divisions_resolved = 0, divisions_found = 0, debris = 0;
};

// Mends what one pair cannot see: closes gaps of missed cells, resolves
// divisions that do not make sense into continuations, flags probable debris.
// A lineage without such faults is left exactly as it is.
RepairCounts repair_lineage(const TimeLapse& tl, Lineage& lin, const TrackOptions::Repairs& which);

// ---- Confidence of the links (confidence.cpp) ----

// Per cell, the probability in [0, 1] that its link (to its previous-frame
// cell, its mother, or to no cell) is right, judged against the alternatives
// the local motion, lengths and axes leave open.
std::vector<std::vector<double>> link_confidence(const TimeLapse& tl, const Lineage& lin);

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
};

// Chains the pairs' matches, mends the lineage with the repairs chosen, rates
// its links and formats its files (lengths and times in `units`); with
// `masks`, refuses a lineage whose track labels do not fit a 16-bit track mask.
LineageTexts lineage_texts(const TimeLapse& tl, const std::vector<PairLinks>& links, int max_split,
                           const TrackOptions::Repairs& repairs, bool masks, const Units& units = {});
// "N frames, N tracks, N divisions (repairs...)": the run's summary line.
std::string lineage_summary(const TimeLapse& tl, const LineageTexts& texts);

// A frame's cells as a point file: "x y length angle id" per line, numbers
// that read back as the same doubles.
std::string point_file_text(const Frame& f);
std::string frame_file_name(long number);  // frame_NNNN.dat
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
// cells.csv, res_track.txt, tracks.csv, units, the track masks (from masks),
// pairs.log (output_folder.cpp; the guard itself is run/output_folder.h).
std::vector<std::string> lineage_file_names(const TimeLapse& tl, bool masks);
// A pair's record, its kept folder and its unfinished one (pairs/0003.txt,
// pairs/0003/, pairs/0003.partial/).
std::vector<std::string> pair_file_names(size_t pair);

// Shortest text that reads back as the same double.
std::string number_text(double v);

// Writes `text` under a temporary name beside `path` and renames it over
// `path`: the file is absent, the old one, or complete. False on failure
// (the temporary file is removed).
bool write_file_atomically(const std::string& path, const std::string& text);

// The bytes of a file (empty when it cannot be read).
std::string read_file_text(const std::string& path);

// ---- The command line's stages (cli.cpp) ----

// The parameters of a configuration file, checked as the two-frame program
// checks them.
ParameterSet configured_parameters(const std::string& path);
// A folder given as the only input: its masks, else its point files (.dat),
// in name order (the readers order them by number), leaving out what the
// programs wrote there.
std::vector<std::string> files_in_folder(const std::string& dir);
// True when the inputs are label images; refuses them mixed with other files.
bool inputs_are_masks(const std::vector<std::string>& inputs);
// The time-lapse of o.inputs (masks, one table, or point files read with
// the columns of `params`), checked.
TimeLapse read_time_lapse(const TrackOptions& o, const ParameterSet& params);

// The whole program; returns the exit status.
int track_main(int argc, char** argv);

}  // namespace vantu
