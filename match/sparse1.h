// The run-length sparse matrix and its single-matrix operations.
//
// A sparse matrix is a value array EA (doubles) and a pattern array cntr
// (ints). The pattern is a header triple followed by one triple per run:
//   cntr[0] rows, cntr[1] columns, cntr[2] number of runs n,
//   cntr[3k], cntr[3k+1], cntr[3k+2]  row, first and last column of run k
//                                     (k = 1..n, inclusive columns).
// A run is a maximal stretch of stored entries of one row at consecutive
// columns; runs are ordered by row, then column. EA[0] is a header slot that
// holds no value; the stored values follow from EA[1], run after run, each
// run from its first to its last column.
//
// With the drop threshold at 0.0 (as during a run) nothing is ever dropped:
// every row is one run over all columns and entry (i, j) is EA[1 + i*M + j].
#pragma once

namespace vantu {

// Capacity of a pattern for `rows` x `cols` entries, whatever the runs.
long sparse_pattern_capacity(int rows, int cols);

// Stores the entries of the dense row-major Q whose magnitude is not below
// eps (NaN is stored).
void sparse_from_dense(int rows, int cols, const double* Q, double* EA, int* cntr, double eps);

// out := zero, then every stored entry at its place.
void sparse_to_dense(double* out, const double* EA, const int* cntr);

// direction 1: out[i] = sum of row i; -1: out[j] = sum of column j. Sums run
// over the stored entries in pattern order. A null out is created with
// max(rows, cols) doubles (new[]).
double* sparse_sums(const double* EA, const int* cntr, double* out, int direction);

// Multiplies every entry by arr[row] (direction 1) or arr[column] (-1), then
// removes the entries whose new magnitude is below eps, compacting EA and
// cntr in place. `scratch` holds sparse_pattern_capacity ints, or is null.
void sparse_scale(double* EA, int* cntr, const double* arr, int direction, int* scratch, double eps);

// Largest |arr[i] - target| (0.0 for n = 0); with `invert`, afterwards every
// arr[i] becomes 1/arr[i].
double dev_invert(int n, double* arr, bool invert, double target);

}  // namespace vantu
