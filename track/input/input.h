// The tracker's input stage: a time-lapse read from frame files, masks or a
// table, checked, with the neighbours of every frame's cells.
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
//                         last in the movie's step (TimeLapse.step: what every
//                         difference of two frames' numbers is a multiple of):
//                         blank frames (no cells) and numbers without a file
//                         (not imaged) too, which the tracks cross as gaps
// Files: frames.cpp, table.cpp, masks.cpp, movie.cpp (frame numbers),
// neighbours.cpp; the small file helpers declared at the end are in
// track/output/files.cpp. The run's options (TrackOptions) live here too:
// every stage reads them.
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
#include "image/intensity.h"
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
// The same where the matches are only a proposal that the assignment decides:
// a tile's time grows with the cube of its cells (margins included), and the
// assignment re-decides what a smaller tile sees less well (docs/speed.md).
constexpr int kProposalTileCells = 150;
// TrackOptions::tile_cells and PairRun::tile_cells left to the tracker.
constexpr int kChosenTileCells = -1;

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
  // --intensity: per channel (TimeLapse.intensity_names), per cell the mean
  // and the sum of its pixels' values, and the frame's background.
  std::vector<std::vector<double>> intensity_mean, intensity_total;
  std::vector<double> intensity_background;
  PointSet first, second;

  int count() const { return static_cast<int>(x.size()); }
};

struct TimeLapse {
  std::vector<Frame> frames;
  std::vector<std::string> extra_names;
  std::vector<long> numbers;  // first to last frame number, each one (in steps of `step`)
  // The numbers' common step: 1, or for an evenly sampled movie numbered
  // 0, 5, 10, ... 5. One step is one frame to the tracking (a gap is a step
  // without a frame); times stay in the numbers' units.
  long step = 1;
  int width = 0, height = 0;  // masks: the images' size
  std::vector<std::string> intensity_names;  // --intensity channels, in the order given
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

// A fluorescence channel measured in the cells (--intensity NAME[:C]=PATH):
// PATH a folder of images numbered like the masks, or one stack (of an
// ImageJ hyperstack, channel C from 1, and the masks' slice).
struct IntensityChannel {
  std::string name, path;
  long channel = 0;
};

struct TrackOptions {
  std::vector<std::string> inputs;  // frame files, or one table
  std::vector<IntensityChannel> intensity;  // --intensity, masks only
  MovieInput movie;                 // --frame-number, --channel, --slice, --allow-gaps
  std::string out_dir = "lineage";
  int jobs = 0;                     // pairs matched at once; 0: the number of cores
  std::string config;               // softconfig.dat to use; empty: chosen from the data
  bool keep_pairs = false;          // keep each pair's result files in out_dir/pairs/NNNN/
  int tile_cells = kChosenTileCells;  // tiles for pairs whose frames have more cells; 0: never
  bool points_only = false;         // masks in: write only out_dir/frame_NNNN.dat
  bool force = false;               // replace another movie's results in out_dir
  // The user's corrections of the lineage (track/lineage/corrections.h): a
  // file (--corrections), or its text (the library; `corrections` then its
  // name in messages); both empty: none.
  std::string corrections, corrections_text;
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
// Leaves the frames without cells out of tl.frames, sets tl.step and fills
// tl.numbers from `first` to `last` in that step; warns about the frames without cells and the numbers
// without a frame. Refuses, unless `allow_gaps`, a run of missing numbers far
// longer than the gap closing bridges and than the usual step between frames.
void drop_blank_frames(TimeLapse& tl, long first, long last, bool allow_gaps = false);
// tl.numbers, or, for a time-lapse built without them, every number from its
// first frame's to its last's (in steps of tl.step).
std::vector<long> movie_numbers(const TimeLapse& tl);

// Reads one point file per frame with the columns of `p`.
TimeLapse read_frame_files(const std::vector<std::string>& paths, const ParameterSet& p,
                           const MovieInput& movie = MovieInput());
// The records of comma-separated text (libcsv, strict quoting; a UTF-8 byte
// order mark skipped), each with the physical line it starts on. A malformed
// record is refused as "SOURCE:LINE: why".
struct CsvRecord {
  long line = 0;
  std::vector<std::string> fields;
};
std::vector<CsvRecord> csv_records(const std::string& text, const std::string& source);
// A whole field or token as a finite number (false for anything else).
bool parse_number(const std::string& token, double& value);
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
// The label image of a mask file (`page` of a stack; -1: a one-page file),
// refused as a TrackError naming the file.
LabelImage read_mask(const std::string& path, long page);
// With `intensity`, every channel's images are found and their headers
// checked before any mask is read (intensity.cpp), then measured in each frame.
TimeLapse read_mask_files(const std::vector<std::string>& paths, const MovieInput& movie = MovieInput(),
                          const std::vector<IntensityChannel>& intensity = {});
// Measures one frame's label image (laid out as image/image.h's LabelImage)
// into a frame of `tl` numbered `number`; refuses a size other than the
// first frame's and what is plainly not label masks. Blank frames stay until
// drop_blank_frames.
void add_label_frame(TimeLapse& tl, const std::uint32_t* labels, int width, int height, long number,
                     const std::string& source);
// Refuses fewer than two frames with cells, an id twice in one frame. (A
// frame may hold any number of cells: large pairs are matched in tiles.)
void check_time_lapse(const TimeLapse& tl);

// ---- Fluorescence (intensity.cpp) ----

// "NAME=PATH" or "NAME:C=PATH" as --intensity gives it.
IntensityChannel intensity_channel_of(const std::string& text);
// Refuses a name that is no safe column name (a letter, then letters, digits
// or _) and a name given twice.
void check_intensity_names(const std::vector<IntensityChannel>& channels);
// Where one frame's intensity image is: a file, and its page in a stack (-1:
// a one-page file).
struct IntensitySource {
  std::string file;
  long page = -1;
};
// Per channel, the image of every mask frame of `frames` (before blank
// frames are dropped): a folder's images by the numbers in their names (by
// order when the names have none or the masks are a stack), a stack's
// frames in order. Refuses, naming the file, a missing frame, a count that
// differs, a size other than the masks', an image that is not numeric.
std::vector<std::vector<IntensitySource>> intensity_sources(const std::vector<Frame>& frames,
                                                            const std::vector<IntensityChannel>& channels,
                                                            const MovieInput& movie);
// Appends one channel's measurement of `f`'s cells (its ids are the labels,
// in increasing order) over `labels` and `values` (width * height each).
void add_frame_intensity(Frame& f, const std::uint32_t* labels, const double* values, int width, int height);
// The same with the image read from `s` into `image` (its memory used again);
// refuses another size than the mask's.
void add_intensity_frame(Frame& f, const std::uint32_t* labels, int width, int height, const IntensitySource& s,
                         IntensityImage& image);

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
  // Whether near(x, y, radius) lists cell j.
  bool near_holds(double x, double y, double radius, int j) const;
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

// ---- Files (track/output/files.cpp) ----

// Shortest text that reads back as the same double.
std::string number_text(double v);

// Writes `text` under a temporary name beside `path` and renames it over
// `path`: the file is absent, the old one, or complete. False on failure
// (the temporary file is removed).
bool write_file_atomically(const std::string& path, const std::string& text);

// The bytes of a file (empty when it cannot be read).
std::string read_file_text(const std::string& path);

// A frame's cells as a point file: "x y length angle id" per line, numbers
// that read back as the same doubles.
std::string point_file_text(const Frame& f);
std::string frame_file_name(long number);  // frame_NNNN.dat

}  // namespace vantu
