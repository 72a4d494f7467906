#include "matrix/vec4.h"

#include <cmath>

#include "matrix/simple_matrix.h"

namespace vantu {

VANTU_VEC_CLONES void scale_masked(double* w, double f, int n) {
  const v4 tiny = splat(PivotTiny), x = splat(f);
  int k = 0;
  for (; k + 4 <= n; k += 4) {
    const v4 v = loadu(w + k);
    storeu(w + k, above(v, tiny) ? x * v : v);
  }
  for (; k < n; ++k)
    if (std::fabs(w[k]) > PivotTiny) w[k] = f * w[k];
}

VANTU_VEC_CLONES void axpy_masked(double* w, const double* u, double x, int n) {
  const v4 tiny = splat(PivotTiny), xv = splat(x);
  int k = 0;
  for (; k + 4 <= n; k += 4) {
    const v4 uv = loadu(u + k), wv = loadu(w + k);
    storeu(w + k, above(uv, tiny) ? wv + xv * uv : wv);
  }
  for (; k < n; ++k)
    if (std::fabs(u[k]) > PivotTiny) w[k] = w[k] + x * u[k];
}

}  // namespace vantu
