// Dense matrices and linear systems.
//
// Data layout: an r x c matrix is a contiguous array of r*c doubles in
// row-major order, element (i, j) at i*c + j; dimensions travel beside the
// array as ints. A vector of n values is an array of n doubles and may be read
// as an n x 1 or 1 x n matrix; an r x c matrix may be read as a vector of r*c.
//
// Result buffers follow one rule: an operation that produces an array takes a
// buffer; a null buffer is created with new[] at exactly the needed size (the
// caller owns it and releases it with delete[]), a given buffer is written in
// place and returned, without any size check.
#pragma once

#include <cstdio>
#include <initializer_list>

namespace vantu {

double* mat_fill(int n, double* buf, double value);
double* mat_zeros(int n, double* buf);
double* mat_identity(int rows, int cols, double* buf);
double* mat_copy(int n, const double* src, double* dst);
int* int_fill(int n, int* buf, double value);  // value truncated toward zero
double* vec_add(int n, double* acc, const double* addend);  // acc[k] += addend[k]
double* vec_mul(int n, double* acc, const double* factor);  // acc[k] *= factor[k]

// C = A*B with A m x n, B n x p. C is cleared first; then for each row i and
// each k in increasing order, row k of B times A(i, k) is added to row i of C.
double* mat_multiply(int m, int n, int p, const double* A, const double* B, double* C);
double* mat_transpose(int rows, int cols, const double* A, double* out);

// Block assembly: `heights` (R values) and `widths` (C values) give the block
// grid, `blocks` the R*C row-major blocks in row-major grid order. Writes every
// element of the (sum heights) x (sum widths) result. At most 20 x 20 blocks.
double* mat_compose(double* out, int R, int C, std::initializer_list<int> heights,
                    std::initializer_list<int> widths, std::initializer_list<const double*> blocks);

// ---- Linear systems (Gauss-Jordan) ----

// Values of magnitude at most this count as zero in the solver.
constexpr double PivotTiny = 1e-10;

enum class RowMode { Scale = 0, Add = 1 };

// Scale: Mx(dst, k) = x*Mx(src, k); Add: Mx(dst, k) += x*Mx(src, k); both only
// for the k where |Mx(src, k)| > PivotTiny, other entries keep their value.
void row_combine(int cols, double* Mx, int src, double x, int dst, RowMode mode);
void row_swap(int cols, double* Mx, int a, int b);

// Where a solver reports a singular system: the line "ERROR (reverse):
// singular matrices" goes to `console` (none when null), and `singular`
// counts the systems. The run that owns it decides where its lines go.
struct SolverWarnings {
  std::FILE* console = stdout;
  int singular = 0;
  void report_singular();
};

// Solves A*X = B for the n x m right-hand sides B in place, taking as pivot of
// each column the first unused row above PivotTiny. A is left unchanged.
// Returns B, or null after reporting the singular system to `warnings`
// (without one: the line goes to standard output).
double* reverse(int n, int m, const double* A, double* B, SolverWarnings* warnings = nullptr);

}  // namespace vantu
