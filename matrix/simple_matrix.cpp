#include "matrix/simple_matrix.h"

#include <vector>

#include "base/check.h"

namespace vantu {

namespace {
double* buffer_or_new(double* buf, long n) { return buf ? buf : new double[n > 0 ? n : 1]; }
}  // namespace

double* mat_fill(int n, double* buf, double value) {
  buf = buffer_or_new(buf, n);
  for (int k = 0; k < n; ++k) buf[k] = value;
  return buf;
}

double* mat_zeros(int n, double* buf) { return mat_fill(n, buf, 0.0); }

double* mat_identity(int rows, int cols, double* buf) {
  buf = buffer_or_new(buf, static_cast<long>(rows) * cols);
  for (int i = 0; i < rows; ++i)
    for (int j = 0; j < cols; ++j) buf[static_cast<long>(i) * cols + j] = (i == j) ? 1.0 : 0.0;
  return buf;
}

double* mat_copy(int n, const double* src, double* dst) {
  dst = buffer_or_new(dst, n);
  for (int k = 0; k < n; ++k) dst[k] = src[k];
  return dst;
}

int* int_fill(int n, int* buf, double value) {
  if (!buf) buf = new int[n > 0 ? n : 1];
  int v = static_cast<int>(value);
  for (int k = 0; k < n; ++k) buf[k] = v;
  return buf;
}

double* vec_add(int n, double* acc, const double* addend) {
  for (int k = 0; k < n; ++k) acc[k] += addend[k];
  return acc;
}

double* vec_mul(int n, double* acc, const double* factor) {
  for (int k = 0; k < n; ++k) acc[k] *= factor[k];
  return acc;
}

double* mat_multiply(int m, int n, int p, const double* A, const double* B, double* C) {
  VANTU_REQUIRE(A != nullptr && B != nullptr, "A!=NULL && B!=NULL");
  C = mat_zeros(m * p, C);
  for (int i = 0; i < m; ++i) {
    double* ci = C + static_cast<long>(i) * p;
    for (int k = 0; k < n; ++k) {
      double a = A[static_cast<long>(i) * n + k];
      const double* bk = B + static_cast<long>(k) * p;
      for (int d = 0; d < p; ++d) ci[d] += bk[d] * a;
    }
  }
  return C;
}

double* mat_transpose(int rows, int cols, const double* A, double* out) {
  out = buffer_or_new(out, static_cast<long>(rows) * cols);
  for (int i = 0; i < rows; ++i)
    for (int j = 0; j < cols; ++j) out[static_cast<long>(j) * rows + i] = A[static_cast<long>(i) * cols + j];
  return out;
}

double* mat_compose(double* out, int R, int C, std::initializer_list<int> heights,
                    std::initializer_list<int> widths, std::initializer_list<const double*> blocks) {
  VANTU_REQUIRE(R >= 1 && R <= 20 && C >= 1 && C <= 20, "R>0 && R<=20 && C>0 && C<=20");
  VANTU_REQUIRE(static_cast<int>(heights.size()) == R && static_cast<int>(widths.size()) == C &&
                    static_cast<long>(blocks.size()) == static_cast<long>(R) * C,
                "block counts match the grid");
  std::vector<int> h(heights), w(widths);
  std::vector<const double*> b(blocks);
  long H = 0, Wd = 0;
  for (int x : h) H += x;
  for (int x : w) Wd += x;
  out = buffer_or_new(out, H * Wd);
  long row0 = 0;
  for (int a = 0; a < R; ++a) {
    long col0 = 0;
    for (int c = 0; c < C; ++c) {
      const double* blk = b[static_cast<size_t>(a) * C + c];
      for (int r = 0; r < h[a]; ++r)
        for (int k = 0; k < w[c]; ++k)
          out[(row0 + r) * Wd + col0 + k] = blk[static_cast<long>(r) * w[c] + k];
      col0 += w[c];
    }
    row0 += h[a];
  }
  return out;
}

}  // namespace vantu
