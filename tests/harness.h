// Shared test harness: a scratch working directory in which the built
// programs run with given files, and readers for what they leave behind.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vantu_test {

struct Outcome {
  int status = -1;
  std::string out;  // standard output
  std::string err;  // standard error
};

class RunDir {
 public:
  RunDir();
  ~RunDir();
  RunDir(const RunDir&) = delete;
  RunDir& operator=(const RunDir&) = delete;

  const std::string& path() const { return dir_; }
  std::string file(const std::string& rel) const { return dir_ + "/" + rel; }

  void write(const std::string& rel, const std::string& text) const;
  std::string read(const std::string& rel) const;
  bool exists(const std::string& rel) const;
  // Names of the regular files directly in the directory, sorted.
  std::vector<std::string> files() const;

  // Runs `program` (default: the vantu binary) in the directory.
  Outcome run(const std::vector<std::string>& args = {}, const std::string& program = "") const;

 private:
  std::string dir_;
};

// A "softconfig.dat" with every gate open: the sixteen values in file order
// (BetaInit BetaIncr BetaMax lambda1 lambda2 TH rEvar alphaS MaxSplit nx ny
// Nlen Nang Nid nz, then the last gate), each with a short description.
struct Config {
  double BetaInit = 1.0, BetaIncr = 1.075, BetaMax = 200.0, lambda1 = 0.1, lambda2 = 0.0;
  double TH = 1.0, rEvar = 0.000625, alphaS = 1.0;
  int MaxSplit = 3, nx = 1, ny = 2, Nlen = 3, Nang = 4, Nid = 5, nz = 0;
  std::string text() const;
};

// Point-file text: one "x y len angle id" line per cell.
struct Cell {
  double x, y, len, angle, id;
};
std::string cells_text(const std::vector<Cell>& cells);

// Runs the project's colony simulator; returns false when it fails.
bool simulate(const RunDir& dir, int cells, int seed, const std::string& first,
              const std::string& second, const std::string& truth);

// Runs the simulator's time-lapse mode into `dir`/`sub` with extra options;
// returns the frame files' paths in time order (empty when it fails).
std::vector<std::string> simulate_timelapse(const RunDir& dir, const std::string& sub,
                                            const std::vector<std::string>& options);

// Six simulated frames of 30 cells as point files and 16-bit TIFF masks
// (tl/frame_NNNN.dat and tl/mask_NNNN.tif in `data`), made once per suite.
class SimulatedMasks : public ::testing::Test {
 protected:
  static RunDir* data;
  static std::vector<std::string> frames, masks;
  static void SetUpTestSuite();
  static void TearDownTestSuite();
};

// A lineage (cells.csv of the tracker) scored against the simulator's
// truth.csv: the share of cells whose predecessor in the previous frame is
// right (daughter or not), the share of true daughters found, and the share
// of claimed daughters that are real.
struct LineageScore {
  int cells = 0;
  double links = 0, daughters_found = 0, daughters_real = 0;
};
LineageScore score_lineage(const std::string& cells_csv, const std::string& truth_csv);

// Comma-separated fields of each line of a text (no quoting).
std::vector<std::vector<std::string>> csv_rows(const std::string& text);

// Whitespace-separated tokens of each line of a text.
std::vector<std::vector<std::string>> table(const std::string& text);

// Lines of a text, without their line ends.
std::vector<std::string> lines(const std::string& text);

// One root element, tags nest and close, attribute values are quoted, no
// stray '&' or '<' in text: what the pictures must be.
bool well_formed(const std::string& xml);

}  // namespace vantu_test
