// Four-double vectors for the fast kernels, and the masked row operations of
// the solver in vector form.
//
// Every kernel that uses these does exactly the scalar operations of its
// plain twin, lane by lane: a product and a sum stay two rounded operations
// (the build never contracts them), a masked lane keeps its old value. The
// hot kernels are compiled twice, for the x86-64 baseline and for AVX2, and
// the loader picks the variant the CPU supports.
#pragma once

#include <cstring>

// The helpers below pass vectors by value and are always inlined; the note
// about the AVX calling convention does not concern them.
#pragma GCC diagnostic ignored "-Wpsabi"

// (Not under the thread sanitizer: its runtime is not up yet when the
// loader runs the variant resolvers.)
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && !defined(__SANITIZE_THREAD__)
#define VANTU_VEC_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define VANTU_VEC_CLONES
#endif

namespace vantu {

typedef double v4 __attribute__((vector_size(32)));
typedef long long m4 __attribute__((vector_size(32)));

inline __attribute__((always_inline)) v4 loadu(const double* p) {
  v4 v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
inline __attribute__((always_inline)) void storeu(double* p, v4 v) { std::memcpy(p, &v, sizeof v); }
inline __attribute__((always_inline)) v4 splat(double x) { return v4{x, x, x, x}; }

// Lanes where |u| > t, as fabs(u) > t decides (false for NaN).
inline __attribute__((always_inline)) m4 above(v4 u, v4 t) {
  const m4 magnitude = reinterpret_cast<m4>(u) & m4{0x7fffffffffffffffLL, 0x7fffffffffffffffLL,
                                                    0x7fffffffffffffffLL, 0x7fffffffffffffffLL};
  return reinterpret_cast<v4>(magnitude) > t;
}

// row_combine's Scale on a row in place: w[k] = f*w[k] where |w[k]| > PivotTiny.
void scale_masked(double* w, double f, int n);
// row_combine's Add: w[k] = w[k] + x*u[k] where |u[k]| > PivotTiny.
void axpy_masked(double* w, const double* u, double x, int n);

}  // namespace vantu
