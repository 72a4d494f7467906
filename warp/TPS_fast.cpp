// The fast twin of the spline update: the system built directly in its two
// groups and solved by solve_grouped. Every block element is the plain sum
// over the control points a = 0 .. M-1 in increasing order from 0.0, with the
// terms computed as the plain builders compute them, and the penalty added
// after the sum.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "matrix/kernels.h"
#include "matrix/vec4.h"
#include "base/check.h"
#include "warp/TPS.h"

namespace vantu {

namespace {

bool finite_and_moderate(const std::vector<double>& v) {
  for (double x : v)
    if (!(std::fabs(x) <= 1e100)) return false;
  return true;
}

// Warp block sums of column j against the eight columns of one panel, for
// the distinct component pairs: (0,0), (1,1), (2,2) and, with Pairs = 4,
// (1,2) = (2,1). out[8s + t] is pair s (in the order 00, 11, 12, 22) of
// panel column t.
template <int Pairs>
inline __attribute__((always_inline)) void warp_sums(int M, const double* fj, const double* panel, const double* G, double* out) {
  v4 c00a = splat(0.0), c00b = c00a, c11a = c00a, c11b = c00a, c12a = c00a, c12b = c00a, c22a = c00a,
     c22b = c00a;
  for (int a = 0; a < M; ++a) {
    const v4 f = splat(fj[a]);
    const v4 pa = f * loadu(panel + 8L * a), pb = f * loadu(panel + 8L * a + 4);
    const double* g = G + 4L * a;
    const v4 g00 = splat(g[0]), g11 = splat(g[1]), g22 = splat(g[3]);
    c00a = c00a + pa * g00;
    c00b = c00b + pb * g00;
    c11a = c11a + pa * g11;
    c11b = c11b + pb * g11;
    if (Pairs == 4) {
      const v4 g12 = splat(g[2]);
      c12a = c12a + pa * g12;
      c12b = c12b + pb * g12;
    }
    c22a = c22a + pa * g22;
    c22b = c22b + pb * g22;
  }
  storeu(out, c00a);
  storeu(out + 4, c00b);
  storeu(out + 8, c11a);
  storeu(out + 12, c11b);
  storeu(out + 16, c12a);
  storeu(out + 20, c12b);
  storeu(out + 24, c22a);
  storeu(out + 28, c22b);
}

// The (0,0) sums alone for four columns j at once (rows f[0..3] of the packed
// columns): out[8r + t] for column r and panel column t.
VANTU_VEC_CLONES void warp_sums1x4(int M, const double* const* f, const double* panel, const double* G, double* out) {
  v4 a0 = splat(0.0), b0 = a0, a1 = a0, b1 = a0, a2 = a0, b2 = a0, a3 = a0, b3 = a0;
  const double *f0 = f[0], *f1 = f[1], *f2 = f[2], *f3 = f[3];
  for (int a = 0; a < M; ++a) {
    const v4 P = loadu(panel + 8L * a), Q = loadu(panel + 8L * a + 4);
    const v4 g = splat(G[4L * a]);
    v4 x = splat(f0[a]);
    a0 = a0 + (x * P) * g;
    b0 = b0 + (x * Q) * g;
    x = splat(f1[a]);
    a1 = a1 + (x * P) * g;
    b1 = b1 + (x * Q) * g;
    x = splat(f2[a]);
    a2 = a2 + (x * P) * g;
    b2 = b2 + (x * Q) * g;
    x = splat(f3[a]);
    a3 = a3 + (x * P) * g;
    b3 = b3 + (x * Q) * g;
  }
  storeu(out, a0);
  storeu(out + 4, b0);
  storeu(out + 8, a1);
  storeu(out + 12, b1);
  storeu(out + 16, a2);
  storeu(out + 20, b2);
  storeu(out + 24, a3);
  storeu(out + 28, b3);
}
VANTU_VEC_CLONES void warp_sums3(int M, const double* fj, const double* panel, const double* G, double* out) {
  warp_sums<3>(M, fj, panel, G, out);
}
VANTU_VEC_CLONES void warp_sums4(int M, const double* fj, const double* panel, const double* G, double* out) {
  warp_sums<4>(M, fj, panel, G, out);
}

}  // namespace

int grouped_spline_groups(const SplineState& sp, const MatchState& ms) {
  const int M = ms.M;
  if (M < 1 || sp.M != M || sp.FI.size() != static_cast<size_t>(M) * M) return 0;
  if (ms.gj_albet.size() < 9 * static_cast<size_t>(M)) return 0;
  bool split12 = true;
  for (int a = 0; a < M; ++a) {
    const double* G = &ms.gj_albet[9 * static_cast<size_t>(a)];
    if (G[1] != 0.0 || G[2] != 0.0 || G[3] != 0.0 || G[6] != 0.0) return 0;
    if (std::memcmp(&G[5], &G[7], sizeof(double)) != 0) return 0;
    if (G[5] != 0.0) split12 = false;
  }
  if (!finite_and_moderate(ms.vij) || !finite_and_moderate(sp.FI)) return 0;
  return split12 ? 3 : 2;
}

void build_grouped_system(SplineState& sp, const MatchState& ms, const ParameterSet& p, int groups, Workers& workers) {
  const int M = ms.M, n = 3 * M + 9;
  GroupedSystem& gs = sp.grouped;
  if (gs.n != n || gs.groups != groups) gs.layout_by_component(n, groups);
  const bool coupled12 = groups == 2;  // components 1 and 2 share a group
  // An isotropic metric has G(0,0) = G(1,1) = G(2,2) in every sum, bit for
  // bit (the sums of the same products d * 1): one warp sum serves all three.
  bool isotropic = groups == 3;
  for (int a = 0; a < M && isotropic; ++a) {
    const double* G = &ms.gj_albet[9 * static_cast<size_t>(a)];
    isotropic = std::memcmp(&G[0], &G[4], sizeof(double)) == 0 && std::memcmp(&G[0], &G[8], sizeof(double)) == 0;
  }
  const double* F = sp.FI.data();
  auto same_group = [&](int q, int d) { return q == d || (q != 0 && d != 0 && coupled12); };

  // Affine block.
  for (int r = 0; r < 9; ++r)
    for (int c = 0; c < 9; ++c)
      if (same_group(r % 3, c % 3)) gs.entry(r, c) = sp.A[static_cast<size_t>(r) * 9 + c];

  // Cross block, as cross_block sums it: (v[pp] * G(q, d)) * FI(a, j).
  const int nt = workers.parts_for(static_cast<long>(M) * M * 15);
  sp.B_group[0].assign(3 * static_cast<size_t>(M), 0.0);
  sp.B_group[1].assign(12 * static_cast<size_t>(M), 0.0);
  double* B0 = sp.B_group[0].data();  // (pp, j): B(3pp, 3j)
  double* B1 = sp.B_group[1].data();  // (2pp+q-1, 2j+d-1): B(3pp+q, 3j+d), q, d in 1..2
  workers.run(nt, [&](int t) {
    const int j0 = part_begin(M, nt, t), j1 = part_begin(M, nt, t + 1);
    for (int a = 0; a < M; ++a) {
      const double* v = &ms.vij[3 * static_cast<size_t>(a)];
      const double* G = &ms.gj_albet[9 * static_cast<size_t>(a)];
      const double* Fa = F + static_cast<long>(a) * M;
      for (int pp = 0; pp < 3; ++pp) {
        const double c00 = v[pp] * G[0], c11 = v[pp] * G[4], c12 = v[pp] * G[5], c21 = v[pp] * G[7],
                     c22 = v[pp] * G[8];
        double* r0 = B0 + static_cast<long>(pp) * M;
        double* r1 = B1 + static_cast<long>(2 * pp) * 2 * M;
        double* r2 = B1 + static_cast<long>(2 * pp + 1) * 2 * M;
        for (int j = j0; j < j1; ++j) {
          const double f = Fa[j];
          r0[j] += c00 * f;
          r1[2 * j] += c11 * f;
          r1[2 * j + 1] += c12 * f;
          r2[2 * j] += c21 * f;
          r2[2 * j + 1] += c22 * f;
        }
      }
    }
  });
  for (int pp = 0; pp < 3; ++pp)
    for (int j = 0; j < M; ++j) {
      const int r = 3 * pp, c = 9 + 3 * j;
      gs.entry(r, c) = gs.entry(c, r) = B0[static_cast<long>(pp) * M + j];
      for (int q = 1; q < 3; ++q)
        for (int d = 1; d < 3; ++d)
          if (same_group(q, d))
            gs.entry(r + q, c + d) = gs.entry(c + d, r + q) =
                B1[static_cast<long>(2 * pp + q - 1) * 2 * M + 2 * j + d - 1];
    }

  // Warp block: packed columns of FI, panels of eight columns, and the four
  // distinct metric sums per control point.
  const int panels = (M + 7) / 8;
  // The kernel stays the same during a run: pack it again only when it is
  // not the one packed last time.
  if (sp.FI_packed != sp.FI) {
    sp.FI_packed = sp.FI;
    sp.FI_cols.resize(static_cast<size_t>(M) * M);
    sp.FI_panels.assign(static_cast<size_t>(panels) * M * 8, 0.0);
    for (int a = 0; a < M; ++a)
      for (int j = 0; j < M; ++j) {
        const double f = F[static_cast<long>(a) * M + j];
        sp.FI_cols[static_cast<long>(j) * M + a] = f;
        sp.FI_panels[(static_cast<long>(j / 8) * M + a) * 8 + j % 8] = f;
      }
  }
  sp.G_packed.resize(4 * static_cast<size_t>(M));
  for (int a = 0; a < M; ++a) {
    const double* G = &ms.gj_albet[9 * static_cast<size_t>(a)];
    double* g = &sp.G_packed[4 * static_cast<size_t>(a)];
    g[0] = G[0];
    g[1] = G[4];
    g[2] = G[5];
    g[3] = G[8];
  }
  const double l1 = p.lambda1;
  // Rows of the upper triangle dealt out in turn: both threads get about the
  // same work. Each (j, k) sum is also the (k, j) sum: the same products of
  // the same kernel values, and G(1, 2) = G(2, 1).
  const int ntw = workers.parts_for(static_cast<long>(M) * M * M / 2);
  if (isotropic) {
    // One sum for the three components; group 0 gets the values, the other
    // groups a copy. Blocks of four rows j, dealt out in turn.
    const int n0 = gs.size[0];
    double* W0 = gs.W[0].data();
    workers.run(ntw, [&](int part) {
      double out[32];
      for (int jb = 4 * part; jb < M; jb += 4 * ntw) {
        const double* f[4];
        for (int r = 0; r < 4; ++r) f[r] = sp.FI_cols.data() + static_cast<long>(std::min(jb + r, M - 1)) * M;
        for (int kc = jb / 8; kc < panels; ++kc) {
          warp_sums1x4(M, f, sp.FI_panels.data() + static_cast<long>(kc) * M * 8, sp.G_packed.data(), out);
          for (int r = 0; r < 4 && jb + r < M; ++r) {
            const int j = jb + r;
            for (int t = 0; t < 8; ++t) {
              const int k = 8 * kc + t;
              if (k < j || k >= M) continue;
              const double c = out[8 * r + t];
              W0[static_cast<long>(3 + j) * n0 + 3 + k] = c + l1 * F[static_cast<long>(j) * M + k];
              W0[static_cast<long>(3 + k) * n0 + 3 + j] = c + l1 * F[static_cast<long>(k) * M + j];
            }
          }
        }
      }
    });
    for (int g = 1; g < 3; ++g)
      for (int r = 3; r < n0; ++r)
        std::memcpy(gs.W[g].data() + static_cast<long>(r) * n0 + 3, W0 + static_cast<long>(r) * n0 + 3,
                    sizeof(double) * static_cast<size_t>(n0 - 3));
  } else {
  workers.run(ntw, [&](int part) {
    double out[32];
    for (int j = part; j < M; j += ntw) {
      for (int kc = j / 8; kc < panels; ++kc) {
        if (coupled12)
          warp_sums4(M, sp.FI_cols.data() + static_cast<long>(j) * M,
                       sp.FI_panels.data() + static_cast<long>(kc) * M * 8, sp.G_packed.data(), out);
        else
          warp_sums3(M, sp.FI_cols.data() + static_cast<long>(j) * M,
                       sp.FI_panels.data() + static_cast<long>(kc) * M * 8, sp.G_packed.data(), out);
        for (int t = 0; t < 8; ++t) {
          const int k = 8 * kc + t;
          if (k < j || k >= M) continue;
          const double fjk = F[static_cast<long>(j) * M + k], fkj = F[static_cast<long>(k) * M + j];
          const int rj = 9 + 3 * j, rk = 9 + 3 * k;
          for (int q = 0; q < 3; ++q) {
            const double c = out[8 * (q == 0 ? 0 : q == 1 ? 1 : 3) + t];
            gs.entry(rj + q, rk + q) = c + l1 * fjk;
            gs.entry(rk + q, rj + q) = c + l1 * fkj;
          }
          if (coupled12) {
            const double c12 = out[16 + t];
            gs.entry(rj + 1, rk + 2) = gs.entry(rj + 2, rk + 1) = gs.entry(rk + 1, rj + 2) =
                gs.entry(rk + 2, rj + 1) = c12;
          }
        }
      }
    }
  });
  }

  // Right-hand side.
  for (int i = 0; i < n; ++i) gs.rhs[gs.group[i]][gs.local[i]] = sp.tpsc[static_cast<size_t>(i)];
}

void tps_update_fast(SplineState& sp, MatchState& ms, const ParameterSet& p, KernelState& ks) {
  const int M = ms.M;
  int groups = 0;
  {
    PhaseTimer timer(ks, kSoftBlocks);
    soft_targets_fast(ms, *ks.workers);
    groups = grouped_spline_groups(sp, ms);
    if (groups == 0) {
      tps_update(sp, ms, p);
      return;
    }
    affine_block(sp, ms, p);
    warp_rhs(sp, ms);
    affine_rhs(sp, ms, p);
    sp.previous_tpsc = sp.tpsc;
    mat_compose(sp.tpsc.data(), 2, 1, {3, M}, {3}, {sp.RD.data(), sp.RW.data()});
    build_grouped_system(sp, ms, p, groups, *ks.workers);
  }
  {
    PhaseTimer timer(ks, kSolve);
    if (!solve_grouped(sp.grouped, sp.tpsc.data(), *ks.workers, &sp.warnings)) sp.tpsc = sp.previous_tpsc;
  }
  PhaseTimer timer(ks, kWarpFiles);
  finish_spline_step(sp, ms);
}

}  // namespace vantu
