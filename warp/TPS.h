// The thin-plate-spline warp of the second point set.
//
// Data layout (M control points = the second set as loaded, vij):
//   FI     M x M kernel, FI(a, b) = U(|v_a - v_b|^2), U(r2) = r2 ln(r2) / 2,
//          U = 0 for r2 < 1e-10
//   tpsc   (M+3) x 3 coefficients: rows 0-2 the affine part D, row 3+j the
//          warp coefficients Wc of control point j. As one vector of 3M+9
//          unknowns, D(p, q) = x[3p+q] and Wc(j, d) = x[9+3j+d].
//   A 9x9, B 9x3M, Bt 3Mx9, C 3Mx3M, RD 3x3, RW Mx3: blocks of the normal
//          equations [[A, B], [Bt, C]] x = [RD; RW]
//   spline_system  the assembled (3M+9) x (3M+9) matrix
// The warp of control point a is f(a) = vij(a) D + FI(a, .) Wc, with its
// component 0 set back to 1.
#pragma once

#include <vector>

#include "match/match.h"
#include "matrix/grouped_solve.h"
#include "matrix/kernels.h"
#include "matrix/simple_matrix.h"
#include "base/params.h"

namespace vantu {

struct SplineState {
  int M = 0;
  std::vector<double> FI, tpsc, kernel_product;
  std::vector<double> A, B, Bt, C, RD, RW;
  std::vector<double> spline_system;
  std::vector<double> previous_tpsc;
  // Singular systems met by the solves (the coefficients then stay as they
  // were): where their lines go and how many there were.
  SolverWarnings warnings;

  // Fast path: the system in its two groups (grouped_solve.h) and packed
  // copies of the kernel and the metric sums for the warp block.
  GroupedSystem grouped;
  std::vector<double> FI_packed, FI_cols, FI_panels, G_packed, B_group[2];
};

void build_kernel(SplineState& sp, const MatchState& ms);
double kernel_scale(const SplineState& sp);
double point_spread(const MatchState& ms);

// Block builders; lambda1 and lambda2 as the driver currently holds them.
void affine_block(SplineState& sp, const MatchState& ms, const ParameterSet& p);
void cross_block(SplineState& sp, const MatchState& ms);
void warp_block(SplineState& sp, const MatchState& ms, const ParameterSet& p);
void warp_rhs(SplineState& sp, const MatchState& ms);
void affine_rhs(SplineState& sp, const MatchState& ms, const ParameterSet& p);

// Evaluates the spline with coefficients `tpsc` at the M control points
// `vold` into `out` (M x 3) and returns it.
double* warp_points(SplineState& sp, int M, const double* tpsc, const double* vold, double* out);

// One re-estimation of the warp from the balanced matches: soft targets,
// blocks, solve and warped points. (The driver writes the point and
// coefficient files after it.)
void tps_update(SplineState& sp, MatchState& ms, const ParameterSet& p);

// The end of a spline step, after the solve: component 0 of the coefficients
// set to (1, 0, ..., 0) and the control points warped.
void finish_spline_step(SplineState& sp, MatchState& ms);

// ---- Fast twin of tps_update ----
//
// Only the unknowns of one component meet in the normal equations: every
// metric has first row and column (1, 0, 0) and (1, 0, 0)^T, so the metric
// sums in gj_albet have exact zeros there, and so have all blocks between
// component 0 and components 1, 2. The fast update builds the two groups of
// the system directly (the warp block from its upper triangle: both its
// symmetric halves are the same sums of the same products) and solves them
// with solve_grouped. It falls back to tps_update when the state does not
// have those exact zeros.

// The groups the system falls into (grouped_solve.h), or 0: the blocks
// between the groups are exact zeros when the metric sums have them and no
// product with a kernel value or a point can overflow. Three groups when
// the metric sums also have exact zeros between components 1 and 2 (the
// metric is isotropic, alphaS = 1), two otherwise.
int grouped_spline_groups(const SplineState& sp, const MatchState& ms);

// Fills sp.grouped, laid out in `groups` groups, with the system of the
// current soft targets (affine block from sp.A, which must be built) and its
// right-hand side from sp.tpsc.
void build_grouped_system(SplineState& sp, const MatchState& ms, const ParameterSet& p, int groups, Workers& workers);

void tps_update_fast(SplineState& sp, MatchState& ms, const ParameterSet& p, KernelState& ks);

}  // namespace vantu
