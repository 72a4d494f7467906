// Dense matrices, linear systems and the result-file writers.
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

#include <initializer_list>
#include <set>
#include <string>

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

// Solves A*X = B for the n x m right-hand sides B in place, taking as pivot of
// each column the first unused row above PivotTiny. A is left unchanged.
// Returns B, or null after printing "ERROR (reverse): singular matrices".
double* reverse(int n, int m, const double* A, double* B);

// ---- Result files ----
//
// Every value is written as printf's %g and followed by one space; groups of
// a line are separated by one more space; each line ends with '\n'. Each call
// rewrites its file whole. They return false when the file could not be
// written (the run goes on).

bool write_matrix(const char* name, int rows, const double* t1, int cols);
bool write_match(const char* name, int rows, const int* t1, const int* t2, const int* t3,
                 const double* t4, int cols);
bool write_triples(const char* name, int rows, const double* t1, const double* t2,
                   const double* t3, int cols);

// The same files, character for character, with the values formatted by
// std::to_chars (general format, precision 6: the %g rules) instead of
// printf; values that are not finite still go through printf. With
// `workers`, a large matrix is formatted by all of them.
class Workers;
bool write_matrix_fast(const char* name, int rows, const double* t1, int cols, Workers* workers = nullptr);
bool write_match_fast(const char* name, int rows, const int* t1, const int* t2, const int* t3,
                      const double* t4, int cols);
bool write_triples_fast(const char* name, int rows, const double* t1, const double* t2,
                        const double* t3, int cols);
// One value as the writers put it: "%g " appended to `out`.
void append_g(std::string& out, double v);
void append_g_fast(std::string& out, double v);

// The result files of one run: writes through the writers above and reports
// a file that cannot be written once per name, on standard error.
struct ResultFiles {
  std::set<std::string> warned;
  void check(bool written, const char* name);
};

}  // namespace vantu
