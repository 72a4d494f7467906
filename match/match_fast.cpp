// The fast twins of balancing, benefits, soft targets and decisions on full
// patterns. Per element they do the operations of the plain stages in the
// same order; the loops are plain indexed loops instead of the lockstep walk,
// passes are fused where the data allow it, and work is split across threads
// only along independent sums.
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

namespace {

// Lane r of the sums of rows i..i+3 of one level over the columns [j0, j1),
// continuing from acc, each E(i+r, j) * cf[j] (or E alone without cf) added
// in increasing j: the four rows are read in blocks of 4 x 4 and transposed
// in registers.
inline __attribute__((always_inline)) v4 four_row_sums(const double* E, long ld, int j0, int j1,
                                                        const double* cf, v4 acc) {
  const m4 lo = {0, 4, 2, 6}, hi = {1, 5, 3, 7}, first = {0, 1, 4, 5}, second = {2, 3, 6, 7};
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
    const v4 t0 = __builtin_shuffle(r0, r1, lo), t1 = __builtin_shuffle(r0, r1, hi);
    const v4 t2 = __builtin_shuffle(r2, r3, lo), t3 = __builtin_shuffle(r2, r3, hi);
    acc = acc + __builtin_shuffle(t0, t2, first);   // column j
    acc = acc + __builtin_shuffle(t1, t3, first);   // j + 1
    acc = acc + __builtin_shuffle(t0, t2, second);  // j + 2
    acc = acc + __builtin_shuffle(t1, t3, second);  // j + 3
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
  const m4 lo = {0, 4, 2, 6}, hi = {1, 5, 3, 7}, first = {0, 1, 4, 5}, second = {2, 3, 6, 7};
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
      const v4 t0 = __builtin_shuffle(r0, r1, lo), t1 = __builtin_shuffle(r0, r1, hi);
      const v4 t2 = __builtin_shuffle(r2, r3, lo), t3 = __builtin_shuffle(r2, r3, hi);
      acc[l] = acc[l] + __builtin_shuffle(t0, t2, first);
      acc[l] = acc[l] + __builtin_shuffle(t1, t3, first);
      acc[l] = acc[l] + __builtin_shuffle(t0, t2, second);
      acc[l] = acc[l] + __builtin_shuffle(t1, t3, second);
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

// ---- Balancing over the weights that are not +0 ----
//
// At high Beta most weights are exact +0 (exp underflows), and they stay +0
// under every factor that keeps_zero; a +0 term leaves a sum that started at
// +0 alone. So a sweep over the other weights only, packed by rows, with each
// row still summed in increasing column order and each column in increasing
// row order, gives the bits of the full sweep. The packed values are the
// live ones during the balancing and are put back into the levels at its end,
// or as soon as a factor would change a +0 weight: the rest of the balancing
// then takes the full sweep.

// Weights whose bits are not +0 among E[0 .. n-1].
VANTU_VEC_CLONES long count_live(const double* E, long n) {
  const uint64_t* bits = reinterpret_cast<const uint64_t*>(E);
  long live = 0;
  for (long k = 0; k < n; ++k) live += bits[k] != 0;
  return live;
}

long live_weights(const MatchState& ms) {
  long live = 0;
  for (int l = 0; l < ms.S; ++l) live += count_live(ms.EA[l].data() + 1, static_cast<long>(ms.K) * ms.M);
  return live;
}

void pack_levels(MatchState& ms) {
  const int K = ms.K, M = ms.M, blocks = (K + 3) / 4;
  for (int l = 0; l < ms.S; ++l) {
    PackedLevel& P = ms.packed[l];
    const double* E = ms.EA[l].data() + 1;
    const uint64_t* bits = reinterpret_cast<const uint64_t*>(E);
    P.len.assign(static_cast<size_t>(blocks) * 4, 0);
    P.start.resize(static_cast<size_t>(blocks) + 1);
    long size = 0;
    for (int i = 0; i < K; ++i) {
      const long row = static_cast<long>(i) * M;
      int n = 0;
      for (int j = 0; j < M; ++j) n += bits[row + j] != 0;
      P.len[i] = n;
    }
    for (int b = 0; b < blocks; ++b) {
      P.start[b] = size;
      size += 4L * *std::max_element(P.len.begin() + 4 * b, P.len.begin() + 4 * b + 4);
    }
    P.start[blocks] = size;
    P.value.assign(static_cast<size_t>(size), 0.0);
    P.col.assign(static_cast<size_t>(size), 0);
    for (int i = 0; i < K; ++i) {
      const long row = static_cast<long>(i) * M;
      long at = P.start[i / 4] + i % 4;
      for (int j = 0; j < M; ++j)
        if (bits[row + j] != 0) {
          P.value[at] = E[row + j];
          P.col[at] = j;
          at += 4;
        }
    }
  }
}

// The packed values back into the levels (the +0 weights are +0 there).
void unpack_levels(MatchState& ms) {
  const int K = ms.K, M = ms.M;
  for (int l = 0; l < ms.S; ++l) {
    const PackedLevel& P = ms.packed[l];
    double* E = ms.EA[l].data() + 1;
    for (int i = 0; i < K; ++i) {
      double* row = E + static_cast<long>(i) * M;
      const double* v = P.value.data() + P.start[i / 4] + i % 4;
      const int* c = P.col.data() + P.start[i / 4] + i % 4;
      for (int k = 0; k < P.len[i]; ++k) row[c[4 * k]] = v[4 * k];
    }
  }
}

// Block b of a packed level: every value times cf[column] into t (a padding
// +0 gives +0), and in lane r of the result the sum of row 4b+r, its values
// added in increasing column order from +0.
inline __attribute__((always_inline)) v4 packed_block_sums(const PackedLevel& P, int b, const double* cf,
                                                           double* t) {
  const double* v = P.value.data() + P.start[b];
  const int* c = P.col.data() + P.start[b];
  const long n = P.start[b + 1] - P.start[b];
  v4 acc = splat(0.0);
  for (long k = 0; k < n; k += 4) {
    const v4 x = loadu(v + k) * v4{cf[c[k]], cf[c[k + 1]], cf[c[k + 2]], cf[c[k + 3]]};
    storeu(t + k, x);
    acc = acc + x;
  }
  return acc;
}

// One sweep of fused_sweep over the packed values, cf the pending column
// factors (ones when there are none: x * 1 is x): per block of four rows the
// row sums, the row factors, both scalings and the column sums in row order.
// Returns K when the sweep is done, or the first row of the block whose
// factors would change a +0 weight: the rows from there on are untouched
// then (the full sweep computes their sums and factors again). t: 12 M
// doubles of scratch. (A version with the column sums on a second thread,
// following the rows, lost badly on a machine shared with other work.)
VANTU_VEC_CLONES int packed_sweep(MatchState& ms, const double* cf, double* const* cs, double* t) {
  const int S = ms.S, M = ms.M, K = ms.K;
  for (int l = 0; l < S; ++l)
    for (int j = 0; j < M; ++j) cs[l][j] = 0.0;
  for (int i0 = 0; i0 < K; i0 += 4) {
    const int rows = std::min(4, K - i0), b = i0 / 4;
    for (int l = 0; l < S; ++l) {
      const v4 sum = packed_block_sums(ms.packed[l], b, cf, t + 4L * M * l);
      for (int r = 0; r < rows; ++r) ms.rowsum[l][i0 + r] = sum[r];
    }
    bool keeps = true;
    for (int i = i0; i < i0 + rows; ++i) {
      for (int l = 0; l < S; ++l) ms.rowsum[l][i] += ms.vslack[l][i];
      if (S <= 2)
        for (int l = 0; l < S; ++l) dev_invert(1, &ms.rowsum[l][i], true, 1.0);
      else
        split_factors(ms.rowsum[0][i], ms.rowsum[1][i], ms.rowsum[2][i]);
      for (int l = 0; l < S; ++l) keeps = keeps && keeps_zero(ms.rowsum[l][i]);
    }
    if (!keeps) return i0;
    for (int i = i0; i < i0 + rows; ++i)
      for (int l = 0; l < S; ++l) ms.vslack[l][i] *= ms.rowsum[l][i];
    for (int l = 0; l < S; ++l) {
      PackedLevel& P = ms.packed[l];
      double* v = P.value.data() + P.start[b];
      const int* c = P.col.data() + P.start[b];
      const double* tl = t + 4L * M * l;
      const long n = P.start[b + 1] - P.start[b];
      v4 f = splat(0.0);
      for (int r = 0; r < rows; ++r) f[r] = ms.rowsum[l][i0 + r];
      for (long k = 0; k < n; k += 4) storeu(v + k, loadu(tl + k) * f);
      double* sum = cs[l];
      for (int r = 0; r < rows; ++r) {
        const int len = P.len[i0 + r];
        for (int k = 0; k < len; ++k) {
          const int j = c[4 * k + r];
          sum[j] = sum[j] + v[4 * k + r];
        }
      }
    }
  }
  return K;
}

}  // namespace

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

double sinkhorn_fast(MatchState& ms, const ParameterSet& p, Workers& workers) {
  if (!full_patterns(ms)) return sinkhorn(ms, p);
  alloc_balance_work(ms);
  const int S = ms.S, K = ms.K, M = ms.M;
  std::vector<double> colsums[3];
  double* cs[3] = {};
  for (int l = 0; l < S; ++l) {
    colsums[l].assign(static_cast<size_t>(M), 0.0);
    cs[l] = colsums[l].data();
  }
  double* colsum = ms.colsum.data();
  const double* cf = nullptr;  // column factors not yet applied to the levels
  // The packed sweep when few enough weights are live (see packed_share),
  // against the weights the full sweep would go through: those outside the
  // blocks of four rows that are all +0 (the split levels before splits
  // are allowed).
  std::vector<char> zero = zero_blocks(ms);
  long full_work = 0;
  const int blocks = (K + 3) / 4;
  for (int l = 0; l < S; ++l)
    for (int b = 0; b < blocks; ++b)
      if (!zero[static_cast<size_t>(l) * blocks + b]) full_work += static_cast<long>(std::min(4, K - 4 * b)) * M;
  bool packed = static_cast<double>(live_weights(ms)) <= ms.packed_share * static_cast<double>(full_work);
  std::vector<double> ones, scratch;
  if (packed) {
    pack_levels(ms);
    ones.assign(static_cast<size_t>(M), 1.0);
    scratch.resize(12 * static_cast<size_t>(M));
  }
  // Leaves the packed sweep for the rest of the balancing.
  auto unpack = [&]() {
    unpack_levels(ms);
    packed = false;
    zero.assign(static_cast<size_t>(S) * ((K + 3) / 4), 0);
  };
  int sweeps = 0;
  double dev;
  // A sweep is one pass over the rows in order, on one thread: the column
  // sums need that order, and a version split over two threads (rows, then
  // the column sums in a second pass) was no faster than the fused pass.
  do {
    if (packed) {
      const int done = packed_sweep(ms, cf ? cf : ones.data(), cs, scratch.data());
      if (done < K) {
        unpack();
        fused_sweep(ms, cf, cs, zero.data(), done);
      }
    } else {
      fused_sweep(ms, cf, cs, zero.data());
    }
    for (int j = 0; j < M; ++j) colsum[j] = cs[0][j];
    for (int l = 1; l < S; ++l) vec_add(M, colsum, cs[l]);
    if (S > 1) std::copy(cs[S - 1], cs[S - 1] + M, ms.colbuf.begin());
    vec_add(M, colsum, ms.hslack.data());
    dev = dev_invert(M, colsum, true, 1.0);
    vec_mul(M, ms.hslack.data(), colsum);
    cf = colsum;
    if (!std::all_of(cf, cf + M, keeps_zero)) {
      if (packed) unpack();
      std::fill(zero.begin(), zero.end(), 0);
    }
    ++sweeps;
  } while (dev > p.norm_cut && sweeps < p.MaxSweeps);
  if (packed) {
    for (int l = 0; l < S; ++l) {
      PackedLevel& P = ms.packed[l];
      for (size_t k = 0; k < P.value.size(); ++k) P.value[k] = P.value[k] * cf[P.col[k]];
    }
    unpack_levels(ms);
    return dev;
  }
  const int nt = workers.parts_for(static_cast<long>(K) * M * S);
  workers.run(nt, [&](int t) { scale_columns(ms, cf, part_begin(K, nt, t), part_begin(K, nt, t + 1)); });
  return dev;
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
          if (first_call) {
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
