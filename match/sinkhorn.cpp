// Creation of the match state and its Sinkhorn balancing.
#include <cmath>

#include "match/match.h"
#include "match/sparse1.h"
#include "matrix/simple_matrix.h"

namespace vantu {

void MatchState::walk_levels() {
  walk.begin({{EA[0].data(), cntr[0].empty() ? nullptr : cntr[0].data()},
              {EA[1].data(), S >= 2 ? cntr[1].data() : nullptr},
              {EA[2].data(), S >= 3 ? cntr[2].data() : nullptr}});
}

void match_init(MatchState& ms, const ParameterSet& p) {
  const int S = p.MaxSplit, K = ms.K, M = ms.M;
  ms.S = S;
  double w[3] = {1.0, 1.0, 1.0};
  if (S == 3) {
    w[0] = 1.0 - p.SplitPrior;
    w[1] = w[2] = p.SplitPrior;
  }
  double wsum = 0.0;
  for (int l = 0; l < S; ++l) wsum += w[l];
  const double E = K * wsum;
  const double h = std::sqrt((E - M) * (E - M) + 2 * (E + M) + 1);
  const double A = (h + E - M - 1) / (2 * E);
  const double m = (h - E + M - 1) / (2 * M);

  ms.hslack.assign(static_cast<size_t>(M), 0.0);
  std::vector<double> scratch(static_cast<size_t>(K) * M);
  for (int l = 0; l < S; ++l) {
    ms.EA[l].assign(static_cast<size_t>(K) * M + 1, 0.0);
    ms.cntr[l].assign(static_cast<size_t>(sparse_pattern_capacity(K, M)), 0);
    mat_fill(K * M, scratch.data(), A * m * w[l]);
    sparse_from_dense(K, M, scratch.data(), ms.EA[l].data(), ms.cntr[l].data(), ms.sparse_eps);
    ms.vslack[l].assign(static_cast<size_t>(K), 0.0);
  }
}

void reset_slacks(MatchState& ms, const ParameterSet& p) {
  for (auto& v : ms.vslack) {
    v.resize(static_cast<size_t>(ms.K));
    mat_fill(ms.K, v.data(), p.SlackInit);
  }
  ms.hslack.resize(static_cast<size_t>(ms.M));
  mat_fill(ms.M, ms.hslack.data(), p.SlackInit);
}

void split_factors(double& a0, double& a1, double& a2) {
  const double b = a1 * a2;
  double x0, x1, x2;
  if (b > 0) {
    const double c = 2 / (std::sqrt(b * (b + 4 * a0)) + b);
    x0 = b * c * c;
    x1 = c * a2;
    x2 = c * a1;
  } else {  // no daughters possible: normalise as a plain point
    x0 = 1 / a0;
    x1 = 0;
    x2 = 0;
  }
  a0 = x0;
  a1 = x1;
  a2 = x2;
}

void balance_rows(MatchState& ms) {
  const int S = ms.S, K = ms.K;
  for (int l = 0; l < S; ++l) {
    sparse_sums(ms.EA[l].data(), ms.cntr[l].data(), ms.rowsum[l].data(), 1);
    vec_add(K, ms.rowsum[l].data(), ms.vslack[l].data());
  }
  if (S <= 2) {
    for (int l = 0; l < S; ++l) {
      dev_invert(K, ms.rowsum[l].data(), true, 1.0);
      vec_mul(K, ms.vslack[l].data(), ms.rowsum[l].data());
      sparse_scale(ms.EA[l].data(), ms.cntr[l].data(), ms.rowsum[l].data(), 1, ms.scratch.data(),
                   ms.sparse_eps);
    }
    return;
  }
  for (int i = 0; i < K; ++i) split_factors(ms.rowsum[0][i], ms.rowsum[1][i], ms.rowsum[2][i]);
  for (int l = 0; l < 3; ++l)
    sparse_scale(ms.EA[l].data(), ms.cntr[l].data(), ms.rowsum[l].data(), 1, ms.scratch.data(),
                 ms.sparse_eps);
  for (int l = 0; l < 3; ++l) vec_mul(K, ms.vslack[l].data(), ms.rowsum[l].data());
}

double balance_cols(MatchState& ms) {
  const int S = ms.S, M = ms.M;
  double* colsum = ms.colsum.data();
  sparse_sums(ms.EA[0].data(), ms.cntr[0].data(), colsum, -1);
  for (int l = 1; l < S; ++l) {
    sparse_sums(ms.EA[l].data(), ms.cntr[l].data(), ms.colbuf.data(), -1);
    vec_add(M, colsum, ms.colbuf.data());
  }
  vec_add(M, colsum, ms.hslack.data());
  const double dev = dev_invert(M, colsum, true, 1.0);
  vec_mul(M, ms.hslack.data(), colsum);
  for (int l = 0; l < S; ++l)
    sparse_scale(ms.EA[l].data(), ms.cntr[l].data(), colsum, -1, ms.scratch.data(), ms.sparse_eps);
  return dev;
}

void alloc_balance_work(MatchState& ms) {
  if (!ms.rowsum[0].empty()) return;
  const size_t n = static_cast<size_t>(ms.K > ms.M ? ms.K : ms.M);
  for (auto& r : ms.rowsum) r.assign(n, 0.0);
  ms.colsum.assign(n, 0.0);
  ms.colbuf.assign(n, 0.0);
  ms.scratch.assign(static_cast<size_t>(sparse_pattern_capacity(ms.K, ms.M)), 0);
}

double sinkhorn(MatchState& ms, const ParameterSet& p) {
  alloc_balance_work(ms);
  int sweeps = 0;
  double dev;
  do {
    balance_rows(ms);
    dev = balance_cols(ms);
    ++sweeps;
  } while (dev > p.norm_cut && sweeps < p.MaxSweeps);
  return dev;
}

}  // namespace vantu
