// The parameter set of a run: built-in defaults, overwritten once from the
// configuration file (run/config.h), then read by every stage. Only the
// annealing driver changes a field afterwards (lambda1, lambda2).
#pragma once

namespace vantu {

struct ParameterSet {
  // Configurable, in the order of the parameter report.
  double BetaInit = 0.1;   // first inverse temperature
  double BetaIncr = 1.075; // growth factor of Beta per temperature step
  double BetaMax = 200.0;  // annealing runs while Beta < BetaMax
  double lambda1 = 0.1;    // warp penalty
  double lambda2 = 0.0;    // affine penalty
  double TH = 1.0;         // slack threshold of the match benefit
  double rEvar = 0.000625; // reciprocal variance of position deviations
  int MaxSplit = 3;        // number of match levels (1, 2 or 3)
  int nx = 0;              // column numbers (from 1) in the point files;
  int ny = 0;              // 0 or less switches a column off
  int nz = 0;
  int Nid = 0;
  int Nang = 0;
  int Nlen = 0;
  double alphaS = 1.0;     // shrinking coefficient of the row metric

  // Fixed values that no file sets.
  double split_offset = 0.9;     // benefit of a split candidate once Beta > BetaSplit
  double BetaSplit = 5.0;        // split levels are off while Beta <= BetaSplit
  double SlackInit = 1.0;        // every slack entry before annealing
  int MaxSweeps = 400;           // Sinkhorn sweep cap per balancing
  double norm_cut = 5e-5;        // Sinkhorn stops when column deviation <= norm_cut
  double SplitPrior = 0.5;       // weight of the split levels in the starting match
  double match_threshold = 0.5;  // a balanced weight above this is a hard match
  double split_jitter = 0.001;   // daughter jitter under two levels
  // Weights that can no longer matter are not kept: a pair whose balanced
  // weight cannot reach drop_below is set to +0 when the benefits are
  // computed (Beta * benefit < ln drop_below, see match/benefits.cpp). 0
  // keeps every weight (vantu's default); vantu-track sets it.
  double drop_below = 0.0;
  // The annealing may end early once its hard matches have settled: from a
  // Beta of settle_from on, it ends after a temperature step when, while Beta
  // grew settle_span times, no step changed more hard matches (over every
  // level) than settle_changes times the second set's points. settle_from 0
  // runs every step (vantu's default); vantu-track sets it where the matches
  // are only a proposal that its assignment decides.
  double settle_from = 0.0;
  double settle_span = 0.0;
  double settle_changes = 0.0;
};

// Adds 0.5 and truncates toward zero. `ok` (if given) is false when the value
// is not finite or does not fit an int; the result is then INT_MIN.
int round_to_int(double value, bool* ok = nullptr);

}  // namespace vantu
