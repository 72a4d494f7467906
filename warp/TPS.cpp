// Thin-plate-spline model, the blocks of its normal equations and the update
// step. Every block element is a sum over the control points a = 0 .. M-1 in
// increasing order, started from 0.0, with the penalty term added after the
// sum: the bits of every result file depend on that order.
#include "warp/TPS.h"

#include <cmath>

#include "base/check.h"

namespace vantu {

namespace {

inline double& at(std::vector<double>& m, long cols, long r, long c) { return m[static_cast<size_t>(r * cols + c)]; }
inline double at(const std::vector<double>& m, long cols, long r, long c) { return m[static_cast<size_t>(r * cols + c)]; }

}  // namespace

void build_kernel(SplineState& sp, const MatchState& ms) {
  const int M = ms.M;
  sp.M = M;
  sp.FI.assign(static_cast<size_t>(M) * M, 0.0);
  for (int a = 0; a < M; ++a)
    for (int b = 0; b < M; ++b) {
      const double dx = ms.vij[3 * a + 1] - ms.vij[3 * b + 1];
      const double dy = ms.vij[3 * a + 2] - ms.vij[3 * b + 2];
      const double r2 = dx * dx + dy * dy;
      at(sp.FI, M, a, b) = r2 < 1e-10 ? 0.0 : 0.5 * r2 * std::log(r2);
    }
}

double kernel_scale(const SplineState& sp) {
  VANTU_REQUIRE(!sp.FI.empty(), "FI!=NULL");
  double s = 0.0;
  for (double f : sp.FI) s += f * f;
  return std::sqrt(s / sp.M);
}

double point_spread(const MatchState& ms) {
  VANTU_REQUIRE(!ms.vij.empty(), "vij!=NULL");
  const int M = ms.M;
  double mean[3];
  for (int c = 0; c < 3; ++c) {
    double s = 0.0;
    for (int a = 0; a < M; ++a) s += ms.vij[3 * a + c];
    mean[c] = (1.0 / M) * s;
  }
  double s = 0.0;
  for (int a = 0; a < M; ++a)
    for (int c = 0; c < 3; ++c) {
      const double d = ms.vij[3 * a + c] - mean[c];
      s += d * d;
    }
  return 0.5 * s;
}

void affine_block(SplineState& sp, const MatchState& ms, const ParameterSet& p) {
  sp.A.resize(81);
  mat_zeros(81, sp.A.data());
  for (int a = 0; a < ms.M; ++a) {
    const double* v = &ms.vij[3 * a];
    const double* G = &ms.gj_albet[9 * a];
    for (int pp = 0; pp < 3; ++pp)
      for (int q = 0; q < 3; ++q)
        for (int p2 = 0; p2 < 3; ++p2)
          for (int d = 0; d < 3; ++d) at(sp.A, 9, 3 * pp + q, 3 * p2 + d) += v[pp] * v[p2] * G[3 * q + d];
  }
  for (int k = 0; k < 9; ++k) at(sp.A, 9, k, k) += p.lambda2;
}

void cross_block(SplineState& sp, const MatchState& ms) {
  VANTU_REQUIRE(!sp.FI.empty(), "FI!=NULL");
  const int M = ms.M;
  const long W = 3L * M;
  sp.B.resize(static_cast<size_t>(9 * W));
  mat_zeros(static_cast<int>(9 * W), sp.B.data());
  for (int a = 0; a < M; ++a) {
    const double* v = &ms.vij[3 * a];
    const double* G = &ms.gj_albet[9 * a];
    for (int pp = 0; pp < 3; ++pp)
      for (int q = 0; q < 3; ++q)
        for (int j = 0; j < M; ++j)
          for (int d = 0; d < 3; ++d)
            at(sp.B, W, 3 * pp + q, 3 * j + d) += v[pp] * G[3 * q + d] * at(sp.FI, M, a, j);
  }
  sp.Bt.resize(static_cast<size_t>(9 * W));
  mat_transpose(9, static_cast<int>(W), sp.B.data(), sp.Bt.data());
}

void warp_block(SplineState& sp, const MatchState& ms, const ParameterSet& p) {
  VANTU_REQUIRE(!sp.FI.empty(), "FI!=NULL");
  const int M = ms.M;
  const long W = 3L * M;
  sp.C.resize(static_cast<size_t>(W * W));
  mat_zeros(static_cast<int>(W * W), sp.C.data());
  for (int a = 0; a < M; ++a) {
    const double* G = &ms.gj_albet[9 * a];
    for (int j = 0; j < M; ++j) {
      const double fj = at(sp.FI, M, a, j);
      for (int k = 0; k < M; ++k) {
        const double fjk = fj * at(sp.FI, M, a, k);
        for (int q = 0; q < 3; ++q)
          for (int d = 0; d < 3; ++d) at(sp.C, W, 3 * j + q, 3 * k + d) += fjk * G[3 * q + d];
      }
    }
  }
  for (int j = 0; j < M; ++j)
    for (int k = 0; k < M; ++k)
      for (int q = 0; q < 3; ++q) at(sp.C, W, 3 * j + q, 3 * k + q) += p.lambda1 * at(sp.FI, M, j, k);
}

void warp_rhs(SplineState& sp, const MatchState& ms) {
  sp.RW.resize(3 * static_cast<size_t>(ms.M));
  mat_multiply(ms.M, ms.M, 3, sp.FI.data(), ms.soft_target.data(), sp.RW.data());
}

void affine_rhs(SplineState& sp, const MatchState& ms, const ParameterSet& p) {
  sp.RD.resize(9);
  mat_zeros(9, sp.RD.data());
  for (int a = 0; a < ms.M; ++a)
    for (int pp = 0; pp < 3; ++pp)
      for (int d = 0; d < 3; ++d) at(sp.RD, 3, pp, d) += ms.vij[3 * a + pp] * ms.soft_target[3 * a + d];
  for (int k = 0; k < 3; ++k) at(sp.RD, 3, k, k) += p.lambda2;
}

double* warp_points(SplineState& sp, int M, const double* tpsc, const double* vold, double* out) {
  VANTU_REQUIRE(tpsc != nullptr && vold != nullptr && !sp.FI.empty(), "tpsc!=NULL && vold!=NULL && FI!=NULL");
  out = mat_multiply(M, 3, 3, vold, tpsc, out);
  sp.kernel_product.resize(3 * static_cast<size_t>(M));
  mat_multiply(M, M, 3, sp.FI.data(), tpsc + 9, sp.kernel_product.data());
  for (int a = 0; a < M; ++a) {
    for (int d = 0; d < 3; ++d) out[3 * a + d] += sp.kernel_product[3 * a + d];
    out[3 * a] = 1.0;
  }
  return out;
}

void tps_update(SplineState& sp, MatchState& ms, const ParameterSet& p) {
  const int M = ms.M;
  const int n = 3 * M + 9;
  soft_targets(ms);
  affine_block(sp, ms, p);
  cross_block(sp, ms);
  warp_block(sp, ms, p);
  warp_rhs(sp, ms);
  affine_rhs(sp, ms, p);

  // The solver turns the right-hand side into the solution inside tpsc; keep
  // the coefficients in force so that a singular system can fall back on them.
  sp.previous_tpsc = sp.tpsc;
  mat_compose(sp.tpsc.data(), 2, 1, {3, M}, {3}, {sp.RD.data(), sp.RW.data()});
  sp.spline_system.resize(static_cast<size_t>(n) * n);
  mat_compose(sp.spline_system.data(), 2, 2, {9, 3 * M}, {9, 3 * M},
              {sp.A.data(), sp.B.data(), sp.Bt.data(), sp.C.data()});
  if (!reverse(n, 1, sp.spline_system.data(), sp.tpsc.data(), &sp.warnings)) sp.tpsc = sp.previous_tpsc;

  finish_spline_step(sp, ms);
}

void finish_spline_step(SplineState& sp, MatchState& ms) {
  const int M = ms.M;
  for (int r = 0; r < M + 3; ++r) sp.tpsc[3 * r] = 0.0;
  sp.tpsc[0] = 1.0;
  warp_points(sp, M, sp.tpsc.data(), ms.vij.data(), ms.warped_points.data());
}

}  // namespace vantu
