// The annealing driver and the state of one run.
//
// A run owns one struct per subsystem: the parameter set, the two point sets,
// the match state, the spline and the result files. The driver sequences the
// whole run: load, prepare, then temperature steps from BetaInit while
// Beta < BetaMax, each with five balancings, four inner iterations of match
// decisions and spline re-estimation, and the result files at their places.
#pragma once

#include <chrono>
#include <string>

#include <cstdio>

#include "base/params.h"
#include "input/load_points.h"
#include "match/match.h"
#include "matrix/kernels.h"
#include "run/writers.h"
#include "warp/TPS.h"

namespace vantu {

struct DriverState {
  double Beta = 0.0;
  double saved_split_offset = 0.0;
  std::vector<double> perm_buffer;  // K x M, one level expanded for its Perm file
  std::string progress_line;
  double last_print = 0.0;
  std::chrono::steady_clock::time_point start;
  int m0 = 0, m1 = 0;
  std::FILE* console = stdout;  // loading, progress and solver lines; null: none

  double elapsed() const;  // seconds since the start, by milliseconds
};

struct Run {
  ParameterSet params;
  PointInput points;
  MatchState match;
  SplineState spline;
  DriverState driver;
  ResultFiles files;
  bool write_files = true;  // false: no result file is written
  KernelState kernels;      // plain or fast kernels, threads, time breakdown
};

// Runs the whole annealing on the two point files. Throws RunEnd where the
// run ends early (status 1 for bad input, status 0 for the settled
// single-point case).
void run_annealing(Run& run, const std::string& first_file, const std::string& second_file);

// The same on the point sets already in run.points (their names only label
// the loading lines).
void anneal_point_sets(Run& run);

// ---- One run of the matcher as a library call ----
//
// Two point sets and a parameter set in; the hard matches of the last
// decisions out, and the result files when `out_dir` is given. Nothing
// depends on the working directory or on state outside the call, so calls
// may run side by side in threads. Without a console it prints nothing.
struct PairOptions {
  std::string out_dir;          // folder of the result files; empty: none are written
  bool fast = true;             // fast kernels (the same bits as the plain ones)
  int threads = 1;              // threads of the fast kernels
  std::FILE* console = nullptr; // loading and progress lines; null: silent
  std::string first_name = "first", second_name = "second";  // names in the loading lines
  // Subnormals flushed to zero (base/subnormals.h) in the calling thread and
  // the kernel's threads during the call; the caller's setting is restored.
  bool flush_subnormals = false;
};

struct PairResult {
  int status = 0;       // 0: matched; 1: refused (message says why)
  std::string message;  // the refusal, as the program would print it
  int K = 0, M = 0;
  // Per second-set point j and level l < 3: the index of the first-set point
  // matched to j (level 0: the same cell; levels 1, 2 under MaxSplit 3: the
  // first and second daughter of that cell), or -1. Levels the run does not
  // have are all -1.
  std::vector<int> matched_row[3];
  // Spline systems the solver found singular (the warp then kept its last
  // coefficients). The program vantu prints a line for each; here they are
  // only counted, and go to `console` when one is given.
  int singular_solves = 0;
  // Result files that could not be written (the program vantu warns on
  // standard error; here they are only listed).
  std::vector<std::string> unwritten;
};

PairResult match_pair(const PointSet& first, const PointSet& second, const ParameterSet& params,
                      const PairOptions& options);

// Refuses a parameter set the run cannot carry out (RunEnd, status 1): a
// MaxSplit other than 1, 2 or 3, or an annealing whose temperature loop
// would never end or would reach a Beta that is not finite.
void check_supported(const ParameterSet& p);

// Releases every work array of the run; the point sets and the last hard
// matches stay.
void release_work(Run& run);

// Entry point: the whole program on its arguments; returns the exit status.
// `fast` picks the fast kernels (the program vantu) or the plain ones
// (vantu-plain); both give the same output, bit for bit. With the variable
// VANTU_PROFILE=1 in the environment, the time of each phase goes to
// standard error at the end. Options before the two files take the
// settings of vantu-track's kernel: --flush-subnormals and --drop-below W
// (ParameterSet::drop_below); without them the run is the reference run.
int vantu_main(int argc, char** argv, bool fast = true);
// -h, --help or --version among the first two arguments: prints the usage
// or the version of `program` on standard output and returns true.
bool answered_usage(int argc, char** argv, const char* program);

}  // namespace vantu
