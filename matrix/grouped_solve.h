// Gauss-Jordan elimination of a system whose unknowns fall into groups that
// share no entry: the same pivots, the same row operations and so the same
// bits as reverse(n, 1, A, B), for a third of the work or less, blocked for
// the cache, vectorised and spread over threads.
//
// Why it gives the same bits: an entry of magnitude <= PivotTiny is never a
// pivot, never propagated and never selects a row for an update. If every
// entry between the groups is that small, no row operation ever mixes the
// groups and those entries never change. The only coupling left is the row
// order: the pivot of column i is the first unused row in the current order,
// and a swap for a column of one group exchanges row i with the pivot row,
// whatever group row i holds. So the solver keeps the order of all n rows (a
// permutation, no data moves) and takes the columns in their original order;
// every other operation works within one group. (With the layouts below,
// every position keeps a row of its own group, so the groups never disturb
// each other's order; the solver does not rely on it.)
//
// Delayed updates: every element of a group receives its row updates one at a
// time in the original column order, each as w = w + (-a)*u with the skip
// rules of row_combine; the panel of pivot columns only changes when the
// updates of the later columns are applied, not their order.
#pragma once

#include <cstddef>
#include <vector>

#include "matrix/kernels.h"
#include "matrix/simple_matrix.h"

namespace vantu {

struct GroupedSystem {
  static constexpr int kMaxGroups = 3;
  int n = 0;                      // order of the whole system
  int groups = 0;
  std::vector<int> group, local;  // per unknown: its group and its index there
  int size[kMaxGroups] = {};
  std::vector<double> W[kMaxGroups];    // size[g] x size[g], row-major
  std::vector<double> rhs[kMaxGroups];  // size[g]

  // The unknown with index i belongs to component i mod 3. Two groups:
  // component 0 and components 1, 2 together; three groups: one per
  // component. Sizes the matrices (contents unspecified).
  void layout_by_component(int order, int group_count);
  double& at(int g, int r, int c) { return W[g][static_cast<size_t>(r) * size[g] + c]; }
  // Entry (r, c) of the whole system; r and c must be in one group.
  double& entry(int r, int c) { return at(group[r], local[r], local[c]); }
};

// Solves as reverse(n, 1, A, B) does for the system described by `s`
// (whose matrices and right-hand sides it overwrites) and writes the solution
// in the original order into x (n values). On a singular system reports it
// as reverse does and returns false; x is then unchanged.
bool solve_grouped(GroupedSystem& s, double* x, Workers& workers, SolverWarnings* warnings = nullptr);

// The whole-matrix form: A is n x n, B has n values. When every entry of A
// between the groups of layout_by_component(n, groups) is at most PivotTiny
// in magnitude, solves through solve_grouped, otherwise through reverse.
// Returns B or null (singular; B's contents are then unspecified).
double* reverse_grouped(int n, const double* A, double* B, Workers& workers, int groups = 2,
                        SolverWarnings* warnings = nullptr);

}  // namespace vantu
