#include "matrix/grouped_solve.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <utility>

#include "matrix/kernels.h"
#include "matrix/simple_matrix.h"
#include "matrix/vec4.h"

namespace vantu {

void GroupedSystem::layout_by_component(int order, int group_count) {
  n = order;
  groups = group_count == 3 ? 3 : 2;
  group.assign(static_cast<size_t>(n), 0);
  local.assign(static_cast<size_t>(n), 0);
  for (int& s : size) s = 0;
  for (int i = 0; i < n; ++i) {
    const int g = groups == 3 ? i % 3 : (i % 3 == 0 ? 0 : 1);
    group[i] = g;
    local[i] = size[g]++;
  }
  for (int g = 0; g < groups; ++g) {
    W[g].resize(static_cast<size_t>(size[g]) * size[g]);
    rhs[g].resize(static_cast<size_t>(size[g]));
  }
}

namespace {

// Pivot columns per panel and group at most; a panel holds 32 columns of
// each group of three, or 32 and 16 of two.
constexpr int kPanel = 64;

// The delayed updates of one group after a panel: T steps with their scaled
// pivot rows U (T x width, the trailing columns from col0 on), their
// multipliers NA (T x size, the negated column entries) and masks MK (T x
// size, 1 where the row takes the step's update).
struct TrailingUpdate {
  int T = 0, width = 0, col0 = 0, size = 0;
  const double* U = nullptr;
  const unsigned char* ufull = nullptr;  // per chunk of 8 columns: every |U| > PivotTiny
  double* W = nullptr;
  const double* NA = nullptr;
  const unsigned char* MK = nullptr;
};

template <int R>
inline __attribute__((always_inline)) void update_tile(const TrailingUpdate& a, const int* rows) {
  const int T = a.T, width = a.width;
  double na[R][kPanel];
  bool take[R][kPanel];
  bool all_take = true;
  double* w[R];
  for (int r = 0; r < R; ++r) {
    w[r] = a.W + static_cast<long>(rows[r]) * a.size + a.col0;
    for (int t = 0; t < T; ++t) {
      na[r][t] = a.NA[static_cast<long>(t) * a.size + rows[r]];
      take[r][t] = a.MK[static_cast<long>(t) * a.size + rows[r]] != 0;
      all_take = all_take && take[r][t];
    }
  }
  const v4 tiny = splat(PivotTiny);
  int c = 0;
  for (; c + 8 <= width; c += 8) {
    v4 acc[R][2];
    for (int r = 0; r < R; ++r) {
      acc[r][0] = loadu(w[r] + c);
      acc[r][1] = loadu(w[r] + c + 4);
    }
    if (all_take && a.ufull[c / 8]) {
      for (int t = 0; t < T; ++t) {
        const double* u = a.U + static_cast<long>(t) * width + c;
        const v4 u0 = loadu(u), u1 = loadu(u + 4);
#pragma GCC unroll 4
        for (int r = 0; r < R; ++r) {
          const v4 x = splat(na[r][t]);
          acc[r][0] = acc[r][0] + x * u0;
          acc[r][1] = acc[r][1] + x * u1;
        }
      }
    } else {
      for (int t = 0; t < T; ++t) {
        const double* u = a.U + static_cast<long>(t) * width + c;
        const v4 u0 = loadu(u), u1 = loadu(u + 4);
        const m4 k0 = above(u0, tiny), k1 = above(u1, tiny);
#pragma GCC unroll 4
        for (int r = 0; r < R; ++r) {
          if (!take[r][t]) continue;
          const v4 x = splat(na[r][t]);
          acc[r][0] = k0 ? acc[r][0] + x * u0 : acc[r][0];
          acc[r][1] = k1 ? acc[r][1] + x * u1 : acc[r][1];
        }
      }
    }
    for (int r = 0; r < R; ++r) {
      storeu(w[r] + c, acc[r][0]);
      storeu(w[r] + c + 4, acc[r][1]);
    }
  }
  for (; c < width; ++c)
    for (int r = 0; r < R; ++r) {
      double v = w[r][c];
      for (int t = 0; t < T; ++t) {
        const double u = a.U[static_cast<long>(t) * width + c];
        if (take[r][t] && std::fabs(u) > PivotTiny) v = v + na[r][t] * u;
      }
      w[r][c] = v;
    }
}

VANTU_VEC_CLONES void update_rows(const TrailingUpdate& a, const int* rows, int count) {
  int k = 0;
  for (; k + 4 <= count; k += 4) update_tile<4>(a, rows + k);
  for (; k < count; ++k) update_tile<1>(a, rows + k);
}

// One step inside the panel: records the step's multipliers (na: the
// negated entries of column c; mk: the rows that take the step, all but the
// pivot row p and the rows whose entry is at most PivotTiny) and applies it
// to the w panel columns after c.
VANTU_VEC_CLONES void eager_update(double* W, int ng, int p, int c, int w, double* na, unsigned char* mk) {
  const double* up = W + static_cast<long>(p) * ng + c + 1;
  const v4 tiny = splat(PivotTiny);
  for (int k = 0; k < ng; ++k) {
    const double av = na[k];
    const bool take = k != p && std::fabs(av) > PivotTiny;
    mk[k] = take;
    na[k] = -av;
    if (!take) continue;
    const double x = -av;
    double* wk = W + static_cast<long>(k) * ng + c + 1;
    const v4 xv = splat(x);
    int q = 0;
    for (; q + 4 <= w; q += 4) {
      const v4 uv = loadu(up + q), wv = loadu(wk + q);
      storeu(wk + q, above(uv, tiny) ? wv + xv * uv : wv);
    }
    for (; q < w; ++q)
      if (std::fabs(up[q]) > PivotTiny) wk[q] = wk[q] + x * up[q];
  }
}

// The same step on a right-hand side: scaled pivot entry, then the update of
// every row that takes the step.
void rhs_step(double* b, int ng, int p, double f, const double* na, const unsigned char* mk) {
  if (std::fabs(b[p]) > PivotTiny) b[p] = f * b[p];
  const double bp = b[p];
  if (!(std::fabs(bp) > PivotTiny)) return;
  for (int k = 0; k < ng; ++k)
    if (mk[k]) b[k] += na[k] * bp;
}

struct GroupPanel {
  int lo = 0, hi = 0;  // local columns of the panel
  std::vector<int> pivot;
  std::vector<double> factor;
  std::vector<double> NA;          // kPanel x size
  std::vector<unsigned char> MK;   // kPanel x size
  std::vector<double> U;
  std::vector<unsigned char> ufull;
  std::vector<int> rest;           // rows that are not pivots of the panel
  std::vector<unsigned char> is_pivot;
};

// Applies the panel's steps to the trailing columns of one group.
void trailing_update(GroupedSystem& s, int g, GroupPanel& P, Workers& workers) {
  const int ng = s.size[g], T = static_cast<int>(P.pivot.size());
  const int col0 = P.hi, width = ng - col0;
  if (T == 0 || width <= 0) return;
  double* W = s.W[g].data();
  P.U.resize(static_cast<size_t>(T) * width);
  // The pivot rows in step order: row p_t has taken the steps before t, is
  // scaled, becomes U_t, and then takes the steps after t like any row.
  for (int t = 0; t < T; ++t) {
    double* wp = W + static_cast<long>(P.pivot[t]) * ng + col0;
    scale_masked(wp, P.factor[t], width);
    double* ut = P.U.data() + static_cast<long>(t) * width;
    std::memcpy(ut, wp, sizeof(double) * static_cast<size_t>(width));
    const double* na = P.NA.data() + static_cast<long>(t) * ng;
    const unsigned char* mk = P.MK.data() + static_cast<long>(t) * ng;
    for (int q = 0; q < T; ++q) {
      const int k = P.pivot[q];
      if (q == t || !mk[k]) continue;
      axpy_masked(W + static_cast<long>(k) * ng + col0, ut, na[k], width);
    }
  }
  const int chunks = (width + 7) / 8;
  P.ufull.assign(static_cast<size_t>(chunks), 1);
  for (int t = 0; t < T; ++t) {
    const double* ut = P.U.data() + static_cast<long>(t) * width;
    for (int c = 0; c < width; ++c)
      if (!(std::fabs(ut[c]) > PivotTiny)) P.ufull[c / 8] = 0;
  }
  P.is_pivot.assign(static_cast<size_t>(ng), 0);
  for (int p : P.pivot) P.is_pivot[p] = 1;
  P.rest.clear();
  for (int k = 0; k < ng; ++k)
    if (!P.is_pivot[k]) P.rest.push_back(k);

  TrailingUpdate a;
  a.T = T;
  a.width = width;
  a.col0 = col0;
  a.size = ng;
  a.U = P.U.data();
  a.ufull = P.ufull.data();
  a.W = W;
  a.NA = P.NA.data();
  a.MK = P.MK.data();
  const int count = static_cast<int>(P.rest.size());
  const int* rows = P.rest.data();
  const int nt = workers.parts_for(static_cast<long>(count) * width * T);
  workers.run(nt, [&](int t) {
    const int first = part_begin(count, nt, t);
    update_rows(a, rows + first, part_begin(count, nt, t + 1) - first);
  });
}

}  // namespace

namespace {

enum class Elimination { Solved, Singular, Diverged };

// The elimination in the original column order. With `shared`, the groups'
// matrices are identical and W[0] stands for all of them: the step of a
// column is done once, at group 0, and the other groups only pick their
// pivot (which must be the same row, else the result is Diverged and W[0]
// is spoilt) and update their right-hand sides.
Elimination eliminate(GroupedSystem& s, double* x, Workers& workers, bool shared, SolverWarnings* warnings) {
  const int n = s.n;
  std::vector<int> perm(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) perm[i] = i;
  std::vector<int> pivot_of(static_cast<size_t>(n));
  const int G = s.groups, mats = shared ? 1 : G;
  const int width = G == 3 ? 96 : 48;
  GroupPanel panel[GroupedSystem::kMaxGroups];
  for (int m = 0; m < mats; ++m) {
    panel[m].NA.resize(static_cast<size_t>(kPanel) * s.size[m]);
    panel[m].MK.resize(static_cast<size_t>(kPanel) * s.size[m]);
  }
  for (int i0 = 0; i0 < n; i0 += width) {
    const int i1 = std::min(n, i0 + width);
    for (int m = 0; m < mats; ++m) {
      GroupPanel& P = panel[m];
      P.pivot.clear();
      P.factor.clear();
      P.lo = P.hi = -1;
    }
    for (int i = i0; i < i1; ++i) {
      GroupPanel& P = panel[shared ? 0 : s.group[i]];
      if (P.lo < 0) P.lo = s.local[i];
      P.hi = s.local[i] + 1;
    }

    for (int i = i0; i < i1; ++i) {
      const int g = s.group[i], m = shared ? 0 : g, c = s.local[i], ng = s.size[m];
      GroupPanel& P = panel[m];
      double* W = s.W[m].data();
      const bool first = !shared || g == 0;  // this group does the step on W[m]
      const int t = static_cast<int>(P.pivot.size()) - (first ? 0 : 1);
      double* na = P.NA.data() + static_cast<long>(t) * ng;
      unsigned char* mk = P.MK.data() + static_cast<long>(t) * ng;
      if (first)
        for (int k = 0; k < ng; ++k) na[k] = W[static_cast<long>(k) * ng + c];
      // Column c does not change in its own step: the later groups read the
      // same values (negated by then, the magnitudes are what counts).
      int j = -1;
      for (int q = i; q < n; ++q) {
        const int r = perm[q];
        if (s.group[r] == g && std::fabs(na[s.local[r]]) > PivotTiny) {
          j = q;
          break;
        }
      }
      if (j < 0) {
        SolverWarnings to_stdout;
        (warnings ? *warnings : to_stdout).report_singular();
        return Elimination::Singular;
      }
      const int p = s.local[perm[j]];
      if (!first && p != P.pivot[t]) return Elimination::Diverged;
      std::swap(perm[i], perm[j]);
      pivot_of[i] = perm[i];
      if (first) {
        const double f = 1.0 / W[static_cast<long>(p) * ng + c];
        double* wp = W + static_cast<long>(p) * ng;
        const int w = P.hi - (c + 1);
        scale_masked(wp + c + 1, f, w);
        eager_update(W, ng, p, c, w, na, mk);
        P.pivot.push_back(p);
        P.factor.push_back(f);
      }
      rhs_step(s.rhs[g].data(), ng, p, P.factor[t], na, mk);
    }
    for (int m = 0; m < mats; ++m) trailing_update(s, m, panel[m], workers);
  }
  for (int i = 0; i < n; ++i) {
    const int r = pivot_of[i];
    x[i] = s.rhs[s.group[r]][s.local[r]];
  }
  return Elimination::Solved;
}

}  // namespace

bool solve_grouped(GroupedSystem& s, double* x, Workers& workers, SolverWarnings* warnings) {
  // Identical groups (the isotropic spline system): one elimination for all,
  // as long as they pick the same pivots (which the layouts by component
  // guarantee; it is checked at every column all the same).
  bool identical = s.groups == 3 && s.size[0] == s.size[1] && s.size[0] == s.size[2];
  for (int g = 1; g < s.groups && identical; ++g)
    identical = std::memcmp(s.W[0].data(), s.W[g].data(), sizeof(double) * s.W[0].size()) == 0;
  if (identical) {
    std::vector<double> rhs[GroupedSystem::kMaxGroups];
    for (int g = 0; g < s.groups; ++g) rhs[g] = s.rhs[g];
    const Elimination e = eliminate(s, x, workers, true, warnings);
    if (e != Elimination::Diverged) return e == Elimination::Solved;
    s.W[0] = s.W[1];
    for (int g = 0; g < s.groups; ++g) s.rhs[g] = rhs[g];
  }
  return eliminate(s, x, workers, false, warnings) == Elimination::Solved;
}

double* reverse_grouped(int n, const double* A, double* B, Workers& workers, int groups,
                        SolverWarnings* warnings) {
  GroupedSystem s;
  s.layout_by_component(n, groups);
  for (int r = 0; r < n; ++r)
    for (int c = 0; c < n; ++c) {
      const double v = A[static_cast<long>(r) * n + c];
      if (s.group[r] != s.group[c]) {
        if (!(std::fabs(v) <= PivotTiny)) return reverse(n, 1, A, B, warnings);
      } else {
        s.at(s.group[r], s.local[r], s.local[c]) = v;
      }
    }
  for (int r = 0; r < n; ++r) s.rhs[s.group[r]][s.local[r]] = B[r];
  if (!solve_grouped(s, B, workers, warnings)) return nullptr;
  return B;
}

}  // namespace vantu
