// Annealed match benefits: exp(Beta * benefit) for every candidate pair and
// level, with a row and column shift of the exponents that keeps every weight
// in range at high Beta; the slacks carry benefit 0 under the same shift.
//
// Balancing scales rows and columns only, so a balanced weight is
// vslack[i] * hslack[j] * exp(Beta * benefit) of its pair (the shift of the
// exponents is carried by the slacks), and balanced slacks are at most 1.
// A pair with Beta * benefit < ln drop_below therefore never weighs more
// than drop_below: with drop_below > 0 its weight is +0 from the start, and
// the fast balancing, which goes over the live weights only, skips it.
#include <cmath>

#include "match/match.h"
#include "matrix/simple_matrix.h"

namespace vantu {

namespace {
const double* point(const std::vector<double>& a, int k) { return &a[3 * static_cast<size_t>(k)]; }
}  // namespace

void benefit_maxima(MatchState& ms, const ParameterSet& p, double Beta) {
  const int S = ms.S;
  for (int l = 0; l < S; ++l) {
    ms.row_max[l].resize(static_cast<size_t>(ms.K));
    mat_fill(ms.K, ms.row_max[l].data(), -1e10);
  }
  ms.col_max.resize(static_cast<size_t>(ms.M));
  mat_fill(ms.M, ms.col_max.data(), -1e10);
  ms.walk_levels();
  for (bool more = ms.walk.first(); more; more = ms.walk.next()) {
    const int i = ms.walk.row(), j = ms.walk.col();
    for (int l = 0; l < S; ++l) {
      const double u = Beta * metric_benefit(ms, point(ms.level_points[l], i), point(ms.warped_points, j), i, p);
      const double v = u > 0 ? u : 0.0;
      if (v > ms.row_max[l][i]) ms.row_max[l][i] = v;
      if (v > ms.col_max[j]) ms.col_max[j] = v;
    }
  }
}

double dropped_exponent(const ParameterSet& p) {
  return p.drop_below > 0 ? std::log(p.drop_below) : -HUGE_VAL;
}

void update_benefits(MatchState& ms, const ParameterSet& p, double Beta, double split_offset) {
  const int S = ms.S;
  const bool first_call = ms.benefit_calls == 0;
  const bool drop = p.drop_below > 0;
  const double cut_exponent = dropped_exponent(p);
  if (!first_call) benefit_maxima(ms, p, Beta);
  ms.walk_levels();
  for (bool more = ms.walk.first(); more; more = ms.walk.next()) {
    const int i = ms.walk.row(), j = ms.walk.col();
    for (int l = 0; l < S; ++l) {
      double Q = metric_benefit(ms, point(ms.level_points[l], i), point(ms.warped_points, j), i, p);
      if (l >= 1) Q = Q + (split_offset - p.TH);
      if (drop && (first_call || Beta > 0) && Beta * Q < cut_exponent)
        ms.walk.store(l, 0.0);
      else if (first_call)
        ms.walk.store(l, std::exp(Beta * Q));
      else if (Beta > 0)
        ms.walk.store(l, std::exp(Beta * Q - 0.5 * (ms.row_max[l][i] + ms.col_max[j])));
    }
  }
  if (!first_call && Beta > 0) {
    for (int l = 0; l < S; ++l)
      for (int i = 0; i < ms.K; ++i) ms.vslack[l][i] = std::exp(-0.5 * ms.row_max[l][i]);
    for (int j = 0; j < ms.M; ++j) ms.hslack[j] = std::exp(-0.5 * ms.col_max[j]);
  }
  ++ms.benefit_calls;
}

}  // namespace vantu
