// The sparse match matrices, their lockstep walk and the match stages:
// creation, Sinkhorn balancing, geometry, benefits, decisions, soft targets.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "match/match.h"
#include "match/sparse1.h"

using namespace vantu;
using Vec = std::vector<double>;

namespace {

struct Sparse {
  Vec EA;
  std::vector<int> cntr;
  Sparse(int rows, int cols, const Vec& dense, double eps)
      : EA(static_cast<size_t>(rows) * cols + 1), cntr(static_cast<size_t>(sparse_pattern_capacity(rows, cols))) {
    sparse_from_dense(rows, cols, dense.data(), EA.data(), cntr.data(), eps);
  }
  std::vector<int> runs() const { return std::vector<int>(cntr.begin() + 3, cntr.begin() + 3 + 3 * cntr[2]); }
  Vec values() const { return Vec(EA.begin() + 1, EA.end()); }
  Vec dense() const {
    Vec d(static_cast<size_t>(cntr[0]) * cntr[1], -1.0);
    sparse_to_dense(d.data(), EA.data(), cntr.data());
    return d;
  }
  std::pair<double*, const int*> ref() { return {EA.data(), cntr.data()}; }
};

const Vec kTwoByFour = {1, 0, 2, 3, 0, 0, 0, 0};

TEST(SparseMatrix, DropsEntriesBelowTheThresholdOnly) {
  Sparse s(2, 4, kTwoByFour, 1e-7);
  EXPECT_EQ(std::vector<int>(s.cntr.begin(), s.cntr.begin() + 3), (std::vector<int>{2, 4, 2}));
  EXPECT_EQ(s.runs(), (std::vector<int>{0, 0, 0, 0, 2, 3}));
  EXPECT_EQ(Vec(s.EA.begin() + 1, s.EA.begin() + 4), (Vec{1, 2, 3}));
  EXPECT_EQ(s.dense(), kTwoByFour);

  Sparse full(2, 4, kTwoByFour, 0.0);
  EXPECT_EQ(full.runs(), (std::vector<int>{0, 0, 3, 1, 0, 3}));
  EXPECT_EQ(full.values(), kTwoByFour);
  EXPECT_EQ(full.dense(), kTwoByFour);

  Sparse empty(2, 3, Vec(6, 0.0), 1e-7);
  EXPECT_EQ(empty.cntr[2], 0);
  EXPECT_EQ(empty.dense(), Vec(6, 0.0));
}

TEST(SparseMatrix, ScalingRemovesEntriesThatFallBelowTheThreshold) {
  const double factors[3] = {1, 1e-9, 1};
  Sparse s(1, 3, {4, 5, 6}, 0.0), k(1, 3, {4, 5, 6}, 0.0);
  sparse_scale(s.EA.data(), s.cntr.data(), factors, -1, nullptr, 1e-7);
  EXPECT_EQ(s.runs(), (std::vector<int>{0, 0, 0, 0, 2, 2}));
  EXPECT_EQ(Vec(s.EA.begin() + 1, s.EA.begin() + 3), (Vec{4, 6}));
  sparse_scale(k.EA.data(), k.cntr.data(), factors, -1, nullptr, 0.0);
  EXPECT_EQ(k.runs(), (std::vector<int>{0, 0, 2}));
  EXPECT_EQ(k.values(), (Vec{4, 5e-9, 6}));
}

TEST(SparseMatrix, SumsAndInvertedDeviation) {
  Sparse s(2, 4, {1, 0, 2, 3, 0, 4, 0, 5}, 1e-7);
  double rows[4];
  sparse_sums(s.EA.data(), s.cntr.data(), rows, 1);
  EXPECT_EQ(Vec(rows, rows + 2), (Vec{6, 9}));
  double* cols = sparse_sums(s.EA.data(), s.cntr.data(), nullptr, -1);
  EXPECT_EQ(Vec(cols, cols + 4), (Vec{1, 4, 2, 8}));
  delete[] cols;

  double v[2] = {0.5, 2.0};
  EXPECT_EQ(dev_invert(2, v, true, 1.0), 1.0);
  EXPECT_EQ(Vec(v, v + 2), (Vec{2.0, 0.5}));
  EXPECT_EQ(dev_invert(0, v, true, 1.0), 0.0);
}

struct Visit {
  int row, col;
  Vec vals;
  bool operator==(const Visit& o) const { return row == o.row && col == o.col && vals == o.vals; }
};
std::ostream& operator<<(std::ostream& os, const Visit& v) {
  os << "(" << v.row << "," << v.col << ":";
  for (double x : v.vals) os << " " << x;
  return os << ")";
}

std::vector<Visit> walk_all(LockstepWalk& w) {
  std::vector<Visit> out;
  for (bool more = w.first(); more; more = w.next())
    out.push_back({w.row(), w.col(), Vec(w.cval, w.cval + w.count())});
  return out;
}

TEST(LockstepWalkTest, VisitsTheUnionOfThePatternsInRowMajorOrder) {
  Vec d[3];
  for (int l = 0; l < 3; ++l)
    for (int k = 0; k < 6; ++k) d[l].push_back(10 * (l + 1) + k);
  Sparse a(2, 3, d[0], 0.0), b(2, 3, d[1], 0.0), c(2, 3, d[2], 0.0), none(2, 3, Vec(6, 0.0), 1e-7);
  LockstepWalk w;
  w.begin({a.ref(), b.ref(), c.ref(), none.ref()});
  std::vector<Visit> want;
  for (int k = 0; k < 6; ++k) want.push_back({k / 3, k % 3, {d[0][k], d[1][k], d[2][k], 0.0}});
  EXPECT_EQ(walk_all(w), want);
  w.begin({none.ref()});
  EXPECT_FALSE(w.first());

  Sparse p(2, 4, kTwoByFour, 1e-7), q(2, 4, {0, 5, 0, 0, 0, 0, 6, 0}, 1e-7);
  w.begin({p.ref(), q.ref()});
  EXPECT_EQ(walk_all(w), (std::vector<Visit>{{0, 0, {1, 0}}, {0, 1, {0, 5}}, {0, 2, {2, 0}},
                                              {0, 3, {3, 0}}, {1, 2, {0, 6}}}));
}

TEST(LockstepWalkTest, StoreOverwritesTheDeliveredValue) {
  Sparse a(2, 4, kTwoByFour, 1e-7), b(2, 4, Vec(8, 1.0), 0.0);
  LockstepWalk w;
  w.begin({a.ref(), b.ref()});
  for (bool more = w.first(); more; more = w.next()) {
    w.store(1, w.row() * 4 + w.col());
    w.store(0, -w.cval[0] - 100);  // where a has no entry, nothing is written
  }
  EXPECT_EQ(a.dense(), (Vec{-101, 0, -102, -103, 0, 0, 0, 0}));
  EXPECT_EQ(b.dense(), (Vec{0, 1, 2, 3, 4, 5, 6, 7}));
}

Vec split(double a0, double a1, double a2) {
  split_factors(a0, a1, a2);
  return {a0, a1, a2};
}

TEST(SplitFactors, NormaliseARowWithItsDaughters) {
  EXPECT_EQ(split(0.5, 0.5, 0.5), (Vec{1, 1, 1}));
  for (double x : split(0.7, 0.3, 0.3)) EXPECT_NEAR(x, 1.0, 1e-15);
  EXPECT_EQ(split(4.0, 0.0, 3.0), (Vec{0.25, 0, 0}));  // no daughters possible

  std::mt19937 gen(12345u);
  std::uniform_real_distribution<double> u(0.01, 10.0);
  for (int t = 0; t < 50; ++t) {
    const double a[3] = {u(gen), u(gen), u(gen)};
    const Vec x = split(a[0], a[1], a[2]);
    EXPECT_NEAR(a[0] * x[0] + a[1] * x[1], 1.0, 1e-12);
    EXPECT_NEAR(a[1] * x[1], a[2] * x[2], 1e-12);
  }
}

struct Pt {
  double x, y, len = 0, ang = 0, id = 0;
};

PointSet point_set(const std::vector<Pt>& pts) {
  PointSet s;
  s.xy.assign(2 * kPointCapacity, 0.0);
  for (Vec* v : {&s.len, &s.ang, &s.id}) v->assign(kPointCapacity, 0.0);
  for (size_t i = 0; i < pts.size(); ++i) {
    s.xy[2 * i] = pts[i].x, s.xy[2 * i + 1] = pts[i].y;
    s.len[i] = pts[i].len, s.ang[i] = pts[i].ang, s.id[i] = pts[i].id;
  }
  s.count = static_cast<int>(pts.size());
  return s;
}

class MatchStateTest : public ::testing::Test {
 protected:
  ParameterSet p;
  PointInput in;
  MatchState ms;

  void build(const std::vector<Pt>& first, const std::vector<Pt>& second, int S) {
    p.MaxSplit = S;
    in.first = point_set(first);
    in.second = point_set(second);
    ms.sparse_eps = 0.0;
    init_match_geometry(ms, in, p);
    match_init(ms, p);
  }
  void build(int K, int M, int S) {
    std::vector<Pt> a, b;
    for (int i = 0; i < K; ++i) a.push_back({10.0 * i, 1.0 * i, 4, 30, i + 1.0});
    for (int j = 0; j < M; ++j) b.push_back({10.0 * j + 1, 2.0 * j});
    build(a, b, S);
  }
  double& at(int l, int i, int j) { return ms.EA[l][1 + static_cast<size_t>(i) * ms.M + j]; }
  double row_total(int l, int i) {
    double s = ms.vslack[l][i];
    for (int j = 0; j < ms.M; ++j) s += at(l, i, j);
    return s;
  }
  // Work arrays of the balancing steps, for calling them one by one.
  static void prepare_balancing(MatchState& s) {
    const size_t n = static_cast<size_t>(std::max(s.K, s.M));
    for (auto& r : s.rowsum) r.assign(n, 0.0);
    s.colsum.assign(n, 0.0);
    s.colbuf.assign(n, 0.0);
    s.scratch.assign(static_cast<size_t>(sparse_pattern_capacity(s.K, s.M)), 0);
  }
  void prepare_balancing() { prepare_balancing(ms); }
  // `n` hand-made sweeps on a copy of `s`.
  static MatchState swept(MatchState s, int n, double* dev = nullptr) {
    prepare_balancing(s);
    for (int k = 0; k < n; ++k) {
      balance_rows(s);
      const double d = balance_cols(s);
      if (dev) *dev = d;
    }
    return s;
  }
  // Uneven entries and unit slacks.
  void uneven_start() {
    for (int l = 0; l < ms.S; ++l)
      for (int i = 0; i < ms.K; ++i)
        for (int j = 0; j < ms.M; ++j) at(l, i, j) = 0.1 + 0.05 * ((7 * i + 3 * j + 5 * l) % 11);
    reset_slacks(ms, p);
  }
  static bool same_bits(const MatchState& a, const MatchState& b) {
    for (int l = 0; l < a.S; ++l)
      if (a.EA[l] != b.EA[l] || a.vslack[l] != b.vslack[l]) return false;
    return a.hslack == b.hslack;
  }
};

TEST_F(MatchStateTest, StartIsConstantPerLevel) {
  build(1, 1, 1);
  EXPECT_NEAR(at(0, 0, 0), (3 - std::sqrt(5.0)) / 2, 1e-15);
  build(1, 1, 2);
  EXPECT_EQ(at(0, 0, 0), at(1, 0, 0));
  build(3, 4, 3);
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 4; ++j) {
      EXPECT_EQ(at(1, i, j), at(0, 0, 0));
      EXPECT_EQ(at(2, i, j), at(0, 0, 0));
    }
  // A zero start stays in the pattern under a zero drop threshold.
  p.SplitPrior = 0.0;
  build(2, 2, 3);
  EXPECT_EQ(ms.cntr[1][2], 2);
  EXPECT_EQ(at(1, 1, 1), 0.0);
}

TEST_F(MatchStateTest, BalancedStartIsAFixedPointOfOneSweep) {
  for (int S = 1; S <= 3; ++S) {
    build(3, 4, S);
    // Slacks that complete every row to its level weight and every column to 1.
    const double w = (S == 3) ? 0.5 : 1.0;
    double col = 0.0;
    for (int l = 0; l < S; ++l) {
      ms.vslack[l].assign(3, w - 4 * at(l, 0, 0));
      col += 3 * at(l, 0, 0);
    }
    ms.hslack.assign(4, 1.0 - col);
    ASSERT_GT(ms.vslack[0][0], 0.0);
    ASSERT_GT(ms.hslack[0], 0.0);
    const MatchState start = ms, one = swept(ms, 1);
    EXPECT_LT(sinkhorn(ms, p), 1e-14) << "S = " << S;
    EXPECT_TRUE(same_bits(ms, one)) << "S = " << S;
    for (int l = 0; l < S; ++l)
      for (size_t k = 1; k < ms.EA[l].size(); ++k) EXPECT_NEAR(ms.EA[l][k], start.EA[l][k], 1e-15);
  }
}

TEST_F(MatchStateTest, TwoLevelRowsSumToOneWithTheirSlacks) {
  build(3, 4, 2);
  uneven_start();
  prepare_balancing();
  balance_rows(ms);
  for (int l = 0; l < 2; ++l)
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(row_total(l, i), 1.0, 1e-15);
}

TEST_F(MatchStateTest, RowWithoutFirstDaughterIsBalancedAsAPlainPoint) {
  build(3, 4, 3);
  uneven_start();
  for (int j = 0; j < 4; ++j) at(1, 1, j) = 0.0;
  ms.vslack[1][1] = 0.0;
  prepare_balancing();
  balance_rows(ms);
  for (int l = 1; l <= 2; ++l) {
    for (int j = 0; j < 4; ++j) EXPECT_EQ(at(l, 1, j), 0.0);
    EXPECT_EQ(ms.vslack[l][1], 0.0);
  }
  EXPECT_NEAR(row_total(0, 1), 1.0, 1e-15);
}

TEST_F(MatchStateTest, SweepCapEndsAnUnconvergedBalancing) {
  build(3, 4, 3);
  uneven_start();
  p.MaxSweeps = 3;
  p.norm_cut = -1;
  const MatchState start = ms;
  const double dev = sinkhorn(ms, p);
  for (int k = 0; k < 3; ++k) EXPECT_FALSE(same_bits(ms, swept(start, k))) << "stopped after " << k;
  double last = 0.0;
  EXPECT_TRUE(same_bits(ms, swept(start, 3, &last)));
  EXPECT_EQ(dev, last);
}

TEST_F(MatchStateTest, SingleColumnSumsToOneWithItsSlack) {
  build(3, 1, 3);
  uneven_start();
  sinkhorn(ms, p);
  double s = ms.hslack[0];
  for (int l = 0; l < 3; ++l)
    for (int i = 0; i < 3; ++i) s += at(l, i, 0);
  EXPECT_NEAR(s, 1.0, 1e-14);
}

TEST_F(MatchStateTest, RowMetricShrinksAlongTheCellAxis) {
  build({{0, 0, 4, 0}, {5, 5, 4, 30}, {9, 1, 4, 125}}, {{0, 0}}, 1);
  for (int i = 0; i < 3; ++i)
    for (int e = 0; e < 9; ++e) EXPECT_EQ(ms.row_metric[9 * i + e], e % 4 == 0 ? 1.0 : 0.0) << i << "," << e;

  p.alphaS = 0.0;
  init_match_geometry(ms, in, p);
  for (int i = 0; i < 3; ++i) {
    const double t = in.first.ang[i] / 57.3, c = std::cos(t), s = std::sin(t);
    const double* p0 = &ms.level_points[0][3 * i];
    const double along[3] = {1, p0[1] + 3 * c, p0[2] - 3 * s};
    const double across[3] = {1, p0[1] + 3 * s, p0[2] + 3 * c};
    EXPECT_NEAR(metric_benefit(ms, p0, along, i, p), p.TH, 1e-15);
    EXPECT_LT(metric_benefit(ms, p0, across, i, p), p.TH - 0.004);
  }
}

TEST_F(MatchStateTest, DaughtersSitOnTheCellAxis) {
  build({{2, 3, 8, 30}, {4, 5, 4, 90}, {6, 7, 0, 45}}, {{0, 0}}, 3);
  init_split_positions(ms, in, p);
  for (int i = 0; i < 3; ++i) {
    const double t = in.first.ang[i] / 57.3, q = in.first.len[i] / 4;
    const double o[3] = {0, q * std::cos(t), -(q * std::sin(t))};
    for (int k = 0; k < 3; ++k) {
      EXPECT_DOUBLE_EQ(ms.level_points[1][3 * i + k], ms.level_points[0][3 * i + k] + o[k]);
      EXPECT_DOUBLE_EQ(ms.level_points[2][3 * i + k], ms.level_points[0][3 * i + k] - o[k]);
    }
  }
  // 90 degrees is not quite vertical: theta = 90/57.3.
  const double dx = ms.level_points[1][3 * 1 + 1] - 4;
  EXPECT_NEAR(dx, 1.15698e-4, 1e-9);
  // Length 0: both daughters at the mother.
  for (int l = 1; l <= 2; ++l)
    for (int k = 0; k < 3; ++k) EXPECT_EQ(ms.level_points[l][6 + k], ms.level_points[0][6 + k]);
}

TEST_F(MatchStateTest, TwoLevelDaughterIsJitteredByTheGenerator) {
  Lcg15 g;
  EXPECT_EQ(g.next(), 41);
  EXPECT_EQ(g.next(), 18467);
  EXPECT_EQ(g.next(), 6334);

  build({{2, 3}, {4, 5}}, {{0, 0}}, 2);
  init_split_positions(ms, in, p);
  Lcg15 rng;
  const double scale = 0.001 / std::sqrt(2.0);
  for (int i = 0; i < 2; ++i) {
    const double* p0 = &ms.level_points[0][3 * i];
    const double* d1 = &ms.level_points[1][3 * i];
    EXPECT_EQ(d1[0], 1.0);
    for (int k = 1; k <= 2; ++k) {
      EXPECT_EQ(d1[k], p0[k] + rng.next() / 32767.0 * scale);
      EXPECT_LE(std::fabs(d1[k] - p0[k]), scale);
    }
  }
}

TEST_F(MatchStateTest, BenefitsAreAnnealedWeightsOfTheDistance) {
  build({{0, 0}, {100, 0}}, {{3, 4}, {0, 5}}, 1);
  ms.vslack[0].assign(2, 0.25);
  ms.hslack.assign(2, 0.25);
  update_benefits(ms, p, 2.0, p.split_offset);
  EXPECT_DOUBLE_EQ(at(0, 0, 0), std::exp(2.0 * (1.0 - 0.000625 * 25)));
  EXPECT_DOUBLE_EQ(at(0, 1, 1), std::exp(2.0 * (1.0 - 0.000625 * (100.0 * 100 + 25))));
  EXPECT_EQ(ms.vslack[0], std::vector<double>(2, 0.25));
  EXPECT_EQ(ms.hslack, std::vector<double>(2, 0.25));

  // Row 1 is beyond the threshold from every column: its shift is 0, its slack 1.
  update_benefits(ms, p, 2.0, p.split_offset);
  EXPECT_EQ(ms.row_max[0][1], 0.0);
  EXPECT_EQ(ms.vslack[0][1], 1.0);
  // The shifts are a row and column scaling that the slacks share.
  EXPECT_GT(ms.row_max[0][0], 0.0);
  const double raw = std::exp(2.0 * (1.0 - 0.000625 * 25));
  EXPECT_NEAR(at(0, 0, 0) / (ms.vslack[0][0] * ms.hslack[0]), raw, 1e-12 * raw);
}

TEST_F(MatchStateTest, LargeNegativeSplitOffsetSwitchesDaughtersOff) {
  build(2, 3, 3);
  init_split_positions(ms, in, p);
  for (int call = 0; call < 2; ++call) {
    update_benefits(ms, p, 0.1, -10000);
    for (int l = 1; l <= 2; ++l)
      for (int i = 0; i < 2; ++i)
        for (int j = 0; j < 3; ++j) EXPECT_EQ(at(l, i, j), 0.0) << call << l << i << j;
    EXPECT_GT(at(0, 0, 0), 0.0);
  }
}

TEST_F(MatchStateTest, WeightsAboveOneHalfAreMatches) {
  build(3, 3, 3);
  ms.first_id = {7.0, 6.5, 6.49};
  for (int l = 0; l < 3; ++l)
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j) at(l, i, j) = 0.0;
  at(0, 0, 0) = 0.5;
  at(0, 1, 1) = 0.5000001;
  for (auto& ids : ms.matched_id) ids.assign(3, 9);  // left over from an earlier step
  decide_matches(ms, p, 0);
  EXPECT_EQ(ms.match_count, 1);
  EXPECT_EQ(ms.matched_id[0], (std::vector<int>{0, 7, 0}));
  EXPECT_EQ(ms.matched_id[1], std::vector<int>(3, 0));
  EXPECT_EQ(ms.matched_id[2], std::vector<int>(3, 0));

  for (int i = 0; i < 3; ++i) at(1, i, i) = 0.9;
  decide_matches(ms, p, 1);
  EXPECT_EQ(ms.matched_id[1], (std::vector<int>{7, 7, 6}));
  EXPECT_EQ(ms.matched_id[0], (std::vector<int>{0, 7, 0}));

  at(2, 0, 2) = 0.6;
  at(2, 2, 2) = 0.7;
  decide_matches(ms, p, 2);
  EXPECT_EQ(ms.match_count, 2);
  EXPECT_EQ(ms.matched_id[2][2], 6);
}

TEST_F(MatchStateTest, SoftTargetsAreMatchWeightedPositions) {
  build({{1, 2}, {3, 5}}, {{0, 0}, {1, 1}, {2, 2}}, 1);
  const double m[2][3] = {{0.2, 0.5, 0.0}, {0.3, 0.1, 0.0}};
  for (int i = 0; i < 2; ++i)
    for (int j = 0; j < 3; ++j) at(0, i, j) = m[i][j];
  soft_targets(ms);
  for (int j = 0; j < 3; ++j) {
    const double c = m[0][j] + m[1][j];
    const double want[3] = {c, m[0][j] * 1 + m[1][j] * 3, m[0][j] * 2 + m[1][j] * 5};
    for (int k = 0; k < 3; ++k) EXPECT_NEAR(ms.soft_target[3 * j + k], want[k], 1e-15) << j << k;
    for (int e = 0; e < 9; ++e) EXPECT_NEAR(ms.gj_albet[9 * j + e], e % 4 == 0 ? c : 0.0, 1e-15);
  }

  // Three levels: the daughters add their weights at their own positions.
  build({{1, 2, 4, 0}}, {{0, 0}}, 3);
  init_split_positions(ms, in, p);  // first daughter at (2, 2), second at (0, 2)
  at(0, 0, 0) = 0.1, at(1, 0, 0) = 0.2, at(2, 0, 0) = 0.3;
  soft_targets(ms);
  const double want[3] = {0.6, 0.1 * 1 + 0.2 * 2 + 0.3 * 0, 0.6 * 2};
  for (int k = 0; k < 3; ++k) EXPECT_NEAR(ms.soft_target[k], want[k], 1e-15);
  EXPECT_NEAR(ms.gj_albet[4], 0.6, 1e-15);
}

}  // namespace
