// The run's fixed numbers pinned on tiny cases, against values worked out
// from the formulas rather than taken from a run: the split offset and the
// Beta above which divisions are weighed, the temperature schedule, the
// predicted daughter positions and the daughter jitter of two levels. (The
// fast and plain kernels share all of these, so comparing the two programs
// would never notice a changed constant.)
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/harness.h"

using vantu_test::Cell;
using vantu_test::Config;
using vantu_test::RunDir;
using vantu_test::table;

namespace {

std::string g(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%g", v);
  return buf;
}

class PinnedTest : public ::testing::Test {
 protected:
  // Runs vantu-plain and vantu on the cells; both must leave the same files.
  void run(const Config& c, const std::vector<Cell>& first, const std::vector<Cell>& second) {
    for (RunDir* d : {&plain, &fast}) {
      d->write("softconfig.dat", c.text());
      d->write("newbact/image026.dat", vantu_test::cells_text(first));
      d->write("newbact/image029.dat", vantu_test::cells_text(second));
    }
    ASSERT_EQ(plain.run({}, VANTU_PLAIN_BIN).status, 0);
    ASSERT_EQ(fast.run().status, 0);
    for (const std::string& name : plain.files()) ASSERT_EQ(plain.read(name), fast.read(name)) << name;
  }
  std::vector<std::vector<double>> values(const std::string& name) {
    std::vector<std::vector<double>> rows;
    for (const auto& row : table(fast.read(name))) {
      rows.emplace_back();
      for (const std::string& v : row) rows.back().push_back(std::strtod(v.c_str(), nullptr));
    }
    return rows;
  }
  // The ratio of every daughter-level weight to the plain weight of the same
  // pair, in the Perm files a temperature step starts with.
  std::vector<double> daughter_ratios() {
    std::vector<double> ratios;
    const auto p0 = values("Perm0.dat");
    for (const char* name : {"Perm1.dat", "Perm2.dat"}) {
      const auto pl = values(name);
      EXPECT_EQ(pl.size(), p0.size());
      for (size_t i = 0; i < pl.size() && i < p0.size(); ++i)
        for (size_t j = 0; j < pl[i].size() && j < p0[i].size(); ++j) ratios.push_back(pl[i][j] / p0[i][j]);
    }
    return ratios;
  }
  RunDir plain, fast;
};

// Cells of length 0: their predicted daughters sit on the cell itself, so a
// daughter pair has the plain pair's benefit TH - rEvar d^2 plus
// (split offset - TH), whatever the warp, and shares its row and column
// shifts. Every daughter weight is the plain weight times
// exp(Beta * (split offset - TH)) once Beta is above 5, and 0 (an offset of
// -10000) up to 5.
const std::vector<Cell> kPoints = {{0, 0, 0, 0, 1}, {30, 4, 0, 30, 2}, {12, 25, 0, 120, 3}};
const std::vector<Cell> kMoved = {{1, 0.5, 10, 0, 1}, {29, 5, 10, 30, 2}, {12, 23, 10, 120, 3}, {20, 10, 10, 0, 4}};

Config schedule(double init, double incr, double max) {
  Config c;
  c.BetaInit = init;
  c.BetaIncr = incr;
  c.BetaMax = max;
  c.TH = 1.0;
  c.rEvar = 0.0025;
  return c;
}

TEST_F(PinnedTest, DaughterWeightsCarryTheSplitOffsetAboveBetaFive) {
  // Two steps, at Beta 6 and 6.6; the files of the second show the benefits
  // of the first: exp(6 * (0.9 - 1)).
  run(schedule(6, 1.1, 7), kPoints, kMoved);
  const std::vector<double> ratios = daughter_ratios();
  ASSERT_EQ(ratios.size(), 2u * 3 * 4);
  for (double r : ratios) EXPECT_NEAR(r, std::exp(-0.6), 2e-5 * std::exp(-0.6));
  EXPECT_EQ(g(ratios[0]), "0.548812");

  // TH 1.2: exp(6 * (0.9 - 1.2)).
  Config c = schedule(6, 1.1, 7);
  c.TH = 1.2;
  run(c, kPoints, kMoved);
  for (double r : daughter_ratios()) EXPECT_NEAR(r, std::exp(-1.8), 2e-5 * std::exp(-1.8));
}

TEST_F(PinnedTest, DivisionsAreWeighedOnlyAboveBetaFive) {
  run(schedule(5, 1.01, 5.06), kPoints, kMoved);  // steps at 5 and 5.05
  for (double r : daughter_ratios()) EXPECT_EQ(r, 0.0);
  run(schedule(5.001, 1.01, 5.06), kPoints, kMoved);
  for (double r : daughter_ratios()) EXPECT_NEAR(r, std::exp(-0.5001), 2e-5);
}

TEST_F(PinnedTest, ScheduleMultipliesBetaUntilItReachesBetaMax) {
  // Steps at 6, 6.6, 7.26 and 7.986 (below 8); the last one starts with the
  // benefits of the one at 7.26.
  run(schedule(6, 1.1, 8), kPoints, kMoved);
  for (double r : daughter_ratios()) EXPECT_NEAR(r, std::exp(-0.726), 2e-5);
  // A step at BetaMax itself does not run: from 6 by 1.25 (exact in binary)
  // to 9.375 the steps are at 6 and 7.5, and the files hold the benefits of
  // the step at 6.
  run(schedule(6, 1.25, 9.375), kPoints, kMoved);
  for (double r : daughter_ratios()) EXPECT_NEAR(r, std::exp(-0.6), 2e-5);
}

TEST_F(PinnedTest, DaughtersArePredictedAQuarterLengthAlongTheAxis) {
  // Under three levels the daughters of a cell at (x, y) of length L and
  // angle a lie at (x, y) +- L/4 (cos t, -sin t), t = a / 57.3; out1.dat and
  // out2.dat show them in their first group.
  const std::vector<Cell> first = {{10, 10, 20, 90, 1}, {50, 20, 40, 60, 2}, {30, 40, 8, 0, 3}};
  run(schedule(1, 1.075, 1.05), first, kMoved);
  const auto out1 = table(fast.read("out1.dat")), out2 = table(fast.read("out2.dat"));
  ASSERT_EQ(out1.size(), 4u);
  ASSERT_EQ(out2.size(), 4u);
  const double expected[3][4] = {
      // x + L/4 cos t, y - L/4 sin t, and the second daughter
      {10.000578, 5.0, 9.999422, 15.0},  // 90 degrees read as 1.5706806 rad
      {55.000668, 11.340132, 44.999332, 28.659868},
      {32.0, 40.0, 28.0, 40.0}};
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(out1[i][0], "1");
    EXPECT_EQ(out1[i][1], g(expected[i][0])) << i;
    EXPECT_EQ(out1[i][2], g(expected[i][1])) << i;
    EXPECT_EQ(out2[i][1], g(expected[i][2])) << i;
    EXPECT_EQ(out2[i][2], g(expected[i][3])) << i;
  }
  EXPECT_EQ(out1[3][0] + out1[3][1] + out1[3][2], "000");  // no fourth first-frame cell
}

TEST_F(PinnedTest, TwoLevelsJitterTheDaughterByTheFirstDrawsOfTheGenerator) {
  // Under two levels the "daughter" is the cell moved by (r1, r2) * 0.001 /
  // sqrt 2, r = draw / 32767, from the generator state * 214013 + 2531011
  // started at 1: draws 41 and 18467, then 6334 and 26500.
  Config c = schedule(1, 1.075, 1.05);
  c.MaxSplit = 2;
  const std::vector<Cell> first = {{0, 0, 20, 0, 1}, {0.5, 0.25, 20, 0, 2}};
  run(c, first, kMoved);
  const auto out1 = table(fast.read("out1.dat"));
  ASSERT_GE(out1.size(), 2u);
  const double unit = 0.001 / std::sqrt(2.0) / 32767;
  EXPECT_EQ(out1[0][1], "8.84774e-07");
  EXPECT_EQ(out1[0][1], g(41 * unit));
  EXPECT_EQ(out1[0][2], "0.000398515");
  EXPECT_EQ(out1[0][2], g(18467 * unit));
  EXPECT_EQ(out1[1][1], "0.500137");
  EXPECT_EQ(out1[1][2], "0.250572");
}

}  // namespace
