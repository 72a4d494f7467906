// The fast twin of Sinkhorn balancing on full patterns. Per weight it does
// the operations of balance_rows and balance_cols in their order: every row
// sum adds its terms in increasing column order, every column sum in
// increasing row order. A sweep is one pass over the rows, applying the
// column factors of the sweep before on the way. It goes over the full
// levels on one thread (skipping blocks of rows that are all +0), or over
// the live weights only (banded), on one thread or on two that each take a
// share of the columns.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <thread>
#include <vector>

#include "match/match.h"
#include "match/sparse1.h"
#include "matrix/kernels.h"
#include "matrix/simple_matrix.h"
#include "matrix/vec4.h"

namespace vantu {

namespace {

// acc plus the transpose of the 4 x 4 block with rows a, b, c, d, one
// vector at a time: lane 0 adds a[0], a[1], a[2], a[3] in that order, lane 1
// the same of b, and so on. Given four rows over four columns, each lane adds
// its row's values in column order; given four columns over four rows, each
// lane adds its column's values in row order.
inline __attribute__((always_inline)) v4 add_transposed(v4 acc, v4 a, v4 b, v4 c, v4 d) {
  const m4 lo = {0, 4, 2, 6}, hi = {1, 5, 3, 7}, first = {0, 1, 4, 5}, second = {2, 3, 6, 7};
  const v4 t0 = __builtin_shuffle(a, b, lo), t1 = __builtin_shuffle(a, b, hi);
  const v4 t2 = __builtin_shuffle(c, d, lo), t3 = __builtin_shuffle(c, d, hi);
  acc = acc + __builtin_shuffle(t0, t2, first);    // {a[0], b[0], c[0], d[0]}
  acc = acc + __builtin_shuffle(t1, t3, first);    // {a[1], b[1], c[1], d[1]}
  acc = acc + __builtin_shuffle(t0, t2, second);   // {a[2], ...}
  return acc + __builtin_shuffle(t1, t3, second);  // {a[3], ...}
}

// Lane r of the sums of rows i..i+3 of one level over the columns [j0, j1),
// continuing from acc, each E(i+r, j) * cf[j] (or E alone without cf) added
// in increasing j: the four rows are read in blocks of 4 x 4 and transposed
// in registers.
inline __attribute__((always_inline)) v4 four_row_sums(const double* E, long ld, int j0, int j1,
                                                        const double* cf, v4 acc) {
  int j = j0;
  for (; j + 4 <= j1; j += 4) {
    v4 r0 = loadu(E + j), r1 = loadu(E + ld + j), r2 = loadu(E + 2 * ld + j), r3 = loadu(E + 3 * ld + j);
    if (cf) {
      const v4 c = loadu(cf + j);
      r0 = r0 * c;
      r1 = r1 * c;
      r2 = r2 * c;
      r3 = r3 * c;
    }
    acc = add_transposed(acc, r0, r1, r2, r3);  // columns j .. j+3
  }
  for (; j < j1; ++j) {
    v4 col = {E[j], E[ld + j], E[2 * ld + j], E[3 * ld + j]};
    if (cf) col = col * splat(cf[j]);
    acc = acc + col;
  }
  return acc;
}

// four_row_sums from 0.0 over all M columns for the same four rows of three
// levels at once.
inline __attribute__((always_inline)) void three_levels_four_row_sums(const double* E0, const double* E1,
                                                                      const double* E2, int M,
                                                                      const double* cf, v4* out) {
  const double* E[3] = {E0, E1, E2};
  v4 acc[3] = {splat(0.0), splat(0.0), splat(0.0)};
  const long ld = M;
  int j = 0;
  for (; j + 4 <= M; j += 4) {
    const v4 c = cf ? loadu(cf + j) : splat(1.0);
#pragma GCC unroll 3
    for (int l = 0; l < 3; ++l) {
      v4 r0 = loadu(E[l] + j), r1 = loadu(E[l] + ld + j), r2 = loadu(E[l] + 2 * ld + j), r3 = loadu(E[l] + 3 * ld + j);
      if (cf) {
        r0 = r0 * c;
        r1 = r1 * c;
        r2 = r2 * c;
        r3 = r3 * c;
      }
      acc[l] = add_transposed(acc[l], r0, r1, r2, r3);
    }
  }
  for (; j < M; ++j)
    for (int l = 0; l < 3; ++l) {
      v4 col = {E[l][j], E[l][ld + j], E[l][2 * ld + j], E[l][3 * ld + j]};
      if (cf) col = col * splat(cf[j]);
      acc[l] = acc[l] + col;
    }
  for (int l = 0; l < 3; ++l) out[l] = acc[l];
}

// Rows i..i+3 of one level (E points at row i) scaled by cf (when given) and
// then by their factors f[0..3], stored, and added to the column sums in row
// order; the sums stay in registers across the four rows.
inline __attribute__((always_inline)) void scale_four_rows(double* E, int M, const double* cf, const double* f,
                                                           double* sum) {
  const v4 f0 = splat(f[0]), f1 = splat(f[1]), f2 = splat(f[2]), f3 = splat(f[3]);
  double* r0 = E;
  double* r1 = E + M;
  double* r2 = E + 2L * M;
  double* r3 = E + 3L * M;
  int j = 0;
  for (; j + 4 <= M; j += 4) {
    v4 a = loadu(r0 + j), b = loadu(r1 + j), c = loadu(r2 + j), d = loadu(r3 + j);
    if (cf) {
      const v4 k = loadu(cf + j);
      a = a * k;
      b = b * k;
      c = c * k;
      d = d * k;
    }
    a = a * f0;
    b = b * f1;
    c = c * f2;
    d = d * f3;
    storeu(r0 + j, a);
    storeu(r1 + j, b);
    storeu(r2 + j, c);
    storeu(r3 + j, d);
    storeu(sum + j, (((loadu(sum + j) + a) + b) + c) + d);
  }
  for (; j < M; ++j) {
    double* rows[4] = {r0, r1, r2, r3};
    for (int r = 0; r < 4; ++r) {
      const double v = (cf ? rows[r][j] * cf[j] : rows[r][j]) * f[r];
      rows[r][j] = v;
      sum[j] = sum[j] + v;
    }
  }
}

// Blocks of weights that are exactly +0. Every weight is scaled only by row
// and column factors, so a +0 weight stays +0 as long as every factor is +0
// or positive and finite; and a sum that starts at +0 never becomes -0, so a
// +0 term leaves it alone. A block of four rows of a level whose weights are
// all +0 (the split levels before splits are allowed, cells far from every
// other at high Beta) then needs neither its sums nor its scaling: its row
// sums are +0 and its column sums stay +0. A factor that would change a +0
// weight (never seen in a run, but possible with extreme slacks) makes the
// blocks it reaches ordinary blocks again before it is applied, so the
// weights and sums are always those of the full sweep.

// True when f times +0 is +0: f is +0 or positive and finite.
inline bool keeps_zero(double f) {
  uint64_t bits;
  std::memcpy(&bits, &f, sizeof bits);
  return bits < 0x7ff0000000000000ULL;
}

// Per level l and block b of rows 4b .. 4b+3, at [l * blocks + b]: true when
// every weight of the block is +0.
std::vector<char> zero_blocks(const MatchState& ms) {
  const int S = ms.S, K = ms.K, M = ms.M, blocks = (K + 3) / 4;
  std::vector<char> zero(static_cast<size_t>(S) * blocks, 0);
  for (int l = 0; l < S; ++l)
    for (int b = 0; b < blocks; ++b) {
      const double* E = ms.EA[l].data() + 1 + static_cast<long>(4 * b) * M;
      const long n = static_cast<long>(std::min(4, K - 4 * b)) * M;
      long k = 0;
      for (uint64_t bits; k < n; ++k) {
        std::memcpy(&bits, E + k, sizeof bits);
        if (bits != 0) break;
      }
      zero[static_cast<size_t>(l) * blocks + b] = k == n;
    }
  return zero;
}

// One sweep of balancing in one pass over the rows: the sums of the rows
// (scaled by the pending column factors cf first, when given; as sparse_sums
// adds them), the row factors of balance_rows, the rows scaled by cf and by
// their factors and stored, and the column sums of the result accumulated in
// row order, per level, into cs. Everything a row needs is in the row: each
// block of four rows is read once and scaled while it is still in the cache.
// (A zero row total stops the program in dev_invert, as in balance_rows; the
// rows before it are already scaled then, which nothing ever sees.)
// The blocks marked in `zero` (see zero_blocks) are skipped; cf keeps +0
// weights at +0.
// From first_row on (a multiple of 4), the rows before it done and their
// column sums in cs, the sweep finishes a sweep begun by packed_sweep.
VANTU_VEC_CLONES void fused_sweep(MatchState& ms, const double* cf, double* const* cs, char* zero,
                                  int first_row = 0) {
  const int S = ms.S, M = ms.M, K = ms.K, blocks = (K + 3) / 4;
  if (first_row == 0)
    for (int l = 0; l < S; ++l)
      for (int j = 0; j < M; ++j) cs[l][j] = 0.0;
  for (int i0 = first_row; i0 < K; i0 += 4) {
    const int rows = std::min(4, K - i0);
    char* skip = zero + i0 / 4;  // level l at skip[l * blocks]
    // Row sums.
    if (rows == 4 && S == 3 && !skip[0] && !skip[blocks] && !skip[2 * blocks]) {
      // The three levels side by side: three independent chains of sums.
      v4 sum[3];
      three_levels_four_row_sums(ms.EA[0].data() + 1 + static_cast<long>(i0) * M,
                                 ms.EA[1].data() + 1 + static_cast<long>(i0) * M,
                                 ms.EA[2].data() + 1 + static_cast<long>(i0) * M, M, cf, sum);
      for (int l = 0; l < 3; ++l)
        for (int r = 0; r < 4; ++r) ms.rowsum[l][i0 + r] = sum[l][r];
    } else
    for (int l = 0; l < S; ++l) {
      const double* E = ms.EA[l].data() + 1 + static_cast<long>(i0) * M;
      if (skip[l * blocks]) {
        for (int r = 0; r < rows; ++r) ms.rowsum[l][i0 + r] = 0.0;
      } else if (rows == 4) {
        const v4 sum = four_row_sums(E, M, 0, M, cf, splat(0.0));
        for (int r = 0; r < 4; ++r) ms.rowsum[l][i0 + r] = sum[r];
      } else {
        for (int r = 0; r < rows; ++r) {
          const double* row = E + static_cast<long>(r) * M;
          double sum = 0.0;
          if (cf)
            for (int j = 0; j < M; ++j) sum += row[j] * cf[j];
          else
            for (int j = 0; j < M; ++j) sum += row[j];
          ms.rowsum[l][i0 + r] = sum;
        }
      }
    }
    // Row factors and slacks, element by element as balance_rows does them.
    for (int i = i0; i < i0 + rows; ++i) {
      for (int l = 0; l < S; ++l) ms.rowsum[l][i] += ms.vslack[l][i];
      if (S <= 2) {
        for (int l = 0; l < S; ++l) {
          dev_invert(1, &ms.rowsum[l][i], true, 1.0);
          ms.vslack[l][i] *= ms.rowsum[l][i];
        }
      } else {
        split_factors(ms.rowsum[0][i], ms.rowsum[1][i], ms.rowsum[2][i]);
        for (int l = 0; l < 3; ++l) ms.vslack[l][i] *= ms.rowsum[l][i];
      }
      for (int l = 0; l < S; ++l)
        if (!keeps_zero(ms.rowsum[l][i])) skip[l * blocks] = 0;
    }
    // Both scalings, and the column sums in row order.
    if (rows == 4) {
      for (int l = 0; l < S; ++l)
        if (!skip[l * blocks]) scale_four_rows(ms.EA[l].data() + 1 + static_cast<long>(i0) * M, M, cf,
                                                  &ms.rowsum[l][i0], cs[l]);
      continue;
    }
    for (int i = i0; i < i0 + rows; ++i)
      for (int l = 0; l < S; ++l) {
        if (skip[l * blocks]) continue;
        double* row = ms.EA[l].data() + 1 + static_cast<long>(i) * M;
        const double f = ms.rowsum[l][i];
        const v4 fv = splat(f);
        int j = 0;
        double* sum = cs[l];
        if (cf) {
          for (; j + 4 <= M; j += 4) {
            const v4 v = (loadu(row + j) * loadu(cf + j)) * fv;
            storeu(row + j, v);
            storeu(sum + j, loadu(sum + j) + v);
          }
          for (; j < M; ++j) {
            const double v = (row[j] * cf[j]) * f;
            row[j] = v;
            sum[j] = sum[j] + v;
          }
        } else {
          for (; j + 4 <= M; j += 4) {
            const v4 v = loadu(row + j) * fv;
            storeu(row + j, v);
            storeu(sum + j, loadu(sum + j) + v);
          }
          for (; j < M; ++j) {
            const double v = row[j] * f;
            row[j] = v;
            sum[j] = sum[j] + v;
          }
        }
      }
  }
}

VANTU_VEC_CLONES void scale_columns(MatchState& ms, const double* cf, int r0, int r1) {
  const int S = ms.S, M = ms.M;
  for (int l = 0; l < S; ++l) {
    double* E = ms.EA[l].data() + 1;
    for (int i = r0; i < r1; ++i) {
      double* row = E + static_cast<long>(i) * M;
      int j = 0;
      for (; j + 4 <= M; j += 4) storeu(row + j, loadu(row + j) * loadu(cf + j));
      for (; j < M; ++j) row[j] = row[j] * cf[j];
    }
  }
}

// balance_cols on the columns [j0, j1): their sums (sums[l], per level) with
// the slack row into factors (into ms.colsum), the slack row scaled. Returns
// whether every factor keeps +0 weights at +0; dev: the largest deviation.
bool column_factors(MatchState& ms, double* const* sums, int j0, int j1, double& dev) {
  const int S = ms.S, n = j1 - j0;
  double* colsum = ms.colsum.data() + j0;
  for (int j = 0; j < n; ++j) colsum[j] = sums[0][j0 + j];
  for (int l = 1; l < S; ++l) vec_add(n, colsum, sums[l] + j0);
  if (S > 1) std::copy(sums[S - 1] + j0, sums[S - 1] + j1, ms.colbuf.begin() + j0);
  vec_add(n, colsum, ms.hslack.data() + j0);
  dev = dev_invert(n, colsum, true, 1.0);
  vec_mul(n, ms.hslack.data() + j0, colsum);
  return std::all_of(colsum, colsum + n, keeps_zero);
}

// The pending column factors cf onto every weight, the rows split over the
// workers.
void apply_column_factors(MatchState& ms, const double* cf, Workers& workers) {
  const int K = ms.K;
  const int nt = workers.parts_for(static_cast<long>(K) * ms.M * ms.S);
  workers.run(nt, [&](int t) { scale_columns(ms, cf, part_begin(K, nt, t), part_begin(K, nt, t + 1)); });
}

// ---- Banded balancing: the live weights only ----
//
// At high Beta most weights are exact +0 (exp underflows), and they stay +0
// under every factor that keeps_zero; a +0 term leaves a sum that started at
// +0 alone. So a sweep over the other weights only gives the bits of the full
// sweep, as long as each row is still summed in increasing column order and
// each column in increasing row order. The banded layout (match.h) keeps, per
// block of four rows, the columns where any of the four is live: the row
// sums run in the four lanes of one vector, one column factor per entry, and
// the column sums add the four lanes in row order. Neighbouring rows of a
// colony share most of their live columns, so the layout holds 1.1 to 1.3
// entries per live weight (the decision below counts them).

// The share's live weights of every level, in the banded layout.
void pack_share(const MatchState& ms, BalanceShare& sh) {
  const int K = ms.K, M = ms.M, blocks = (K + 3) / 4;
  for (int l = 0; l < ms.S; ++l) {
    BandedLevel& B = sh.level[l];
    const double* E = ms.EA[l].data() + 1;
    const uint64_t* bits = reinterpret_cast<const uint64_t*>(E);
    B.start.assign(static_cast<size_t>(blocks) + 1, 0);
    B.col.clear();
    B.value.clear();
    for (int b = 0; b < blocks; ++b) {
      B.start[b] = static_cast<long>(B.col.size());
      const int rows = std::min(4, K - 4 * b);
      const long row0 = 4L * b * M;
      for (int j = sh.j0; j < sh.j1; ++j) {
        bool live = false;
        for (int r = 0; r < rows; ++r) live = live || bits[row0 + r * M + j] != 0;
        if (!live) continue;
        B.col.push_back(j);
        for (int r = 0; r < 4; ++r) B.value.push_back(r < rows ? E[row0 + r * M + j] : 0.0);
      }
    }
    B.start[blocks] = static_cast<long>(B.col.size());
  }
}

// The share's values back into the levels (the weights it does not hold
// are +0 there).
void unpack_share(MatchState& ms, const BalanceShare& sh) {
  const int K = ms.K, M = ms.M, blocks = (K + 3) / 4;
  for (int l = 0; l < ms.S; ++l) {
    const BandedLevel& B = sh.level[l];
    double* E = ms.EA[l].data() + 1;
    for (int b = 0; b < blocks; ++b) {
      const int rows = std::min(4, K - 4 * b);
      const long row0 = 4L * b * M;
      for (long k = B.start[b]; k < B.start[b + 1]; ++k)
        for (int r = 0; r < rows; ++r) E[row0 + r * M + B.col[k]] = B.value[4 * k + r];
    }
  }
}

// Lane r: the sum of row 4b+r over the block's entries, continuing from acc,
// each weight times cf[column] added in increasing column order.
inline __attribute__((always_inline)) v4 banded_sums(const BandedLevel& B, int b, const double* cf, v4 acc) {
  const double* v = B.value.data();
  const int* c = B.col.data();
  for (long k = B.start[b], end = B.start[b + 1]; k < end; ++k) acc = acc + loadu(v + 4 * k) * splat(cf[c[k]]);
  return acc;
}

// The block's weights times cf[column] and then times their row factors f,
// stored, and added to the column sums in row order (rows: the block's rows
// below K).
inline __attribute__((always_inline)) void banded_scale(BandedLevel& B, int b, const double* cf, v4 f,
                                                        double* sum, int rows) {
  double* v = B.value.data();
  const int* c = B.col.data();
  const long end = B.start[b + 1];
  long k = B.start[b];
  if (rows == 4) {
    // Four entries at a time: the four column sums take the rows in order
    // in the lanes of one vector.
    for (; k + 4 <= end; k += 4) {
      const int j0 = c[k], j1 = c[k + 1], j2 = c[k + 2], j3 = c[k + 3];
      const v4 x0 = (loadu(v + 4 * k) * splat(cf[j0])) * f;
      const v4 x1 = (loadu(v + 4 * k + 4) * splat(cf[j1])) * f;
      const v4 x2 = (loadu(v + 4 * k + 8) * splat(cf[j2])) * f;
      const v4 x3 = (loadu(v + 4 * k + 12) * splat(cf[j3])) * f;
      storeu(v + 4 * k, x0);
      storeu(v + 4 * k + 4, x1);
      storeu(v + 4 * k + 8, x2);
      storeu(v + 4 * k + 12, x3);
      const v4 sums = add_transposed(v4{sum[j0], sum[j1], sum[j2], sum[j3]}, x0, x1, x2, x3);
      sum[j0] = sums[0];
      sum[j1] = sums[1];
      sum[j2] = sums[2];
      sum[j3] = sums[3];
    }
    for (; k < end; ++k) {
      const v4 x = (loadu(v + 4 * k) * splat(cf[c[k]])) * f;
      storeu(v + 4 * k, x);
      double& s = sum[c[k]];
      s = (((s + x[0]) + x[1]) + x[2]) + x[3];
    }
    return;
  }
  for (; k < end; ++k) {
    const v4 x = (loadu(v + 4 * k) * splat(cf[c[k]])) * f;
    storeu(v + 4 * k, x);
    for (int r = 0; r < rows; ++r) sum[c[k]] = sum[c[k]] + x[r];
  }
}

// ---- One balancing on one or two threads ----
//
// Share t takes the columns [j0, j1) of every row; share 0 the first ones.
// Per block of four rows, share 0 sums its columns and hands the partial row
// sums on; the last share continues them over its columns (so every row is
// still summed in increasing column order), computes the row factors as
// balance_rows does and hands them back; each share then scales its columns
// and adds them to its column sums (each column in row order). Share 0 runs
// kLag blocks ahead with its sums. At the end of a sweep each share turns its
// column sums into its column factors as balance_cols does, and the shares
// meet to take the largest deviation of the two.
//
// When a row factor would change a +0 weight (never seen in a run, but
// possible with extreme slacks), a banded balancing stops before that block
// and puts its values back; the dense loop finishes the sweep and the
// balancing. A column factor that would do so ends the banded part after
// the sweep in the same way.

// Lanes r of acc[l] continued by the share's part of the sums of rows
// i0 .. i0+3 of level l (block b = i0 / 4).
VANTU_VEC_CLONES void share_sums(const BalanceShare& sh, int S, int b, const double* cf, v4* acc) {
  if (S != 3) {
    for (int l = 0; l < S; ++l) acc[l] = banded_sums(sh.level[l], b, cf, acc[l]);
    return;
  }
  // The three levels side by side as far as all have entries: three
  // independent chains of sums instead of one.
  const BandedLevel &B0 = sh.level[0], &B1 = sh.level[1], &B2 = sh.level[2];
  const long n0 = B0.start[b + 1] - B0.start[b], n1 = B1.start[b + 1] - B1.start[b],
             n2 = B2.start[b + 1] - B2.start[b];
  const long n = std::min(n0, std::min(n1, n2));
  const double *v0 = B0.value.data() + 4 * B0.start[b], *v1 = B1.value.data() + 4 * B1.start[b],
               *v2 = B2.value.data() + 4 * B2.start[b];
  const int *c0 = B0.col.data() + B0.start[b], *c1 = B1.col.data() + B1.start[b], *c2 = B2.col.data() + B2.start[b];
  v4 a0 = acc[0], a1 = acc[1], a2 = acc[2];
  for (long k = 0; k < n; ++k) {
    a0 = a0 + loadu(v0 + 4 * k) * splat(cf[c0[k]]);
    a1 = a1 + loadu(v1 + 4 * k) * splat(cf[c1[k]]);
    a2 = a2 + loadu(v2 + 4 * k) * splat(cf[c2[k]]);
  }
  for (long k = n; k < n0; ++k) a0 = a0 + loadu(v0 + 4 * k) * splat(cf[c0[k]]);
  for (long k = n; k < n1; ++k) a1 = a1 + loadu(v1 + 4 * k) * splat(cf[c1[k]]);
  for (long k = n; k < n2; ++k) a2 = a2 + loadu(v2 + 4 * k) * splat(cf[c2[k]]);
  acc[0] = a0;
  acc[1] = a1;
  acc[2] = a2;
}

// The share's weights of block b scaled by cf and by the row factors f12
// (level l at f12[4l .. 4l+3]) and added to the column sums cs[l].
VANTU_VEC_CLONES void share_scale(BalanceShare& sh, int S, int b, int rows, const double* cf, const double* f12,
                                  double* const* cs) {
  for (int l = 0; l < S; ++l) banded_scale(sh.level[l], b, cf, loadu(f12 + 4 * l), cs[l], rows);
}

// Share 0 runs this many blocks ahead of the last share with its sums.
constexpr int kLag = 16;
// A balancing runs on two threads when its banded entries times this reach
// the workers' min_split: a balancing is up to hundreds of sweeps.
constexpr long kSplitWeight = 16;

struct SplitBalance {
  MatchState& ms;
  const ParameterSet& p;
  int parts = 1;
  double* cs[2][3] = {};  // per share, the column sums of its columns (apart:
                          // the shares write them at the same time)
  const double* ones = nullptr;
  std::vector<double> partial;  // 12 doubles per block: share 0's part of the row sums
  std::vector<double> factors;  // 12 doubles per block: the row factors, level l at 4 l
  // Each counter on a cache line of its own: the shares write them in turns.
  alignas(64) std::atomic<long> partial_done{0};  // blocks handed on by share 0, counted over all sweeps
  alignas(64) std::atomic<long> factors_done{0};  // blocks whose factors the last share has set
  alignas(64) std::atomic<long> stopped_at{-1};   // block (over all sweeps) whose factors would change a +0
  alignas(64) std::atomic<int> arrivals{0};       // shares at the ends of sweeps
  alignas(64) double dev_part[2][2] = {};         // [sweep parity][share]
  bool keeps_part[2][2] = {};

  // Results for the caller.
  int sweeps = 0;
  double dev = 0.0;
  int stop_row = -1;          // a row factor would change a +0 weight: the sweep stopped before this row
  bool columns_stop = false;  // a column factor would change a +0 weight

  SplitBalance(MatchState& m, const ParameterSet& prm) : ms(m), p(prm) {}
  void run_share(int t);

 private:
  bool row_factors(int i0, int rows, const v4* sum);
};

template <typename Ready>
inline void wait_until(Ready ready) {
  for (int n = 0; !ready(); ++n) {
    if (n < 4000)
      __builtin_ia32_pause();
    else
      std::this_thread::yield();
  }
}

// The row factors of rows i0 .. i0+rows-1 from their sums, as balance_rows
// computes them, into rowsum. Returns whether every factor keeps +0 weights
// at +0; only then do the slacks follow.
bool SplitBalance::row_factors(int i0, int rows, const v4* sum) {
  const int S = ms.S;
  bool keeps = true;
  for (int r = 0; r < rows; ++r) {
    const int i = i0 + r;
    for (int l = 0; l < S; ++l) ms.rowsum[l][i] = sum[l][r] + ms.vslack[l][i];
    if (S <= 2)
      for (int l = 0; l < S; ++l) dev_invert(1, &ms.rowsum[l][i], true, 1.0);
    else
      split_factors(ms.rowsum[0][i], ms.rowsum[1][i], ms.rowsum[2][i]);
    for (int l = 0; l < S; ++l) keeps = keeps && keeps_zero(ms.rowsum[l][i]);
  }
  if (!keeps) return false;
  for (int r = 0; r < rows; ++r)
    for (int l = 0; l < S; ++l) ms.vslack[l][i0 + r] *= ms.rowsum[l][i0 + r];
  return true;
}

void SplitBalance::run_share(int t) {
  const int S = ms.S, K = ms.K, blocks = (K + 3) / 4;
  const bool first = t == 0, last = t == parts - 1;
  BalanceShare& sh = ms.share[t];
  pack_share(ms, sh);
  const double* cf = ones;  // column factors not yet applied (x * 1 is x)
  double* const* sums = cs[t];
  long partial_seen = 0, factors_seen = 0;  // the counters as last read
  for (int sweep = 0;; ++sweep) {
    const long g0 = static_cast<long>(sweep) * blocks;  // the sweep's first block over all sweeps
    for (int l = 0; l < S; ++l) std::fill(sums[l] + sh.j0, sums[l] + sh.j1, 0.0);
    int scaled = 0;  // blocks this share has scaled in this sweep
    bool stop = false;
    // Share 0 scales block b once its factors are set; false when the last
    // share stopped before them.
    auto scale_when_ready = [&](int b) {
      if (factors_seen <= g0 + b) {
        wait_until([&]() {
          factors_seen = factors_done.load(std::memory_order_acquire);
          return factors_seen > g0 + b || stopped_at.load(std::memory_order_acquire) >= 0;
        });
        factors_seen = factors_done.load(std::memory_order_acquire);
        if (factors_seen <= g0 + b) return false;
      }
      if (factors_seen > g0 + b + 2) __builtin_prefetch(&factors[12L * (b + 2)]);
      share_scale(sh, S, b, std::min(4, K - 4 * b), cf, &factors[12L * b], sums);
      return true;
    };
    for (int b = 0; b < blocks && !stop; ++b) {
      const int i0 = 4 * b, rows = std::min(4, K - i0);
      v4 acc[3] = {splat(0.0), splat(0.0), splat(0.0)};
      if (!first) {
        if (partial_seen <= g0 + b)
          wait_until([&]() { return (partial_seen = partial_done.load(std::memory_order_acquire)) > g0 + b; });
        for (int l = 0; l < S; ++l) acc[l] = loadu(&partial[12L * b + 4 * l]);
        if (partial_seen > g0 + b + 2) __builtin_prefetch(&partial[12L * (b + 2)]);
      }
      share_sums(sh, S, b, cf, acc);
      if (!last) {
        for (int l = 0; l < S; ++l) storeu(&partial[12L * b + 4 * l], acc[l]);
        partial_done.store(g0 + b + 1, std::memory_order_release);
        // Scale the blocks whose factors are set; wait for them only when
        // kLag blocks behind.
        while (scaled <= b && !stop) {
          if (factors_seen <= g0 + scaled) factors_seen = factors_done.load(std::memory_order_acquire);
          if (factors_seen <= g0 + scaled && scaled + kLag > b) break;
          stop = !scale_when_ready(scaled);
          scaled += !stop;
        }
        continue;
      }
      if (!row_factors(i0, rows, acc)) {
        stopped_at.store(g0 + b, std::memory_order_release);
        stop_row = i0;
        stop = true;
        break;
      }
      double* f12 = &factors[12L * b];
      for (int l = 0; l < S; ++l)
        for (int r = 0; r < 4; ++r) f12[4 * l + r] = r < rows ? ms.rowsum[l][i0 + r] : 0.0;
      factors_done.store(g0 + b + 1, std::memory_order_release);
      share_scale(sh, S, b, rows, cf, f12, sums);
      ++scaled;
    }
    for (int b = scaled; b < blocks && !stop && !last; ++b) stop = !scale_when_ready(b);
    if (stop) break;
    // The end of the sweep: the column factors, and the largest deviation
    // of the shares.
    double dev_share;
    const bool keeps = column_factors(ms, sums, sh.j0, sh.j1, dev_share);
    cf = ms.colsum.data();
    const int parity = sweep & 1;
    dev_part[parity][t] = dev_share;
    keeps_part[parity][t] = keeps;
    if (parts > 1) {
      arrivals.fetch_add(1, std::memory_order_acq_rel);
      wait_until([&]() { return arrivals.load(std::memory_order_acquire) >= parts * (sweep + 1); });
    }
    double d = dev_part[parity][0];
    bool all_keep = keeps_part[parity][0];
    for (int u = 1; u < parts; ++u) {
      if (dev_part[parity][u] > d) d = dev_part[parity][u];
      all_keep = all_keep && keeps_part[parity][u];
    }
    if (last) {
      sweeps = sweep + 1;
      dev = d;
      columns_stop = !all_keep;
    }
    if (!all_keep) break;
    if (!(d > p.norm_cut && sweep + 1 < p.MaxSweeps)) {
      // The last column factors go onto the weights.
      for (int l = 0; l < S; ++l) {
        BandedLevel& B = sh.level[l];
        for (size_t k = 0; k < B.col.size(); ++k)
          storeu(&B.value[4 * k], loadu(&B.value[4 * k]) * splat(cf[B.col[k]]));
      }
      break;
    }
  }
  unpack_share(ms, sh);
}

// The full sweep from row first_row on and the sweeps after it, on one
// thread, until the balancing ends; then the pending column factors cf go
// onto the weights. sweeps: the sweeps done before.
double dense_balancing(MatchState& ms, const ParameterSet& p, Workers& workers, const double* cf,
                       double* const* cs, std::vector<char>& zero, int sweeps, int first_row) {
  double dev;
  do {
    fused_sweep(ms, cf, cs, zero.data(), first_row);
    first_row = 0;
    if (!column_factors(ms, cs, 0, ms.M, dev)) std::fill(zero.begin(), zero.end(), 0);
    cf = ms.colsum.data();
    ++sweeps;
  } while (dev > p.norm_cut && sweeps < p.MaxSweeps);
  apply_column_factors(ms, cf, workers);
  return dev;
}

// The work of a sweep, counted on every stride-th block of four rows: per
// column, the entries of the banded layout there (4 per block and level
// where any of the block's rows is live); and the weights the full sweep
// goes through (4 M per block and level that is not all +0).
struct SweepWork {
  std::vector<long> per_col;
  long banded = 0, full = 0;
};

SweepWork sweep_work(const MatchState& ms, int stride) {
  const int K = ms.K, M = ms.M, blocks = (K + 3) / 4;
  SweepWork w;
  w.per_col.assign(static_cast<size_t>(M), 0);
  for (int l = 0; l < ms.S; ++l) {
    const uint64_t* bits = reinterpret_cast<const uint64_t*>(ms.EA[l].data() + 1);
    for (int b = 0; b < blocks; b += stride) {
      const int rows = std::min(4, K - 4 * b);
      const uint64_t* row = bits + 4L * b * M;
      long n = 0;
      for (int j = 0; j < M; ++j) {
        uint64_t any = 0;
        for (int r = 0; r < rows; ++r) any |= row[static_cast<long>(r) * M + j];
        const long e = any != 0 ? 4 : 0;
        w.per_col[j] += e;
        n += e;
      }
      w.banded += n;
      if (n > 0) w.full += 4L * M;
    }
  }
  return w;
}

}  // namespace

double sinkhorn_fast(MatchState& ms, const ParameterSet& p, Workers& workers) {
  if (!full_patterns(ms)) return sinkhorn(ms, p);
  alloc_balance_work(ms);
  const int S = ms.S, K = ms.K, M = ms.M, blocks = (K + 3) / 4;
  std::vector<double> colsums[3];
  double* cs[3] = {};
  for (int l = 0; l < S; ++l) {
    colsums[l].assign(static_cast<size_t>(M), 0.0);
    cs[l] = colsums[l].data();
  }
  // Banded when its entries (counted on a sample of the blocks) are few
  // enough against the weights of the full sweep; on two threads when there
  // are two and enough work, the columns split where the entries halve.
  const int stride = blocks >= 64 ? 4 : 1;
  const SweepWork work = sweep_work(ms, stride);
  const bool two = workers.count() >= 2 && workers.parts_for(kSplitWeight * work.banded * stride) >= 2 && M >= 8;
  const double share = two ? ms.banded_share_split : ms.banded_share;
  std::vector<char> zero;
  if (static_cast<double>(work.banded) > share * static_cast<double>(work.full)) {
    zero = zero_blocks(ms);
    return dense_balancing(ms, p, workers, nullptr, cs, zero, 0, 0);
  }
  const int parts = two ? 2 : 1;
  int split = M;
  if (parts == 2) {
    long below = 0;
    for (split = 0; split < M - 1 && 2 * below < work.banded; ++split) below += work.per_col[split];
    split = std::max(1, std::min(M - 1, split));
  }
  ms.share[0].j0 = 0;
  ms.share[0].j1 = split;
  ms.share[1].j0 = split;
  ms.share[1].j1 = M;
  std::vector<double> ones(static_cast<size_t>(M), 1.0), second_sums[3];
  SplitBalance run(ms, p);
  run.parts = parts;
  for (int l = 0; l < S; ++l) {
    if (parts == 2) second_sums[l].assign(static_cast<size_t>(M), 0.0);
    run.cs[0][l] = cs[l];
    run.cs[1][l] = parts == 2 ? second_sums[l].data() : cs[l];
  }
  run.ones = ones.data();
  run.partial.assign(12 * static_cast<size_t>(blocks), 0.0);
  run.factors.assign(12 * static_cast<size_t>(blocks), 0.0);
  workers.run(parts, [&](int t) { run.run_share(t); });
  if (run.stop_row < 0 && !run.columns_stop) return run.dev;
  // A factor would change a +0 weight: the rest on the full levels (the
  // banded values are back in them), with every block swept.
  if (parts == 2)
    for (int l = 0; l < S; ++l) std::copy(second_sums[l].begin() + split, second_sums[l].end(), cs[l] + split);
  zero.assign(static_cast<size_t>(S) * blocks, 0);
  if (run.stop_row >= 0)
    return dense_balancing(ms, p, workers, run.sweeps > 0 ? ms.colsum.data() : nullptr, cs, zero, run.sweeps,
                           run.stop_row);
  if (run.dev > p.norm_cut && run.sweeps < p.MaxSweeps)
    return dense_balancing(ms, p, workers, ms.colsum.data(), cs, zero, run.sweeps, 0);
  apply_column_factors(ms, ms.colsum.data(), workers);
  return run.dev;
}

}  // namespace vantu
