// Whole runs of the program: which files appear, what they hold, and how the
// special cases end.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <memory>

#include "run/writers.h"
#include "tests/harness.h"

using vantu_test::Cell;
using vantu_test::Config;
using vantu_test::Outcome;
using vantu_test::RunDir;
using vantu_test::cells_text;
using vantu_test::lines;
using vantu_test::table;

namespace {

// Four cells, one of which divides, moved a little between the frames.
const std::vector<Cell> kFirst = {
    {10, 10, 20, 0, 11}, {30, 12, 40, 90, 12}, {52, 8, 22, 10, 13}, {20, 35, 24, 45, 14}};
const std::vector<Cell> kSecond = {
    {11, 10.5, 21, 0, 1},  {31, 22.5, 20, 90, 2}, {31, 2.5, 20, 90, 3},
    {53, 8.4, 23, 10, 4},  {21, 35.2, 25, 45, 5}};

class WholeRunTest : public ::testing::Test {
 protected:
  // A short schedule: three temperature steps.
  Config short_config(int max_split) {
    Config c;
    c.MaxSplit = max_split;
    c.BetaInit = 1.0;
    c.BetaMax = 1.2;
    return c;
  }
  Outcome run(const Config& c, const std::vector<Cell>& first = kFirst,
              const std::vector<Cell>& second = kSecond) {
    dir().write("softconfig.dat", c.text());
    dir().write("newbact/image026.dat", cells_text(first));
    dir().write("newbact/image029.dat", cells_text(second));
    return dir().run();
  }
  std::vector<std::string> results() {
    std::vector<std::string> names;
    for (const auto& f : dir().files())
      if (f != "softconfig.dat") names.push_back(f);
    return names;
  }
  RunDir& dir() { return *current; }
  void fresh() { current = std::make_unique<RunDir>(); }
  std::unique_ptr<RunDir> current = std::make_unique<RunDir>();
};

const char* const kEnd = "\n\nend of process\n";

bool ends_with(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

TEST_F(WholeRunTest, FileSetFollowsTheNumberOfLevels) {
  using V = std::vector<std::string>;
  Outcome one = run(short_config(1));
  EXPECT_EQ(one.status, 0);
  EXPECT_TRUE(ends_with(one.out, "  loaded 5 points from newbact/image029.dat.\n\n" + std::string(kEnd)));
  EXPECT_EQ(results(), (V{"Match.dat", "Perm0.dat", "h0slack.dat", "out.dat", "tps_c.dat", "v0slack.dat"}));

  fresh();
  run(short_config(2));
  EXPECT_EQ(results(), (V{"Match.dat", "Perm0.dat", "Perm1.dat", "h0slack.dat", "out.dat", "out1.dat",
                          "tps_c.dat", "v0slack.dat", "v1slack.dat"}));
  fresh();
  run(short_config(3));
  EXPECT_EQ(results(), (V{"Match.dat", "Perm0.dat", "Perm1.dat", "Perm2.dat", "h0slack.dat", "out.dat",
                          "out1.dat", "out2.dat", "tps_c.dat", "v0slack.dat", "v1slack.dat", "v2slack.dat"}));
}

TEST_F(WholeRunTest, ResultFilesHaveTheirShapes) {
  run(short_config(3));
  auto match = table(dir().read("Match.dat"));
  ASSERT_EQ(match.size(), 5u);
  for (const auto& row : match) EXPECT_EQ(row.size(), 4u);
  for (const std::string& line : lines(dir().read("Match.dat")))  // "a  b  c  id "
    EXPECT_EQ(std::count(line.begin(), line.end(), ' '), 7);
  EXPECT_EQ(table(dir().read("Match.dat"))[3][3], "4");
  auto perm = table(dir().read("Perm0.dat"));
  ASSERT_EQ(perm.size(), 4u);
  EXPECT_EQ(perm[0].size(), 5u);
  EXPECT_EQ(table(dir().read("v0slack.dat")).size(), 4u);
  EXPECT_EQ(table(dir().read("h0slack.dat")).size(), 5u);
  auto tps = table(dir().read("tps_c.dat"));
  ASSERT_EQ(tps.size(), 8u);
  for (size_t r = 0; r < tps.size(); ++r) {
    ASSERT_EQ(tps[r].size(), 3u);
    EXPECT_EQ(tps[r][0], r == 0 ? "1" : "0");
  }
  auto out = table(dir().read("out.dat"));
  ASSERT_EQ(out.size(), 5u);
  EXPECT_EQ(out[0][0] + " " + out[0][1] + " " + out[0][2], "1 10 10");
  EXPECT_EQ(out[0][3] + " " + out[0][4] + " " + out[0][5], "1 11 10.5");
  // Five second-frame cells but four first-frame cells: the last line shows zeros.
  EXPECT_EQ(lines(dir().read("out.dat"))[4].rfind("0 0 0  1 21 35.2  ", 0), 0u);
}

TEST_F(WholeRunTest, FirstStepShowsTheConstantStartAndUnitSlacks) {
  Config c = short_config(3);
  c.BetaMax = 1.05;  // a single temperature step
  run(c);
  // K = 4, M = 5, three levels: E = 6, entries A*m*0.5 at every level.
  const double E = 6, M = 5;
  const double h = std::sqrt((E - M) * (E - M) + 2 * (E + M) + 1);
  const double A = (h + E - M - 1) / (2 * E), m = (h - E + M - 1) / (2 * M);
  char value[32];
  std::snprintf(value, sizeof value, "%g", A * m * 0.5);
  for (const char* name : {"Perm0.dat", "Perm1.dat", "Perm2.dat"})
    for (const auto& row : table(dir().read(name)))
      for (const auto& v : row) EXPECT_EQ(v, value) << name;
  for (const char* name : {"v0slack.dat", "v1slack.dat", "v2slack.dat", "h0slack.dat"})
    for (const std::string& line : lines(dir().read(name))) EXPECT_EQ(line, "1 ") << name;
}

TEST_F(WholeRunTest, BetaInitAtBetaMaxRunsNoStep) {
  Config c = short_config(3);
  c.BetaInit = c.BetaMax = 5.0;
  Outcome o = run(c);
  EXPECT_EQ(o.status, 0);
  EXPECT_TRUE(ends_with(o.out, "loaded 5 points from newbact/image029.dat.\n\n" + std::string(kEnd)));
  EXPECT_TRUE(results().empty());
}

TEST_F(WholeRunTest, SingleFirstCellThatMovedOrDivided) {
  Config c = short_config(3);
  std::vector<Cell> one = {{10, 10, 20, 0, 7}};
  Outcome moved = run(c, one, {{11, 10, 21, 0, 3}});
  EXPECT_EQ(moved.status, 0);
  EXPECT_TRUE(ends_with(moved.out, "loaded 1 points from newbact/image029.dat.\n\n"));
  EXPECT_EQ(dir().read("Match.dat"), "7  0  0  3 \n");
  EXPECT_EQ(results(), std::vector<std::string>{"Match.dat"});

  Outcome divided = run(c, {{10, 10, 20, 0, 6.5}}, {{5, 10, 10, 0, 1}, {15, 10, 10, 0, 2}});
  EXPECT_EQ(divided.status, 0);
  EXPECT_EQ(dir().read("Match.dat"), "0  0  7  1 \n0  7  0  2 \n");
}

TEST_F(WholeRunTest, SingleFirstCellWithThreeOrNoSecondCellsIsRefused) {
  std::vector<Cell> one = {{10, 10, 20, 0, 7}};
  Outcome three = run(short_config(3), one, {{1, 1, 20, 0, 1}, {2, 2, 20, 0, 2}, {3, 3, 20, 0, 3}});
  EXPECT_TRUE(ends_with(three.out, "loaded 3 points from newbact/image029.dat.\n\nnon-supported case K=1, M>2\n"));
  EXPECT_EQ(three.status, 1);
  Outcome none = run(short_config(3), one, {});
  EXPECT_TRUE(ends_with(none.out, "\n\nnon-supported case K=1, M>2\n"));
  EXPECT_EQ(none.status, 1);
  EXPECT_TRUE(results().empty());
}

TEST_F(WholeRunTest, EmptySecondFrameIsRefused) {
  Outcome o = run(short_config(3), kFirst, {});
  EXPECT_TRUE(ends_with(o.out, "loaded 0 points from newbact/image029.dat.\n\nERROR: nothing to match (K=4, M=0)\n"));
  EXPECT_EQ(o.status, 1);
}

TEST_F(WholeRunTest, UnwritableResultFileIsReportedOnceAndTheRunGoesOn) {
  Outcome normal = run(short_config(3));
  std::string normal_out = dir().read("out.dat");
  fresh();
  dir().write("Match.dat/keep", "");  // a directory where the file should be
  dir().write("tps_c.dat/keep", "");
  Outcome o = run(short_config(3));
  EXPECT_EQ(o.status, 0);
  EXPECT_EQ(o.out, normal.out);
  EXPECT_EQ(o.err, "warning: cannot write Match.dat\nwarning: cannot write tps_c.dat\n");
  EXPECT_EQ(dir().read("out.dat"), normal_out);
}

}  // namespace
