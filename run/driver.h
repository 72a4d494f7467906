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

#include "input/load_points.h"
#include "match/match.h"
#include "matrix/kernels.h"
#include "matrix/simple_matrix.h"
#include "run/params.h"
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

  double elapsed() const;  // seconds since the start, by milliseconds
};

struct Run {
  ParameterSet params;
  PointInput points;
  MatchState match;
  SplineState spline;
  DriverState driver;
  ResultFiles files;
  KernelState kernels;  // plain or fast kernels, threads, time breakdown
};

// Runs the whole annealing on the two point files. Throws RunEnd where the
// run ends early (status 1 for bad input, status 0 for the settled
// single-point case).
void run_annealing(Run& run, const std::string& first_file, const std::string& second_file);

// Releases every work array of the run; the point sets stay.
void release_work(Run& run);

// Entry point: the whole program on its arguments; returns the exit status.
// `fast` picks the fast kernels (the program vantu) or the plain ones
// (vantu-plain); both give the same output, bit for bit. With the variable
// VANTU_PROFILE=1 in the environment, the time of each phase goes to
// standard error at the end.
int vantu_main(int argc, char** argv, bool fast = true);

}  // namespace vantu
