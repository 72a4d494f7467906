// Match geometry (homogeneous points, row metrics, daughter positions) and the
// soft targets that the spline is fitted to.
#include <algorithm>
#include <cmath>

#include "match/match.h"
#include "matrix/simple_matrix.h"

namespace vantu {

namespace {

// The cell's axis is (cos theta, -sin theta) with theta = angle / 57.3.
double axis_angle(double degrees) { return degrees / 57.3; }

void set_point(double* rec, double x, double y) {
  rec[0] = 1.0;
  rec[1] = x;
  rec[2] = y;
}

}  // namespace

void init_match_geometry(MatchState& ms, const PointInput& pts, const ParameterSet& p) {
  const int K = pts.first.count, M = pts.second.count;
  const size_t rows = static_cast<size_t>(K > M ? K : M);
  ms.K = K;
  ms.M = M;
  ms.row_metric.assign(9 * static_cast<size_t>(K), 0.0);
  for (int i = 0; i < K; ++i) {
    const double theta = axis_angle(pts.first.ang[i]);
    const double c = std::cos(theta), s = std::sin(theta);
    const double W = 1 - p.alphaS * p.alphaS;
    double* S = &ms.row_metric[9 * static_cast<size_t>(i)];
    S[0] = 1; S[1] = 0;             S[2] = 0;
    S[3] = 0; S[4] = 1 - W * c * c; S[5] = W * c * s;
    S[6] = 0; S[7] = W * c * s;     S[8] = 1 - W * s * s;
  }
  for (auto& lp : ms.level_points) lp.assign(3 * rows, 0.0);
  for (int i = 0; i < K; ++i)
    set_point(&ms.level_points[0][3 * static_cast<size_t>(i)], pts.first.xy[2 * i], pts.first.xy[2 * i + 1]);
  ms.vij.assign(3 * static_cast<size_t>(M), 0.0);
  for (int j = 0; j < M; ++j)
    set_point(&ms.vij[3 * static_cast<size_t>(j)], pts.second.xy[2 * j], pts.second.xy[2 * j + 1]);
  ms.warped_points = ms.vij;
  ms.first_id.assign(pts.first.id.begin(), pts.first.id.begin() + K);
  ms.soft_target.assign(3 * static_cast<size_t>(M), 0.0);
  ms.gj_albet.assign(9 * static_cast<size_t>(M), 0.0);
}

void init_split_positions(MatchState& ms, const PointInput& pts, const ParameterSet& p) {
  std::fill(ms.level_points[1].begin(), ms.level_points[1].end(), 0.0);
  std::fill(ms.level_points[2].begin(), ms.level_points[2].end(), 0.0);
  Lcg15 rng;
  for (int i = 0; i < ms.K; ++i) {
    const double* p0 = &ms.level_points[0][3 * static_cast<size_t>(i)];
    double* d1 = &ms.level_points[1][3 * static_cast<size_t>(i)];
    double* d2 = &ms.level_points[2][3 * static_cast<size_t>(i)];
    if (p.MaxSplit == 3) {
      const double theta = axis_angle(pts.first.ang[i]);
      const double c = std::cos(theta), s = std::sin(theta);
      const double L = pts.first.len[i];
      const double o[3] = {0, (L / 4) * c, -((L / 4) * s)};
      for (int k = 0; k < 3; ++k) {
        d1[k] = p0[k] + o[k];
        d2[k] = p0[k] - o[k];
      }
    } else {
      const double r1 = rng.next() / 32767.0 * (p.split_jitter / std::sqrt(2.0));
      const double r2 = rng.next() / 32767.0 * (p.split_jitter / std::sqrt(2.0));
      d1[0] = p0[0];
      d1[1] = p0[1] + r1;
      d1[2] = p0[2] + r2;
    }
  }
}

double metric_benefit(const MatchState& ms, const double* p, const double* q, int i,
                      const ParameterSet& prm) {
  const double dx = p[1] - q[1], dy = p[2] - q[2];
  const double* S = &ms.row_metric[9 * static_cast<size_t>(i)];
  const double dist = dx * (S[4] * dx + S[5] * dy) + dy * (S[7] * dx + S[8] * dy);
  return prm.TH - prm.rEvar * dist;
}

void soft_targets(MatchState& ms) {
  const int S = ms.S;
  mat_zeros(3 * ms.M, ms.soft_target.data());
  mat_zeros(9 * ms.M, ms.gj_albet.data());
  ms.walk_levels();
  for (bool more = ms.walk.first(); more; more = ms.walk.next()) {
    const int i = ms.walk.row(), j = ms.walk.col();
    const double* v = ms.walk.cval;
    const double* p0 = &ms.level_points[0][3 * static_cast<size_t>(i)];
    const double* p1 = &ms.level_points[1][3 * static_cast<size_t>(i)];
    const double* p2 = &ms.level_points[2][3 * static_cast<size_t>(i)];
    double P[3], d;
    if (S == 1) {
      for (int k = 0; k < 3; ++k) P[k] = v[0] * p0[k];
      d = v[0];
    } else if (S == 2) {
      for (int k = 0; k < 3; ++k) P[k] = v[0] * p0[k] + v[1] * p1[k];
      d = v[0] + v[1];
    } else {
      for (int k = 0; k < 3; ++k) P[k] = v[0] * p0[k] + v[1] * p1[k] + v[2] * p2[k];
      d = v[0] + v[1] + v[2];
    }
    const double* Sm = &ms.row_metric[9 * static_cast<size_t>(i)];
    double* Y = &ms.soft_target[3 * static_cast<size_t>(j)];
    double* W = &ms.gj_albet[9 * static_cast<size_t>(j)];
    for (int k = 0; k < 3; ++k) Y[k] += Sm[3 * k] * P[0] + Sm[3 * k + 1] * P[1] + Sm[3 * k + 2] * P[2];
    for (int e = 0; e < 9; ++e) W[e] += d * Sm[e];
  }
}

}  // namespace vantu
