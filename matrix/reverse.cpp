// Gauss-Jordan elimination with the first acceptable pivot.
//
// The pivot of column i is the first row not yet used whose entry exceeds
// PivotTiny in magnitude; magnitudes are not compared with each other. Every
// row operation skips source entries of magnitude <= PivotTiny, so such an
// entry is neither scaled nor propagated into other rows.
#include <cmath>
#include <cstdio>
#include <utility>
#include <vector>

#include "matrix/simple_matrix.h"

namespace vantu {

void row_combine(int cols, double* Mx, int src, double x, int dst, RowMode mode) {
  const double* s = Mx + static_cast<long>(src) * cols;
  double* d = Mx + static_cast<long>(dst) * cols;
  if (mode == RowMode::Scale) {
    for (int k = 0; k < cols; ++k)
      if (std::fabs(s[k]) > PivotTiny) d[k] = x * s[k];
  } else {
    for (int k = 0; k < cols; ++k)
      if (std::fabs(s[k]) > PivotTiny) d[k] += x * s[k];
  }
}

void row_swap(int cols, double* Mx, int a, int b) {
  if (a == b) return;
  double* ra = Mx + static_cast<long>(a) * cols;
  double* rb = Mx + static_cast<long>(b) * cols;
  for (int k = 0; k < cols; ++k) std::swap(ra[k], rb[k]);
}

void SolverWarnings::report_singular() {
  ++singular;
  if (console) std::fprintf(console, "ERROR (reverse): singular matrices\n");
}

double* reverse(int n, int m, const double* A, double* B, SolverWarnings* warnings) {
  std::vector<double> W(A, A + static_cast<long>(n) * n);
  std::vector<int> used(static_cast<size_t>(n), 0);
  double* w = W.data();
  for (int i = 0; i < n; ++i) {
    int j = -1;
    for (int r = 0; r < n; ++r)
      if (!used[r] && std::fabs(w[static_cast<long>(r) * n + i]) > PivotTiny) {
        j = r;
        break;
      }
    if (j < 0) {
      SolverWarnings to_stdout;
      (warnings ? *warnings : to_stdout).report_singular();
      return nullptr;
    }
    used[j] = 1;
    double f = 1.0 / w[static_cast<long>(j) * n + i];
    row_combine(n, w, j, f, j, RowMode::Scale);
    row_combine(m, B, j, f, j, RowMode::Scale);
    if (j != i) {
      row_swap(n, w, i, j);
      row_swap(m, B, i, j);
      std::swap(used[i], used[j]);
    }
    for (int k = 0; k < n; ++k) {
      if (k == i) continue;
      double a = w[static_cast<long>(k) * n + i];
      if (std::fabs(a) > PivotTiny) {
        row_combine(n, w, i, -a, k, RowMode::Add);
        row_combine(m, B, i, -a, k, RowMode::Add);
      }
    }
  }
  return B;
}

}  // namespace vantu
