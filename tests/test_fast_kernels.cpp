// The fast kernels against their plain twins, bit for bit: the grouped
// solver, the spline system in its groups, balancing, benefits, soft targets,
// decisions and the value formatting of the result files.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "run/writers.h"
#include "match/match.h"
#include "matrix/grouped_solve.h"
#include "matrix/simple_matrix.h"
#include "base/params.h"
#include "tests/harness.h"
#include "warp/TPS.h"

using namespace vantu;

namespace {

// Bitwise equality of two arrays of doubles, reporting the first difference.
::testing::AssertionResult same_bits(const double* a, const double* b, size_t n) {
  for (size_t k = 0; k < n; ++k)
    if (std::memcmp(a + k, b + k, sizeof(double)) != 0)
      return ::testing::AssertionFailure() << "element " << k << ": " << a[k] << " vs " << b[k];
  return ::testing::AssertionSuccess();
}
::testing::AssertionResult same_bits(const std::vector<double>& a, const std::vector<double>& b) {
  if (a.size() != b.size()) return ::testing::AssertionFailure() << "sizes " << a.size() << " vs " << b.size();
  return same_bits(a.data(), b.data(), a.size());
}

// A system with the block structure of the spline equations: no entry
// between the groups of layout_by_component (two: the unknowns 0 mod 3 and
// the others; three: by index mod 3), except (optionally) values of
// magnitude up to PivotTiny. `density` of the entries within a group are
// non-zero; the diagonal is made dominant when `dominant`.
struct Planted {
  std::vector<double> A, B;
};
Planted grouped_system(int n, unsigned seed, double density, bool plant_tiny, bool dominant, int groups = 2,
                       bool identical = false) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> u(-1.0, 1.0), p(0.0, 1.0);
  const double tiny_values[] = {1e-10, -1e-10, 0.99e-10, -0.0, 5e-11, 1.0000000001e-10, -1.0000000001e-10};
  Planted s;
  s.A.assign(static_cast<size_t>(n) * n, 0.0);
  s.B.resize(static_cast<size_t>(n));
  for (int r = 0; r < n; ++r) {
    s.B[r] = p(rng) < 0.1 ? tiny_values[rng() % 7] : u(rng) * 10;
    for (int c = 0; c < n; ++c) {
      const bool same = groups == 3 ? r % 3 == c % 3 : (r % 3 == 0) == (c % 3 == 0);
      double v = 0.0;
      if (same && p(rng) < density) v = u(rng);
      // Between the groups only magnitudes up to PivotTiny (the first five).
      if (plant_tiny && p(rng) < 0.05) v = tiny_values[rng() % (same ? 7 : 5)];
      if (!same && !plant_tiny) v = 0.0;
      s.A[static_cast<size_t>(r) * n + c] = v;
    }
    if (dominant) s.A[static_cast<size_t>(r) * n + r] += (r % 2 ? -1 : 1) * (2.0 + n * density);
  }
  if (identical)  // every group a copy of group 0 (n a multiple of 3)
    for (int r = 0; r < n; ++r)
      for (int c = 0; c < n; ++c)
        if (r % 3 == c % 3) s.A[static_cast<size_t>(r) * n + c] = s.A[static_cast<size_t>(r - r % 3) * n + c - c % 3];
  return s;
}

// reverse and reverse_grouped on copies of one system: the same outcome, the
// same printed text, the same solution bits.
void expect_same_solution(const Planted& s, int threads, int groups = 2) {
  Workers workers(threads);
  workers.min_split = 0;  // every job split, however small
  const int n = static_cast<int>(s.B.size());
  std::vector<double> plain = s.B, fast = s.B;
  testing::internal::CaptureStdout();
  const bool plain_ok = reverse(n, 1, s.A.data(), plain.data()) != nullptr;
  const std::string plain_out = testing::internal::GetCapturedStdout();
  testing::internal::CaptureStdout();
  const bool fast_ok = reverse_grouped(n, s.A.data(), fast.data(), workers, groups) != nullptr;
  const std::string fast_out = testing::internal::GetCapturedStdout();
  ASSERT_EQ(plain_ok, fast_ok);
  EXPECT_EQ(plain_out, fast_out);
  if (plain_ok) {
    EXPECT_TRUE(same_bits(plain, fast));
  }
}

}  // namespace

TEST(GroupedSolver, MatchesGaussJordanOnDenseAndSparseSystems) {
  for (int n : {12, 30, 99, 129, 200}) {
    SCOPED_TRACE(n);
    expect_same_solution(grouped_system(n, 11u + n, 1.0, false, true), 1);
    expect_same_solution(grouped_system(n, 12u + n, 1.0, true, true), 2);
    // Sparse, not dominant: zero diagonal entries force row swaps, and the
    // swaps made for one group move rows of the other.
    expect_same_solution(grouped_system(n, 13u + n, 0.15, true, false), 2);
    expect_same_solution(grouped_system(n, 14u + n, 0.3, false, false), 1);
    // One group per component.
    expect_same_solution(grouped_system(n, 15u + n, 1.0, true, true, 3), 2, 3);
    expect_same_solution(grouped_system(n, 16u + n, 0.2, true, false, 3), 1, 3);
  }
  // Identical groups are eliminated once, unless their pivots part ways
  // (sparse systems, where swaps move the groups' rows differently).
  for (int n : {30, 129, 300}) {
    SCOPED_TRACE(n);
    expect_same_solution(grouped_system(n, 31u + n, 1.0, true, true, 3, true), 2, 3);
    expect_same_solution(grouped_system(n, 32u + n, 0.1, false, false, 3, true), 1, 3);
    expect_same_solution(grouped_system(n, 33u + n, 0.3, true, false, 3, true), 2, 3);
  }
  // Larger than a panel of every group, both layouts.
  expect_same_solution(grouped_system(3 * 130 + 9, 17u, 1.0, true, true, 3), 2, 3);
  expect_same_solution(grouped_system(3 * 130 + 9, 18u, 0.5, true, false, 2), 2, 2);
}

TEST(GroupedSolver, SingularSystemsPrintTheMessageOnce) {
  for (int n : {15, 120}) {
    SCOPED_TRACE(n);
    Planted s = grouped_system(n, 7u, 1.0, true, true);
    // A column of group 1 without any usable entry.
    for (int r = 0; r < n; ++r) s.A[static_cast<size_t>(r) * n + (n - 2)] = r % 2 ? 1e-10 : 0.0;
    expect_same_solution(s, 2);
    // Group 0 singular: two equal rows.
    Planted t = grouped_system(n, 8u, 1.0, false, true);
    for (int c = 0; c < n; ++c) t.A[static_cast<size_t>(6) * n + c] = t.A[static_cast<size_t>(3) * n + c];
    expect_same_solution(t, 1);
    expect_same_solution(t, 2, 3);
    // Everything zero: singular at the first column.
    Planted z = s;
    std::fill(z.A.begin(), z.A.end(), 0.0);
    expect_same_solution(z, 2);
  }
}

TEST(GroupedSolver, CouplingBetweenGroupsFallsBackToThePlainSolver) {
  Planted s = grouped_system(60, 21u, 1.0, false, true);
  s.A[1 * 60 + 3] = 0.25;  // row of group 1, column of group 0
  expect_same_solution(s, 2);
  Planted t = grouped_system(60, 22u, 1.0, false, true, 2);
  expect_same_solution(t, 2, 3);  // components 1 and 2 coupled: not three groups
  s.A[1 * 60 + 3] = std::nan("");
  expect_same_solution(s, 1);
}

namespace {

// The match state of a small colony, as the driver prepares it, ready for
// balancing; `K` first-set cells, `M` second-set cells moved a little.
struct Scene {
  ParameterSet p;
  PointInput pts;
  MatchState ms;
  SplineState sp;
};

void make_scene(Scene& sc, int K, int M, int S, unsigned seed, double alphaS = 1.0) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> pos(0.0, 300.0), ang(0.0, 360.0), len(16.0, 50.0), jit(-4.0, 4.0);
  sc.p.MaxSplit = S;
  sc.p.lambda1 = 0.1;
  sc.p.lambda2 = 0.01;
  sc.p.alphaS = alphaS;
  auto fill = [&](PointSet& ps, int n, const PointSet* from) {
    ps.count = n;
    ps.xy.resize(2 * static_cast<size_t>(n));
    ps.len.resize(static_cast<size_t>(n));
    ps.ang.resize(static_cast<size_t>(n));
    ps.id.resize(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) {
      if (from && i < from->count) {
        ps.xy[2 * i] = from->xy[2 * i] + jit(rng);
        ps.xy[2 * i + 1] = from->xy[2 * i + 1] + jit(rng);
      } else {
        ps.xy[2 * i] = pos(rng);
        ps.xy[2 * i + 1] = pos(rng);
      }
      ps.len[i] = len(rng);
      ps.ang[i] = ang(rng);
      ps.id[i] = i + 1;
    }
  };
  fill(sc.pts.first, K, nullptr);
  fill(sc.pts.second, M, &sc.pts.first);
  MatchState& ms = sc.ms;
  ms.sparse_eps = 0.0;
  sc.sp.tpsc.assign(3 * static_cast<size_t>(M + 3), 0.0);
  mat_identity(3, 3, sc.sp.tpsc.data());
  init_match_geometry(ms, sc.pts, sc.p);
  if (S > 1) init_split_positions(ms, sc.pts, sc.p);
  build_kernel(sc.sp, ms);
  match_init(ms, sc.p);
  reset_slacks(ms, sc.p);
  sc.p.lambda1 = sc.p.lambda1 * kernel_scale(sc.sp);
  sc.p.lambda2 = sc.p.lambda2 * point_spread(ms);
}

void expect_same_state(const MatchState& a, const MatchState& b) {
  for (int l = 0; l < a.S; ++l) {
    EXPECT_TRUE(same_bits(a.EA[l], b.EA[l])) << "level " << l;
    EXPECT_EQ(a.cntr[l], b.cntr[l]);
    EXPECT_TRUE(same_bits(a.vslack[l], b.vslack[l])) << "slack " << l;
  }
  EXPECT_TRUE(same_bits(a.hslack, b.hslack));
}

}  // namespace

// One temperature step of the driver on both sets of kernels, every stage
// compared: balancing, benefits (first and later calls), decisions, soft
// targets, the grouped spline system and its solution.
TEST(FastStages, FollowThePlainStagesThroughAnnealing) {
  for (int threads : {1, 2}) {
  SCOPED_TRACE(threads);
  Workers two(threads);
  two.min_split = 0;
  struct Case {
    int K, M, S;
    double Beta, alphaS;
  };
  for (const Case& c : {Case{23, 27, 3, 6.0, 1.0}, Case{31, 25, 2, 7.0, 0.5}, Case{20, 20, 1, 1.0, 1.0},
                        Case{26, 30, 3, 150.0, 0.3}, Case{40, 44, 3, 8.0, 0.7}}) {
    SCOPED_TRACE(testing::Message() << c.K << "x" << c.M << " S=" << c.S << " Beta=" << c.Beta);
    Scene plain, fast;
    make_scene(plain, c.K, c.M, c.S, 5u + c.K, c.alphaS);
    make_scene(fast, c.K, c.M, c.S, 5u + c.K, c.alphaS);
    for (Scene* s : {&plain, &fast}) s->p.split_offset = c.Beta > s->p.BetaSplit ? 0.9 : -10000.0;
    ASSERT_TRUE(full_patterns(fast.ms));
    for (int round = 0; round < 3; ++round) {
      SCOPED_TRACE(round);
      const double dp = sinkhorn(plain.ms, plain.p);
      const double df = sinkhorn_fast(fast.ms, fast.p, two);
      EXPECT_EQ(std::memcmp(&dp, &df, sizeof dp), 0);
      expect_same_state(plain.ms, fast.ms);
      for (int l = 0; l < c.S; ++l) {
        decide_matches(plain.ms, plain.p, l);
        decide_matches_fast(fast.ms, fast.p, l);
        EXPECT_EQ(plain.ms.match_count, fast.ms.match_count);
        EXPECT_EQ(plain.ms.matched_id[l], fast.ms.matched_id[l]);
      }
      soft_targets(plain.ms);
      soft_targets_fast(fast.ms, two);
      EXPECT_TRUE(same_bits(plain.ms.soft_target, fast.ms.soft_target));
      EXPECT_TRUE(same_bits(plain.ms.gj_albet, fast.ms.gj_albet));

      // The spline system: every entry of each group equals the plain one,
      // and the solutions agree.
      SplineState& sp = plain.sp;
      const int M = c.M, n = 3 * M + 9;
      const int groups = grouped_spline_groups(fast.sp, fast.ms);
      ASSERT_EQ(groups, plain.p.alphaS == 1.0 ? 3 : 2);
      affine_block(sp, plain.ms, plain.p);
      cross_block(sp, plain.ms);
      warp_block(sp, plain.ms, plain.p);
      warp_rhs(sp, plain.ms);
      affine_rhs(sp, plain.ms, plain.p);
      mat_compose(sp.tpsc.data(), 2, 1, {3, M}, {3}, {sp.RD.data(), sp.RW.data()});
      sp.spline_system.resize(static_cast<size_t>(n) * n);
      mat_compose(sp.spline_system.data(), 2, 2, {9, 3 * M}, {9, 3 * M},
                  {sp.A.data(), sp.B.data(), sp.Bt.data(), sp.C.data()});
      fast.sp.tpsc = sp.tpsc;
      affine_block(fast.sp, fast.ms, fast.p);
      build_grouped_system(fast.sp, fast.ms, fast.p, groups, two);
      const GroupedSystem& gs = fast.sp.grouped;
      for (int r = 0; r < n; ++r)
        for (int col = 0; col < n; ++col) {
          const double v = sp.spline_system[static_cast<size_t>(r) * n + col];
          if (gs.group[r] != gs.group[col]) {
            ASSERT_LE(std::fabs(v), PivotTiny);
            continue;
          }
          const double w = gs.W[gs.group[r]][static_cast<size_t>(gs.local[r]) * gs.size[gs.group[r]] + gs.local[col]];
          ASSERT_EQ(std::memcmp(&v, &w, sizeof v), 0) << "entry " << r << "," << col;
        }
      std::vector<double> x_plain = sp.tpsc, x_fast(static_cast<size_t>(n), 0.0);
      const bool ok_plain = reverse(n, 1, sp.spline_system.data(), x_plain.data()) != nullptr;
      const bool ok_fast = solve_grouped(fast.sp.grouped, x_fast.data(), two);
      ASSERT_EQ(ok_plain, ok_fast);
      if (ok_plain) {
        EXPECT_TRUE(same_bits(x_plain, x_fast));
        sp.tpsc = x_plain;
      }
      for (int r = 0; r < M + 3; ++r) sp.tpsc[3 * r] = 0.0;
      sp.tpsc[0] = 1.0;
      warp_points(sp, M, sp.tpsc.data(), plain.ms.vij.data(), plain.ms.warped_points.data());
      fast.ms.warped_points = plain.ms.warped_points;

      update_benefits(plain.ms, plain.p, c.Beta, plain.p.split_offset);
      update_benefits_fast(fast.ms, fast.p, c.Beta, fast.p.split_offset, two);
      expect_same_state(plain.ms, fast.ms);
      for (int l = 0; l < c.S; ++l) EXPECT_TRUE(same_bits(plain.ms.row_max[l], fast.ms.row_max[l]));
      EXPECT_TRUE(same_bits(plain.ms.col_max, fast.ms.col_max));
    }
  }
  }
}

TEST(FastStages, FallBackWhenPatternsAreNotFull) {
  Workers two(2);
  Scene plain, fast;
  make_scene(plain, 12, 14, 3, 3u);
  make_scene(fast, 12, 14, 3, 3u);
  // With a drop threshold, entries may leave the pattern: the fast stages
  // must take the plain road.
  plain.ms.sparse_eps = fast.ms.sparse_eps = 1e-3;
  EXPECT_FALSE(full_patterns(fast.ms));
  plain.ms.EA[1][5] = fast.ms.EA[1][5] = 1e-9;
  EXPECT_EQ(sinkhorn(plain.ms, plain.p), sinkhorn_fast(fast.ms, fast.p, two));
  expect_same_state(plain.ms, fast.ms);
  soft_targets(plain.ms);
  soft_targets_fast(fast.ms, two);
  EXPECT_TRUE(same_bits(plain.ms.gj_albet, fast.ms.gj_albet));
}

// Balancing skips blocks of four rows whose weights are all +0, or sweeps
// over the weights that are not +0 only (banded), on one thread or on two
// that share the columns; everything else, and every state where a factor
// would turn +0 into another value (the banded sweep then hands over to the
// full one, mid-sweep or between sweeps), must come out as in the plain
// balancing.
TEST(FastStages, BalancingWithExactZerosKeepsThePlainBits) {
  Workers one(1), two(2);
  two.min_split = 0;
  enum Pattern { kSplitLevelsZero, kFarPairs, kNegativeRowSlack, kTinyRowSlack, kNegativeColumnSlack, kMinusZero };
  for (Workers* workers : {&one, &two})
  for (double share : {0.0, 1e9})  // the full sweep, the banded one
  for (int S : {1, 2, 3})
    for (Pattern pat : {kSplitLevelsZero, kFarPairs, kNegativeRowSlack, kTinyRowSlack, kNegativeColumnSlack,
                        kMinusZero}) {
      if (pat == kSplitLevelsZero && S == 1) continue;
      SCOPED_TRACE(testing::Message() << "S=" << S << " pattern " << pat << " banded share " << share
                                      << " threads " << workers->count());
      const int K = 30, M = 27;  // the last block of rows has two
      Scene plain, fast;
      make_scene(plain, K, M, S, 41u + S);
      make_scene(fast, K, M, S, 41u + S);
      std::mt19937 rng(7u * S + pat);
      std::uniform_real_distribution<double> u(0.0, 1.0);
      auto zero_row = [](double* E, int M_, int i) { std::fill(E + static_cast<long>(i) * M_, E + (i + 1L) * M_, 0.0); };
      for (int l = 0; l < S; ++l) {
        double* E = plain.ms.EA[l].data() + 1;
        for (int k = 0; k < K * M; ++k) E[k] = u(rng) < 0.7 ? 0.0 : std::exp(-40.0 * u(rng));
        if (pat == kSplitLevelsZero) {
          if (l > 0) std::fill(E, E + K * M, 0.0);
          continue;
        }
        // Whole blocks, a block with a single row left, the short last
        // block, and a column of +0 everywhere.
        for (int i : {0, 1, 2, 3, 4, 5, 6, 7, 12, 13, 14, 28, 29}) zero_row(E, M, i);
        for (int i = 0; i < K; ++i) E[static_cast<long>(i) * M + 5] = 0.0;
        if (pat == kMinusZero)
          for (int k = 8 * M; k < 12 * M; ++k) E[k] = -0.0;
      }
      // Factors that turn +0 into -0 (negative) or NaN (infinite), in a
      // row or a column without any weight.
      if (pat == kNegativeRowSlack) plain.ms.vslack[0][5] = -2.0;
      if (pat == kTinyRowSlack) plain.ms.vslack[0][29] = 1e-310;
      if (pat == kNegativeColumnSlack) plain.ms.hslack[5] = -3.0;
      for (int l = 0; l < S; ++l) {
        fast.ms.EA[l] = plain.ms.EA[l];
        fast.ms.vslack[l] = plain.ms.vslack[l];
      }
      fast.ms.hslack = plain.ms.hslack;
      fast.ms.banded_share = fast.ms.banded_share_split = share;
      for (int round = 0; round < 2; ++round) {
        const double dp = sinkhorn(plain.ms, plain.p);
        const double df = sinkhorn_fast(fast.ms, fast.p, *workers);
        EXPECT_EQ(std::memcmp(&dp, &df, sizeof dp), 0);
        expect_same_state(plain.ms, fast.ms);
      }
      // The skipped weights are still +0 where nothing disturbed them.
      if (pat == kFarPairs) {
        EXPECT_EQ(fast.ms.EA[0][1 + 2 * M + 3], 0.0);
      }
      if (pat == kNegativeColumnSlack) {
        EXPECT_TRUE(std::signbit(plain.ms.EA[0][1 + 5]));
      }
    }
}

// Annealing states at high Beta, where most weights are exact zeros, and
// states around the share of live weights where the balancing changes from
// the full sweep to the banded one: the same bits either way, on one thread
// and on two.
TEST(FastStages, BandedBalancingFollowsThePlainOne) {
  Workers one(1), two(2);
  two.min_split = 0;
  for (Workers* workers : {&one, &two})
  for (double Beta : {5.0, 20.0, 60.0, 200.0})
    for (double share : {0.3, 1e9}) {
      SCOPED_TRACE(testing::Message() << "Beta " << Beta << " banded share " << share << " threads "
                                      << workers->count());
      const int K = 41, M = 47;
      Scene plain, fast;
      make_scene(plain, K, M, 3, 9u);
      make_scene(fast, K, M, 3, 9u);
      fast.ms.banded_share = fast.ms.banded_share_split = share;
      for (Scene* s : {&plain, &fast}) s->p.split_offset = 0.9;
      for (int round = 0; round < 3; ++round) {
        const double dp = sinkhorn(plain.ms, plain.p);
        const double df = sinkhorn_fast(fast.ms, fast.p, *workers);
        EXPECT_EQ(std::memcmp(&dp, &df, sizeof dp), 0);
        expect_same_state(plain.ms, fast.ms);
        update_benefits(plain.ms, plain.p, Beta, plain.p.split_offset);
        update_benefits(fast.ms, fast.p, Beta, fast.p.split_offset);
      }
      // Soft targets skip the pairs without weight, unless a point or a
      // metric is not finite (0 * inf is NaN).
      for (int poison = 0; poison < 2; ++poison) {
        if (poison) {
          plain.ms.level_points[2][3 * 7 + 1] = fast.ms.level_points[2][3 * 7 + 1] = HUGE_VAL;
          plain.ms.row_metric[9 * 3 + 4] = fast.ms.row_metric[9 * 3 + 4] = -HUGE_VAL;
        }
        soft_targets(plain.ms);
        soft_targets_fast(fast.ms, two);
        EXPECT_TRUE(same_bits(plain.ms.soft_target, fast.ms.soft_target)) << "poison " << poison;
        EXPECT_TRUE(same_bits(plain.ms.gj_albet, fast.ms.gj_albet)) << "poison " << poison;
      }
      long zeros = 0;
      for (int l = 0; l < 3; ++l)
        for (int k = 1; k <= K * M; ++k) zeros += fast.ms.EA[l][k] == 0.0;
      if (Beta >= 60.0) {
        EXPECT_GT(zeros, 3L * K * M / 2);  // the states the banded sweep is for
      }
    }
  // Live weights scattered at random, 10 % to 40 % of them: blocks of four
  // rows then live in 34 % to 87 % of their columns, the default choices on
  // either side for one thread and for two.
  for (int pct = 10; pct <= 40; pct += 5)
  for (Workers* workers : {&one, &two}) {
    SCOPED_TRACE(pct);
    const int K = 37, M = 33;
    Scene plain, fast;
    make_scene(plain, K, M, 3, 61u + pct);
    make_scene(fast, K, M, 3, 61u + pct);
    std::mt19937 rng(pct);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    for (int l = 0; l < 3; ++l) {
      double* E = plain.ms.EA[l].data() + 1;
      for (int k = 0; k < K * M; ++k) E[k] = u(rng) * 100 < pct ? std::exp(-30.0 * u(rng)) : 0.0;
      fast.ms.EA[l] = plain.ms.EA[l];
    }
    for (int round = 0; round < 2; ++round) {
      const double dp = sinkhorn(plain.ms, plain.p);
      const double df = sinkhorn_fast(fast.ms, fast.p, *workers);
      EXPECT_EQ(std::memcmp(&dp, &df, sizeof dp), 0);
      expect_same_state(plain.ms, fast.ms);
    }
  }
}

TEST(FastFormatting, ValuesPrintAsPercentG) {
  std::vector<double> values = {0.0, -0.0, 1.0, -1.0, 0.5, 2.5, 1e-5, 1e-4, 0.0001, 9.99999e-5, 99999.95,
                                999999.5, 1e6, 999999, 1234565, 1234575, 123456.5, 1e15, 1e100, 1e-300,
                                4.9e-324, -2.2250738585072014e-308, 1.7976931348623157e308, 0.1, 1.0 / 3,
                                -2.0 / 3, 1e-10, 12345.65, 0.000123455, 5e-5, -1e21};
  values.push_back(std::numeric_limits<double>::infinity());
  values.push_back(-std::numeric_limits<double>::infinity());
  values.push_back(std::nan(""));
  values.push_back(-std::nan(""));
  std::mt19937_64 rng(99);
  for (int k = 0; k < 200000; ++k) {
    uint64_t bits = rng();
    double v;
    std::memcpy(&v, &bits, sizeof v);
    values.push_back(v);
    std::uniform_real_distribution<double> e(-12, 12);
    values.push_back(std::pow(10.0, e(rng)) * (k % 2 ? 1 : -1));
    values.push_back(std::round(std::pow(10.0, e(rng)) * 1e3) / 1e3);
  }
  std::string plain, fast;
  for (double v : values) {
    plain.clear();
    fast.clear();
    append_g(plain, v);
    append_g_fast(fast, v);
    ASSERT_EQ(plain, fast) << "value bits " << std::hexfloat << v;
  }
}

// Values just below a power of ten round to six digits either within their
// decade or into the next one: every decade of the doubles, subnormals
// included, with the mantissas where that flips and a few ulps around each.
TEST(FastFormatting, EveryDecadeNearItsUpperEnd) {
  std::vector<std::string> mantissas = {"1", "1.000005", "9.99995", "9.999950000001", "9.999949999999", "9.999999",
                                        "9.9999995", "9.99999949", "9.99999951"};
  for (int m = 999995; m <= 999999; ++m) mantissas.push_back("9." + std::to_string(m).substr(1));
  for (int m = 9999950; m <= 9999999; m += 7) mantissas.push_back("9." + std::to_string(m).substr(1));
  std::string plain, fast;
  long checked = 0;
  for (int e = -324; e <= 308; ++e)
    for (const std::string& mant : mantissas) {
      double v = std::strtod((mant + "e" + std::to_string(e)).c_str(), nullptr);
      for (int k = 0; k < 4; ++k) v = std::nextafter(v, 0.0);
      for (int k = 0; k < 9; ++k, v = std::nextafter(v, HUGE_VAL)) {
        if (!std::isfinite(v)) break;
        for (double w : {v, -v}) {
          plain.clear();
          fast.clear();
          append_g(plain, w);
          append_g_fast(fast, w);
          ASSERT_EQ(plain, fast) << "value bits " << std::hexfloat << w;
          ++checked;
        }
      }
    }
  EXPECT_GT(checked, 200000);
}

// Every part of a job runs exactly once, however many parts there are
// against threads, whether the workers were polling or asleep.
TEST(WorkerThreads, RunEveryPartOnce) {
  for (int threads : {1, 2, 3}) {
    SCOPED_TRACE(threads);
    Workers workers(threads);
    for (int round = 0; round < 60; ++round) {
      const int parts = round % 9;
      std::vector<std::atomic<int>> calls(static_cast<size_t>(parts));
      for (auto& c : calls) c = 0;
      workers.run(parts, [&](int t) { calls[static_cast<size_t>(t)].fetch_add(1); });
      for (int t = 0; t < parts; ++t) ASSERT_EQ(calls[static_cast<size_t>(t)].load(), 1) << "part " << t << " of " << parts;
      if (round % 20 == 19) std::this_thread::sleep_for(std::chrono::milliseconds(5));  // the workers sleep
    }
  }
}

// Perm files at high Beta are long runs of +0: runs of every length around
// the writer's chunk, at the start and end of rows, next to -0 and to
// values, in whole files written by both writers.
TEST(FastFormatting, MatricesWithRunsOfZerosWriteAsPlain) {
  const int rows = 9, cols = 1300;
  std::vector<double> m(static_cast<size_t>(rows) * cols, 0.0);
  std::mt19937 rng(5);
  std::uniform_int_distribution<int> len(0, 1100);
  for (int r = 1; r < rows; ++r) {
    double* row = m.data() + static_cast<long>(r) * cols;
    for (int c = len(rng) % 3; c < cols; c += 1 + len(rng))
      row[c] = r % 3 == 0 ? -0.0 : std::exp(-c / 50.0) * (c % 2 ? 1 : -1);
  }
  for (int c : {0, 1, 511, 512, 513, 1024, 1025}) m[3L * cols + c] = 0.5;  // runs of 510, 511, 1 and 1
  vantu_test::RunDir dir;
  Workers two(2);
  two.min_split = 0;
  ASSERT_TRUE(write_matrix(dir.file("plain.dat").c_str(), rows, m.data(), cols));
  ASSERT_TRUE(write_matrix_fast(dir.file("fast.dat").c_str(), rows, m.data(), cols, &two));
  ASSERT_TRUE(write_matrix_fast(dir.file("fast1.dat").c_str(), rows, m.data(), cols));
  EXPECT_EQ(dir.read("plain.dat"), dir.read("fast.dat"));
  EXPECT_EQ(dir.read("plain.dat"), dir.read("fast1.dat"));
}
