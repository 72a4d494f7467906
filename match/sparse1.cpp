#include "match/sparse1.h"

#include <cmath>
#include <vector>

#include "base/check.h"

namespace vantu {

long sparse_pattern_capacity(int rows, int cols) {
  return 3L * (static_cast<long>(cols) + 1) * rows + 1 + 3;
}

void sparse_from_dense(int rows, int cols, const double* Q, double* EA, int* cntr, double eps) {
  VANTU_REQUIRE(EA != nullptr && cntr != nullptr && Q != nullptr,
                "EA!=NULL && SR!= NULL && SC1 != NULL && SC2 != NULL && Q !=NULL");
  long v = 0;
  int n = 0;
  for (int i = 0; i < rows; ++i) {
    const double* q = Q + static_cast<long>(i) * cols;
    int k = 0;
    while (k < cols) {
      if (std::fabs(q[k]) < eps) {
        ++k;
        continue;
      }
      ++n;
      cntr[3 * n] = i;
      cntr[3 * n + 1] = k;
      while (k < cols && !(std::fabs(q[k]) < eps)) EA[++v] = q[k++];
      cntr[3 * n + 2] = k - 1;
      ++k;  // the column that ended the run is below the threshold or past the end
    }
  }
  cntr[0] = rows;
  cntr[1] = cols;
  cntr[2] = n;
}

void sparse_to_dense(double* out, const double* EA, const int* cntr) {
  const int rows = cntr[0], cols = cntr[1], n = cntr[2];
  for (long k = 0; k < static_cast<long>(rows) * cols; ++k) out[k] = 0.0;
  long v = 1;
  for (int r = 1; r <= n; ++r) {
    const int i = cntr[3 * r], c1 = cntr[3 * r + 1], c2 = cntr[3 * r + 2];
    for (int c = c1; c <= c2; ++c) out[static_cast<long>(i) * cols + c] = EA[v++];
  }
}

double* sparse_sums(const double* EA, const int* cntr, double* out, int direction) {
  VANTU_REQUIRE(EA != nullptr && cntr != nullptr, "EA!=NULL && SR!=NULL && SC1!= NULL && SC2!= NULL");
  const int rows = cntr[0], cols = cntr[1], n = cntr[2];
  if (!out) out = new double[rows > cols ? rows : cols];
  const int len = direction == 1 ? rows : cols;
  for (int k = 0; k < len; ++k) out[k] = 0.0;
  long v = 1;
  for (int r = 1; r <= n; ++r) {
    const int i = cntr[3 * r], c1 = cntr[3 * r + 1], c2 = cntr[3 * r + 2];
    if (direction == 1) {
      for (int c = c1; c <= c2; ++c) out[i] += EA[v++];
    } else {
      for (int c = c1; c <= c2; ++c) out[c] += EA[v++];
    }
  }
  return out;
}

void sparse_scale(double* EA, int* cntr, const double* arr, int direction, int* scratch, double eps) {
  VANTU_REQUIRE(EA != nullptr && cntr != nullptr && arr != nullptr,
                "EA!=NULL && SR!= NULL && SC1 != NULL && SC2 != NULL && arr!= NULL");
  std::vector<int> own;
  if (!scratch) {
    own.resize(static_cast<size_t>(sparse_pattern_capacity(cntr[0], cntr[1])));
    scratch = own.data();
  }
  const int n = cntr[2];
  long r = 1, w = 1;
  int out = 0;
  for (int k = 1; k <= n; ++k) {
    const int i = cntr[3 * k], c1 = cntr[3 * k + 1], c2 = cntr[3 * k + 2];
    int c = c1;
    while (c <= c2) {
      double value = EA[r] * (direction == 1 ? arr[i] : arr[c]);
      EA[r] = value;
      if (std::fabs(value) < eps) {
        ++r;
        ++c;
        continue;
      }
      ++out;
      scratch[3 * out] = i;
      scratch[3 * out + 1] = c;
      EA[w++] = EA[r++];
      int last = c++;
      while (c <= c2) {
        value = EA[r] * (direction == 1 ? arr[i] : arr[c]);
        EA[r] = value;
        if (std::fabs(value) < eps) {  // this entry ends the output run and is dropped
          ++r;
          ++c;
          break;
        }
        EA[w++] = EA[r++];
        last = c++;
      }
      scratch[3 * out + 2] = last;
    }
  }
  for (int k = 3; k < 3 * out + 3; ++k) cntr[k] = scratch[k];
  cntr[2] = out;
}

double dev_invert(int n, double* arr, bool invert, double target) {
  double d = 0.0;
  for (int i = 0; i < n; ++i)
    if (std::fabs(arr[i] - target) > d) d = std::fabs(arr[i] - target);
  if (invert)
    for (int i = 0; i < n; ++i) {
      VANTU_REQUIRE(arr[i] != 0.0, "arr[i]!=0.0");
      arr[i] = 1.0 / arr[i];
    }
  return d;
}

}  // namespace vantu
