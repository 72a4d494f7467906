// What the programs of tools/ share to read a vantu-track output folder's
// tables (cells.csv, tracks.csv) and to write SVG and HTML text.
//
// A CsvTable is the file as read by libcsv (strict quoting, spaces around
// unquoted fields trimmed, blank lines skipped): the header's fields (a
// trailing carriage return dropped), and each further record with the line
// number of the file where its first field ends. Values stay text; each program checks and
// converts them by its own rules, and finds its columns by name.
#pragma once

#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

namespace vantu_plot {

// A refusal of the reader: the message names the file (and line).
struct TableError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct CsvRecord {
  long line = 0;  // the line of the file where its first field ends (the first is 1)
  std::vector<std::string> fields;
};

struct CsvTable {
  std::string path;
  std::vector<std::string> header;
  long header_line = 0;  // 1 unless blank lines come first
  std::vector<CsvRecord> rows;

  // The index of the column `name`, -1 when the header has none.
  int column(const std::string& name) const;
};

// Reads the table at `path`; throws TableError for a file that cannot be
// read ("cannot read PATH"), that libcsv refuses ("PATH line N: why") or that
// holds no record ("PATH is empty").
CsvTable read_csv_table(const std::string& path);

// ---- Track labels: res_track.txt and the track masks against cells.csv ----
//
// res_track.txt and the track masks never let a label skip a frame: a track
// of cells.csv that skips frames (a closed gap, a frame number without a
// file) is cut there, and each part after a gap carries a label of its own
// whose parent is the part before (track/output/write_res_track.cpp, ctc_labels).
// These two calls are the one place that maps such labels back.

// Each label of DIR/res_track.txt and its parent label ("L B E P" lines);
// empty when the file does not exist. Throws TableError for a line that is
// not four whole numbers.
std::map<long, long> read_label_parents(const std::string& path);

// The track of cells.csv that each label stands for: a label that is one of
// `tracks` stands for itself, any other for the track its chain of parents
// leads to. Labels whose chain leads to no track are left out.
std::map<long, long> tracks_of_labels(const std::map<long, long>& parent_of, const std::set<long>& tracks);

// Minutes from one frame number to the next as DIR/units states it (the
// run's --frame-interval); 0 when the folder does not say.
double frame_minutes(const std::string& dir);

// ---- Colours shared by the lineage tree and the movie page ----

// Colour-blind-safe colours on white (Okabe and Ito's, without its yellow,
// which is too light on white), in the order trees get them.
inline constexpr const char* kPalette[7] = {"#0072B2", "#E69F00", "#009E73", "#CC79A7",
                                             "#56B4E9", "#D55E00", "#000000"};
// Tracks without parent or daughters that start after the first frame.
inline constexpr const char* kLoneColour = "#555555";
// Probable debris in the tree; the movie page's division rings and its cells
// outside a selected lineage. Each stays at least 20 CIELAB units from every
// palette colour under simulated protanopia, deuteranopia and tritanopia
// (tests/test_movie_page.cpp, PageColours), as the lone grey does.
inline constexpr const char* kDebrisColour = "#cccccc";
inline constexpr const char* kRingColour = "#9900ff";
inline constexpr const char* kOutsideColour = "#d3d3d0";

// Each track's palette index (kPalette[index % 7]), by its founder: the
// founders with a tree (daughters, or present from the first frame) in order
// of their first frame, then label; -1 for a lone track (kLoneColour).
// `parent_of` and `first_frame` list every track of the lineage.
std::map<long, int> founder_colours(const std::map<long, long>& parent_of, const std::map<long, long>& first_frame);

// ---- Text ----

// "1 track", "2 tracks".
std::string count_of(long n, const std::string& one, const std::string& many);

// A link is doubtful when its confidence (as cells.csv writes it) is below
// this: the pair picture dashes it, the movie page and the summaries count it.
constexpr double kDoubtful = 0.5;

// `s` as text of an XML or HTML element or attribute: & < > escaped, and "
// too unless `quotes` is false.
std::string xml_escape(const std::string& s, bool quotes = true);

// `v` with `decimals` digits after the point ("%.*f").
std::string fixed(double v, int decimals);

}  // namespace vantu_plot
