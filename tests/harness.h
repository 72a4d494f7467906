// Shared test harness: a scratch working directory in which the built
// programs run with given files, and readers for what they leave behind.
#pragma once

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

// Whitespace-separated tokens of each line of a text.
std::vector<std::vector<std::string>> table(const std::string& text);

// Lines of a text, without their line ends.
std::vector<std::string> lines(const std::string& text);

}  // namespace vantu_test
