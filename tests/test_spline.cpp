// The thin-plate-spline warp: kernel, normal-equation blocks and the update.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "run/writers.h"
#include "tests/harness.h"
#include "warp/TPS.h"

using namespace vantu;

namespace {

const double kE = std::exp(1.0);

PointSet points(const std::vector<std::pair<double, double>>& xy) {
  PointSet s;
  s.xy.assign(2 * kPointCapacity, 0.0);
  for (auto* v : {&s.len, &s.ang, &s.id}) v->assign(kPointCapacity, 0.0);
  for (size_t i = 0; i < xy.size(); ++i) s.xy[2 * i] = xy[i].first, s.xy[2 * i + 1] = xy[i].second;
  s.count = static_cast<int>(xy.size());
  return s;
}

// One level, identity metric; every update runs inside a scratch directory.
class SplineTest : public ::testing::Test {
 protected:
  ParameterSet p;
  PointInput in;
  MatchState ms;
  SplineState sp;
  ResultFiles files;
  vantu_test::RunDir dir;
  std::string home;

  void SetUp() override {
    char buf[4096];
    ASSERT_NE(getcwd(buf, sizeof buf), nullptr);
    home = buf;
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    p.MaxSplit = 1;
    p.alphaS = 1.0;
    p.lambda1 = 0.3;
    p.lambda2 = 0.2;
  }
  void TearDown() override { ASSERT_EQ(chdir(home.c_str()), 0); }

  // First set `first`, second set `second`, match matrix the identity.
  void build(const std::vector<std::pair<double, double>>& first,
             const std::vector<std::pair<double, double>>& second) {
    in.first = points(first);
    in.second = points(second);
    ms.sparse_eps = 0.0;
    init_match_geometry(ms, in, p);
    match_init(ms, p);
    for (int i = 0; i < ms.K; ++i)
      for (int j = 0; j < ms.M; ++j) ms.EA[0][1 + i * ms.M + j] = (i == j) ? 1.0 : 0.0;
    build_kernel(sp, ms);
    sp.tpsc.assign(3 * (ms.M + 3), 0.0);
    mat_identity(ms.M + 3, 3, sp.tpsc.data());
  }
};

const std::vector<std::pair<double, double>> kCells = {{0, 0}, {10, 0}, {0, 10}, {12, 11}, {5, 4}};

TEST_F(SplineTest, KernelIsHalfR2LogR2) {
  // Unit distances, a coincident pair and the diagonal.
  build({{0, 0}}, {{0, 0}, {1, 0}, {0, 0}});
  for (int a = 0; a < 3; ++a)
    for (int b = 0; b < 3; ++b) EXPECT_EQ(sp.FI[3 * a + b], 0.0) << a << "," << b;

  build({{0, 0}}, {{0, 0}, {std::sqrt(kE), 0}});
  EXPECT_NEAR(sp.FI[1], kE / 2, 1e-15);
  EXPECT_NEAR(sp.FI[2], kE / 2, 1e-15);
  EXPECT_NEAR(kernel_scale(sp), kE / 2, 1e-15);

  build({{0, 0}}, {{0, 0}, {2, 0}});
  EXPECT_EQ(point_spread(ms), 1.0);
}

TEST_F(SplineTest, BlocksWithoutMatchesHoldOnlyThePenalties) {
  build(kCells, kCells);
  const int M = ms.M, W = 3 * M;
  std::fill(ms.gj_albet.begin(), ms.gj_albet.end(), 0.0);
  std::fill(ms.soft_target.begin(), ms.soft_target.end(), 0.0);
  affine_block(sp, ms, p);
  cross_block(sp, ms);
  warp_block(sp, ms, p);
  warp_rhs(sp, ms);
  affine_rhs(sp, ms, p);
  for (int r = 0; r < 9; ++r)
    for (int c = 0; c < 9; ++c) EXPECT_EQ(sp.A[9 * r + c], r == c ? 0.2 : 0.0);
  for (double b : sp.B) EXPECT_EQ(b, 0.0);
  for (double b : sp.Bt) EXPECT_EQ(b, 0.0);
  for (int j = 0; j < M; ++j)
    for (int q = 0; q < 3; ++q)
      for (int k = 0; k < M; ++k)
        for (int d = 0; d < 3; ++d)
          EXPECT_EQ(sp.C[(3 * j + q) * W + 3 * k + d], q == d ? 0.3 * sp.FI[j * M + k] : 0.0);
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) EXPECT_EQ(sp.RD[3 * r + c], r == c ? 0.2 : 0.0);
  for (double r : sp.RW) EXPECT_EQ(r, 0.0);
}

TEST_F(SplineTest, MatchesOntoTheControlPointsGiveTheIdentityWarp) {
  build(kCells, kCells);
  tps_update(sp, ms, p);
  const int M = ms.M;
  for (int r = 0; r < M + 3; ++r)
    for (int c = 0; c < 3; ++c)
      EXPECT_NEAR(sp.tpsc[3 * r + c], (r < 3 && r == c) ? 1.0 : 0.0, 1e-9) << r << "," << c;
  for (int k = 0; k < 3 * M; ++k) EXPECT_NEAR(ms.warped_points[k], ms.vij[k], 1e-9) << k;
}

TEST_F(SplineTest, UpdateFixesTheHomogeneousColumn) {
  std::vector<std::pair<double, double>> moved;
  for (auto& c : kCells) moved.push_back({c.first * 1.05 + 0.5, c.second - 0.02 * c.first * c.first + 0.3});
  build(kCells, moved);
  tps_update(sp, ms, p);
  const int M = ms.M;
  for (int r = 0; r < M + 3; ++r) EXPECT_EQ(sp.tpsc[3 * r], r == 0 ? 1.0 : 0.0) << r;
  ASSERT_EQ(sp.tpsc.size(), static_cast<size_t>(3 * (M + 3)));

  // Unchanged matches: the same coefficients, bit for bit.
  const std::vector<double> once = sp.tpsc;
  tps_update(sp, ms, p);
  EXPECT_EQ(sp.tpsc, once);
}

TEST_F(SplineTest, SingularSystemKeepsThePreviousCoefficients) {
  build({{3, 4}}, {{3.5, 4.5}});
  testing::internal::CaptureStdout();
  tps_update(sp, ms, p);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "ERROR (reverse): singular matrices\n");
  EXPECT_EQ(sp.tpsc, (std::vector<double>{1, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0}));
  EXPECT_EQ(ms.warped_points, (std::vector<double>{1, 3.5, 4.5}));
}

}  // namespace
