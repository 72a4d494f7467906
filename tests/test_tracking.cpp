// Tracking accuracy on simulated colonies: the program must find the true
// ancestor of most second-frame cells, divisions included. The bars sit a
// little below what the program achieves, to catch a broken algorithm, not to
// tune parameters.
#include <gtest/gtest.h>

#include <cstdlib>

#include "tests/harness.h"

using vantu_test::Config;
using vantu_test::RunDir;
using vantu_test::table;

namespace {

struct Score {
  int plain = 0, plain_right = 0;
  int daughters = 0, daughters_right = 0;
  double share() const {
    return double(plain_right + daughters_right) / double(plain + daughters);
  }
};

// Compares "Match.dat" with the simulator's truth, line by line: a plain cell
// must be matched at level 0 to its ancestor, a daughter at level 1 or 2.
Score score(const RunDir& dir) {
  auto truth = table(dir.read("truth.dat"));
  auto match = table(dir.read("Match.dat"));
  Score s;
  size_t row = 0;
  for (const auto& t : truth) {
    if (t.empty() || t[0][0] == '#') continue;
    if (row >= match.size()) break;
    const auto& m = match[row++];
    const std::string& ancestor = t[1];
    if (t[2] == "1") {
      ++s.daughters;
      s.daughters_right += (m[1] == ancestor || m[2] == ancestor);
    } else {
      ++s.plain;
      s.plain_right += (m[0] == ancestor);
    }
  }
  EXPECT_EQ(row, match.size());
  return s;
}

// The bundled example's parameters.
Config tracking_config() {
  Config c;
  c.BetaInit = 1.0;
  c.rEvar = 0.0025;
  return c;
}

class TrackingTest : public ::testing::TestWithParam<int> {};

TEST_P(TrackingTest, FindsTheTrueAncestorOfMostCells) {
  RunDir dir;
  ASSERT_TRUE(vantu_test::simulate(dir, 50, GetParam(), "newbact/image026.dat", "newbact/image029.dat",
                                   "truth.dat"));
  dir.write("softconfig.dat", tracking_config().text());
  ASSERT_EQ(dir.run().status, 0);
  Score s = score(dir);
  ASSERT_GT(s.daughters, 0);
  EXPECT_GE(s.share(), 0.85) << s.plain_right << "/" << s.plain << " plain, " << s.daughters_right << "/"
                            << s.daughters << " daughters";
  EXPECT_GE(double(s.daughters_right) / s.daughters, 0.6);
}

INSTANTIATE_TEST_SUITE_P(Seeds, TrackingTest, ::testing::Values(3, 5));

}  // namespace
