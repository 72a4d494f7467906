// The fast twins of benefits, soft targets and decisions on full patterns
// (balancing: sinkhorn_fast.cpp). Per element they do the operations of the
// plain stages in the same order; the loops are plain indexed loops instead
// of the lockstep walk, passes are fused where the data allow it, and work
// is split across threads only along independent sums.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "match/match.h"
#include "match/sparse1.h"
#include "matrix/kernels.h"
#include "matrix/simple_matrix.h"
#include "matrix/vec4.h"

namespace vantu {

bool full_patterns(const MatchState& ms) {
  if (ms.sparse_eps > 0.0 || ms.S < 1 || ms.S > 3 || ms.K < 1 || ms.M < 1) return false;
  for (int l = 0; l < ms.S; ++l) {
    const std::vector<int>& c = ms.cntr[l];
    if (c.size() < 3 || c[0] != ms.K || c[1] != ms.M || c[2] != ms.K) return false;
    if (c.size() < 3 * static_cast<size_t>(ms.K) + 3) return false;
    if (ms.EA[l].size() < static_cast<size_t>(ms.K) * ms.M + 1) return false;
    for (int r = 1; r <= ms.K; ++r)
      if (c[3 * r] != r - 1 || c[3 * r + 1] != 0 || c[3 * r + 2] != ms.M - 1) return false;
  }
  return true;
}

namespace {

// metric_benefit(ms, (1, px, py), (1, wx[j], wy[j]), i, p) for j < M, lane by
// lane with the same operations.
VANTU_VEC_CLONES void benefit_row(int M, double px, double py, const double* Sm, double TH, double rEvar,
                                  const double* wx, const double* wy, double* out) {
  const v4 x = splat(px), y = splat(py), s4 = splat(Sm[4]), s5 = splat(Sm[5]), s7 = splat(Sm[7]),
           s8 = splat(Sm[8]), th = splat(TH), re = splat(rEvar);
  int j = 0;
  for (; j + 4 <= M; j += 4) {
    const v4 dx = x - loadu(wx + j), dy = y - loadu(wy + j);
    const v4 dist = dx * (s4 * dx + s5 * dy) + dy * (s7 * dx + s8 * dy);
    storeu(out + j, th - re * dist);
  }
  for (; j < M; ++j) {
    const double dx = px - wx[j], dy = py - wy[j];
    const double dist = dx * (Sm[4] * dx + Sm[5] * dy) + dy * (Sm[7] * dx + Sm[8] * dy);
    out[j] = TH - rEvar * dist;
  }
}

// The maxima of benefit_maxima over one row of benefits Q: v = max(Beta*Q, 0)
// into the row maximum and the column maxima cm. Exact maxima (v is never
// NaN), so the order does not matter.
VANTU_VEC_CLONES double row_maxima(int M, double Beta, const double* Q, double rm, double* cm) {
  const v4 b = splat(Beta), zero = splat(0.0);
  v4 r = splat(rm);
  int j = 0;
  for (; j + 4 <= M; j += 4) {
    const v4 u = b * loadu(Q + j);
    const v4 v = u > zero ? u : zero;
    r = v > r ? v : r;
    const v4 c = loadu(cm + j);
    storeu(cm + j, v > c ? v : c);
  }
  for (int k = 0; k < 4; ++k)
    if (r[k] > rm) rm = r[k];
  for (; j < M; ++j) {
    const double u = Beta * Q[j];
    const double v = u > 0 ? u : 0.0;
    if (v > rm) rm = v;
    if (v > cm[j]) cm[j] = v;
  }
  return rm;
}

// std::exp, where an argument below -746 gives +0 (exp underflows to +0
// well before; the library takes a slow path there).
inline double exp_or_zero(double x) { return x < -746.0 ? 0.0 : std::exp(x); }

}  // namespace

void update_benefits_fast(MatchState& ms, const ParameterSet& p, double Beta, double split_offset, Workers& workers) {
  if (!full_patterns(ms)) return update_benefits(ms, p, Beta, split_offset);
  const int S = ms.S, K = ms.K, M = ms.M;
  const int nt = workers.parts_for(static_cast<long>(K) * M * S * 8);
  const bool first_call = ms.benefit_calls == 0;
  const bool drop = p.drop_below > 0;
  const double cut_exponent = dropped_exponent(p);
  std::vector<double> wx(static_cast<size_t>(M)), wy(static_cast<size_t>(M));
  for (int j = 0; j < M; ++j) {
    wx[j] = ms.warped_points[3 * static_cast<size_t>(j) + 1];
    wy[j] = ms.warped_points[3 * static_cast<size_t>(j) + 2];
  }
  auto benefits_of = [&](int l, int i, double* Q) {
    const double* pi = &ms.level_points[l][3 * static_cast<size_t>(i)];
    benefit_row(M, pi[1], pi[2], &ms.row_metric[9 * static_cast<size_t>(i)], p.TH, p.rEvar, wx.data(), wy.data(), Q);
  };
  if (!first_call) {
    // benefit_maxima: per-row maxima by rows; the column maxima are exact
    // maxima, so partial maxima per thread combine to the same values.
    for (int l = 0; l < S; ++l) {
      ms.row_max[l].resize(static_cast<size_t>(K));
      mat_fill(K, ms.row_max[l].data(), -1e10);
    }
    ms.col_max.resize(static_cast<size_t>(M));
    mat_fill(M, ms.col_max.data(), -1e10);
    std::vector<double> part(static_cast<size_t>(nt) * M, -1e10);
    workers.run(nt, [&](int t) {
      double* cm = part.data() + static_cast<long>(t) * M;
      std::vector<double> Q(static_cast<size_t>(M));
      for (int i = part_begin(K, nt, t); i < part_begin(K, nt, t + 1); ++i)
        for (int l = 0; l < S; ++l) {
          benefits_of(l, i, Q.data());
          ms.row_max[l][i] = row_maxima(M, Beta, Q.data(), ms.row_max[l][i], cm);
        }
    });
    for (int t = 0; t < nt; ++t)
      for (int j = 0; j < M; ++j) {
        const double v = part[static_cast<size_t>(t) * M + j];
        if (v > ms.col_max[j]) ms.col_max[j] = v;
      }
  }
  if (first_call || Beta > 0) {
    workers.run(nt, [&](int t) {
      std::vector<double> Q(static_cast<size_t>(M));
      for (int i = part_begin(K, nt, t); i < part_begin(K, nt, t + 1); ++i)
        for (int l = 0; l < S; ++l) {
          double* row = ms.EA[l].data() + 1 + static_cast<long>(i) * M;
          benefits_of(l, i, Q.data());
          if (l >= 1)
            for (int j = 0; j < M; ++j) Q[j] = Q[j] + (split_offset - p.TH);
          if (drop) {
            const double rm = first_call ? 0.0 : ms.row_max[l][i];
            for (int j = 0; j < M; ++j) {
              const double bq = Beta * Q[j];
              row[j] = bq < cut_exponent ? 0.0 : first_call ? exp_or_zero(bq) : exp_or_zero(bq - 0.5 * (rm + ms.col_max[j]));
            }
          } else if (first_call) {
            for (int j = 0; j < M; ++j) row[j] = exp_or_zero(Beta * Q[j]);
          } else {
            const double rm = ms.row_max[l][i];
            for (int j = 0; j < M; ++j) row[j] = exp_or_zero(Beta * Q[j] - 0.5 * (rm + ms.col_max[j]));
          }
        }
    });
  }
  if (!first_call && Beta > 0) {
    for (int l = 0; l < S; ++l)
      for (int i = 0; i < K; ++i) ms.vslack[l][i] = std::exp(-0.5 * ms.row_max[l][i]);
    for (int j = 0; j < M; ++j) ms.hslack[j] = std::exp(-0.5 * ms.col_max[j]);
  }
  ++ms.benefit_calls;
}

void soft_targets_fast(MatchState& ms, Workers& workers) {
  if (!full_patterns(ms)) return soft_targets(ms);
  const int S = ms.S, K = ms.K, M = ms.M;
  const int nt = workers.parts_for(static_cast<long>(K) * M * 8);
  mat_zeros(3 * M, ms.soft_target.data());
  mat_zeros(9 * M, ms.gj_albet.data());
  // With finite points and metrics, a pair whose weights are all zero adds
  // only zeros to sums that started at +0 (so are never -0): it changes no
  // bit and is skipped. At high Beta that is most pairs.
  bool skip_zeros = std::all_of(ms.row_metric.begin(), ms.row_metric.begin() + 9L * K,
                                [](double x) { return std::isfinite(x); });
  for (int l = 0; l < S; ++l)
    skip_zeros = skip_zeros && std::all_of(ms.level_points[l].begin(), ms.level_points[l].begin() + 3L * K,
                                           [](double x) { return std::isfinite(x); });
  // Every column j sums over the rows in increasing order: split by columns.
  workers.run(nt, [&](int t) {
    const int j0 = part_begin(M, nt, t), j1 = part_begin(M, nt, t + 1);
    for (int i = 0; i < K; ++i) {
      const double* p0 = &ms.level_points[0][3 * static_cast<size_t>(i)];
      const double* p1 = &ms.level_points[1][3 * static_cast<size_t>(i)];
      const double* p2 = &ms.level_points[2][3 * static_cast<size_t>(i)];
      const double* Sm = &ms.row_metric[9 * static_cast<size_t>(i)];
      const double* e0 = ms.EA[0].data() + 1 + static_cast<long>(i) * M;
      const double* e1 = S >= 2 ? ms.EA[1].data() + 1 + static_cast<long>(i) * M : nullptr;
      const double* e2 = S >= 3 ? ms.EA[2].data() + 1 + static_cast<long>(i) * M : nullptr;
      for (int j = j0; j < j1; ++j) {
        double P[3], d;
        if (skip_zeros && e0[j] == 0.0 && (S < 2 || e1[j] == 0.0) && (S < 3 || e2[j] == 0.0)) continue;
        if (S == 1) {
          const double v0 = e0[j];
          for (int k = 0; k < 3; ++k) P[k] = v0 * p0[k];
          d = v0;
        } else if (S == 2) {
          const double v0 = e0[j], v1 = e1[j];
          for (int k = 0; k < 3; ++k) P[k] = v0 * p0[k] + v1 * p1[k];
          d = v0 + v1;
        } else {
          const double v0 = e0[j], v1 = e1[j], v2 = e2[j];
          for (int k = 0; k < 3; ++k) P[k] = v0 * p0[k] + v1 * p1[k] + v2 * p2[k];
          d = v0 + v1 + v2;
        }
        double* Y = &ms.soft_target[3 * static_cast<size_t>(j)];
        double* W = &ms.gj_albet[9 * static_cast<size_t>(j)];
        for (int k = 0; k < 3; ++k) Y[k] += Sm[3 * k] * P[0] + Sm[3 * k + 1] * P[1] + Sm[3 * k + 2] * P[2];
        for (int e = 0; e < 9; ++e) W[e] += d * Sm[e];
      }
    }
  });
}

void decide_matches_fast(MatchState& ms, const ParameterSet& p, int l) {
  if (!full_patterns(ms) || l >= ms.S) return decide_matches(ms, p, l);
  ms.match_count = 0;
  if (l == 0 || ms.matched_id[0].empty()) clear_matches(ms);
  const int K = ms.K, M = ms.M;
  const double thr = p.match_threshold;
  int* ids = ms.matched_id[l].data();
  int* rows = ms.matched_row[l].data();
  for (int i = 0; i < K; ++i) {
    const double* row = ms.EA[l].data() + 1 + static_cast<long>(i) * M;
    int id = 0;
    bool have_id = false;
    for (int j = 0; j < M; ++j)
      if (row[j] > thr) {
        ++ms.match_count;
        if (!have_id) {
          id = round_to_int(ms.first_id[i]);
          have_id = true;
        }
        ids[j] = id;
        rows[j] = i;
      }
  }
}

}  // namespace vantu
