// The match state of a run and the stages that read and write it: creation,
// Sinkhorn balancing, match geometry, benefits, soft targets and decisions.
//
// Data layout (K first-set points = rows, M second-set points = columns,
// S = MaxSplit levels):
//   EA[l], cntr[l]    sparse K x M match matrix of level l < S (sparse1.h);
//                     during a run every pattern is full, entry (i, j) at
//                     EA[l][1 + i*M + j]
//   vslack[l]         K doubles, slack column of level l (row i unmatched)
//   hslack            M doubles, slack row shared by the levels
//   level_points[l]   max(K, M) homogeneous points (1, x, y), row-major:
//                     level 0 the first-set positions, levels 1 and 2 the
//                     predicted daughter positions; rows >= K are zero
//   vij               M homogeneous points: the second set as loaded
//   warped_points     M homogeneous points: vij moved by the current warp
//   row_metric        K row-major 3 x 3 metrics, one per first-set point
//   soft_target       M records of 3 doubles;  gj_albet  M 3 x 3 matrices
//   matched_id[l]     M ints, rounded first-set id matched at level l, or 0
//   matched_row[l]    M ints, the index of that first-set point, or -1
//   share[t]          one thread's share of a balancing of the fast kernels:
//                     the columns [j0, j1) of every level. During a banded
//                     balancing, level[l] holds the share's live weights of
//                     level l (bits not +0) in blocks of four rows: entry k
//                     of block b, k in [start[b], start[b+1]), is column
//                     col[k] and the weights of rows 4b .. 4b+3 there, at
//                     value[4k .. 4k+3]. A block's columns are those where
//                     any of its rows is live, in increasing order; the
//                     other rows hold +0 there, and so do rows past K. The
//                     level's full matrix keeps the +0 weights and the values
//                     of the balancing's start until they are put back.
// Level 0 holds plain matches; under three levels, levels 1 and 2 hold the
// first and second daughter of a dividing cell.
#pragma once

#include <vector>

#include "input/load_points.h"
#include "match/sparseM.h"
#include "matrix/kernels.h"
#include "base/params.h"

namespace vantu {

// The live weights of one level in one share of the columns, in blocks of
// four rows (see share[t] above).
struct BandedLevel {
  std::vector<double> value;
  std::vector<int> col;
  std::vector<long> start;  // (K + 3) / 4 + 1 offsets into col
};

struct BalanceShare {
  int j0 = 0, j1 = 0;
  BandedLevel level[3];
};

struct MatchState {
  int K = 0, M = 0, S = 0;
  double sparse_eps = 1e-7;  // drop threshold; the driver sets it to 0.0

  std::vector<double> EA[3];
  std::vector<int> cntr[3];
  std::vector<double> vslack[3];
  std::vector<double> hslack;

  // Match geometry.
  std::vector<double> level_points[3];
  std::vector<double> vij, warped_points, row_metric;
  std::vector<double> first_id;  // identifiers of the first set

  // Soft targets.
  std::vector<double> soft_target, gj_albet;

  // Benefits.
  std::vector<double> row_max[3], col_max;
  int benefit_calls = 0;

  // Decisions.
  std::vector<int> matched_id[3];
  std::vector<int> matched_row[3];
  int match_count = 0;

  // Balancing work.
  std::vector<double> rowsum[3], colsum, colbuf;
  std::vector<int> scratch;
  BalanceShare share[2];
  // The fast balancing goes over the live weights only (banded) when the
  // banded layout holds at most this share of the weights of the full sweep
  // (on one thread; banded_share_split when two threads share it).
  // Measured at 301 and 880 cells, per weight and sweep: the full sweep on
  // one thread 0.6-1.2 ns, the banded one 1.05-1.5 ns on one thread and
  // 0.6-0.8 ns on two. (The full sweep stays on one thread: where it is
  // chosen most weights are live and it waits on memory.)
  double banded_share = 0.45;
  double banded_share_split = 0.8;

  LockstepWalk walk;

  // Starts the walk over the levels 0 .. S-1.
  void walk_levels();
};

// Builds the homogeneous points, row metrics and soft-target arrays.
void init_match_geometry(MatchState& ms, const PointInput& pts, const ParameterSet& p);
// Predicted daughter positions; only for MaxSplit 2 and 3.
void init_split_positions(MatchState& ms, const PointInput& pts, const ParameterSet& p);
// TH - rEvar * (metric distance of p and q under row_metric[i]).
double metric_benefit(const MatchState& ms, const double* p, const double* q, int i,
                      const ParameterSet& prm);

// The 15-bit generator used for the daughter jitter under two levels.
struct Lcg15 {
  unsigned state = 1;
  int next() {
    state = state * 214013u + 2531011u;
    return static_cast<int>((state >> 16) & 0x7FFF);
  }
};

// Creates the level matrices with their constant balanced start and the
// slack vectors.
void match_init(MatchState& ms, const ParameterSet& p);
// Every slack entry of levels 0, 1, 2 and hslack becomes SlackInit.
void reset_slacks(MatchState& ms, const ParameterSet& p);

// Sinkhorn balancing of all levels with their slacks; returns the column
// deviation of the last sweep.
double sinkhorn(MatchState& ms, const ParameterSet& p);
// Creates the balancing work vectors on the first call.
void alloc_balance_work(MatchState& ms);
void balance_rows(MatchState& ms);
double balance_cols(MatchState& ms);
void split_factors(double& a0, double& a1, double& a2);

// Annealed match weights exp(Beta * benefit), shifted per row and column.
void update_benefits(MatchState& ms, const ParameterSet& p, double Beta, double split_offset);
void benefit_maxima(MatchState& ms, const ParameterSet& p, double Beta);
// ln p.drop_below, or -infinity when nothing is dropped: a pair with
// Beta * benefit below it gets the weight +0.
double dropped_exponent(const ParameterSet& p);

// Metric-weighted sums of the soft matches of every second-set point.
void soft_targets(MatchState& ms);

// Hard matches of level l (weight > match_threshold) into matched_id[l] and
// matched_row[l]. Level 0 clears every level first.
void decide_matches(MatchState& ms, const ParameterSet& p, int l);
// Every level's matched_id to 0 and matched_row to -1, for the M points.
void clear_matches(MatchState& ms);

// ---- Fast twins of the stages above ----
//
// Each gives exactly the bits of its plain twin. They rely on full patterns
// (entry (i, j) of level l at EA[l][1 + i*M + j], nothing ever dropped) and
// fall back to the plain stage when the state does not have them. Work is
// split over the workers only where every sum keeps its order: rows for row
// sums, columns for column sums (the balancing on two threads splits the
// columns and hands each row's partial sum from the first share to the
// second, which continues it).

// True when every level's pattern is one run per row over all columns and
// the drop threshold cannot drop anything.
bool full_patterns(const MatchState& ms);

double sinkhorn_fast(MatchState& ms, const ParameterSet& p, Workers& workers);
void update_benefits_fast(MatchState& ms, const ParameterSet& p, double Beta, double split_offset,
                          Workers& workers);
void soft_targets_fast(MatchState& ms, Workers& workers);
void decide_matches_fast(MatchState& ms, const ParameterSet& p, int l);

}  // namespace vantu
