// The matcher as a library call: the same result files as the program, the
// hard matches as first-set indices, and calls side by side in threads.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "base/check.h"
#include "base/subnormals.h"
#include "input/load_points.h"
#include "run/config.h"
#include "run/driver.h"
#include "matrix/kernels.h"
#include "tests/harness.h"

using vantu_test::Config;
using vantu_test::RunDir;
using namespace vantu;

namespace {

class LibraryTest : public ::testing::Test {
 protected:
  RunDir inputs;
  Config config;
  ParameterSet params;
  PointInput points;

  void SetUp() override {
    ASSERT_TRUE(vantu_test::simulate(inputs, 40, 7, "a.dat", "b.dat", "truth.dat"));
    config.BetaInit = 2.0;
    config.BetaMax = 30.0;
    config.BetaIncr = 1.2;
    config.rEvar = 0.0025;
    inputs.write("softconfig.dat", config.text());
    load_config(params, inputs.file("softconfig.dat").c_str());
    points.first_file = inputs.file("a.dat");
    points.second_file = inputs.file("b.dat");
    load_point_sets(points, params);
  }
};

TEST_F(LibraryTest, WritesTheProgramsFilesIntoTheNamedFolder) {
  const vantu_test::Outcome program = inputs.run({"a.dat", "b.dat"});
  ASSERT_EQ(program.status, 0) << program.out;

  RunDir out;
  PairOptions options;
  options.out_dir = out.path();
  const PairResult r = match_pair(points.first, points.second, params, options);
  ASSERT_EQ(r.status, 0) << r.message;
  for (const std::string& name : out.files())
    EXPECT_TRUE(out.read(name) == inputs.read(name)) << name << " differs from the program's";
  EXPECT_EQ(out.files().size(), 12u);
}

TEST_F(LibraryTest, MatchedRowsAgreeWithMatchFile) {
  RunDir out;
  PairOptions options;
  options.out_dir = out.path();
  const PairResult r = match_pair(points.first, points.second, params, options);
  ASSERT_EQ(r.status, 0);
  const auto rows = vantu_test::table(out.read("Match.dat"));
  ASSERT_EQ(rows.size(), static_cast<size_t>(r.M));
  int matched = 0;
  for (int j = 0; j < r.M; ++j)
    for (int l = 0; l < 3; ++l) {
      const int i = r.matched_row[l][static_cast<size_t>(j)];
      const int id = i < 0 ? 0 : round_to_int(points.first.id[static_cast<size_t>(i)]);
      EXPECT_EQ(std::to_string(id), rows[static_cast<size_t>(j)][static_cast<size_t>(l)]) << j << "," << l;
      matched += i >= 0;
    }
  EXPECT_GT(matched, r.M / 2);
}

TEST_F(LibraryTest, WritesNothingWithoutFolderAndRunsSideBySide) {
  RunDir quiet;
  const std::vector<std::string> before = quiet.files();
  PairResult results[3];
  std::vector<std::thread> threads;
  for (int t = 0; t < 3; ++t)
    threads.emplace_back([&, t]() {
      PairOptions options;
      options.fast = t != 2;  // one on the plain kernels
      results[t] = match_pair(points.first, points.second, params, options);
    });
  for (auto& th : threads) th.join();
  for (int t = 1; t < 3; ++t)
    for (int l = 0; l < 3; ++l) EXPECT_EQ(results[t].matched_row[l], results[0].matched_row[l]);
  EXPECT_EQ(quiet.files(), before);
}

TEST_F(LibraryTest, RefusalsComeBackAsStatus) {
  ParameterSet bad = params;
  bad.MaxSplit = 4;
  const PairResult r = match_pair(points.first, points.second, bad, PairOptions());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.message, "ERROR: MaxSplit=4 is not supported (use 1, 2 or 3)\n");
  bad = params;
  bad.BetaIncr = 0.5;
  EXPECT_EQ(match_pair(points.first, points.second, bad, PairOptions()).message,
            "ERROR: the annealing never ends (BetaInit=2, BetaIncr=0.5, BetaMax=30)\n");

  PointSet one;
  reset_point_set(one);
  one.count = 1;
  one.len[0] = 20;
  one.id[0] = 9;
  PointSet two = one;
  two.count = 2;
  const PairResult split = match_pair(one, two, params, PairOptions());
  EXPECT_EQ(split.status, 0);
  EXPECT_EQ(split.matched_row[1], (std::vector<int>{-1, 0}));
  EXPECT_EQ(split.matched_row[2], (std::vector<int>{0, -1}));
  EXPECT_EQ(split.matched_row[0], (std::vector<int>{-1, -1}));
}

}  // namespace

// The tracker's arithmetic through the library call: the files of the
// program run with the same options, the caller's own setting back after the
// call, and the kernel's threads flushing as the caller's thread does.
TEST_F(LibraryTest, TheTrackersArithmeticIsTheProgramsOptionsAndStaysInTheCall) {
  const vantu_test::Outcome program = inputs.run({"--flush-subnormals", "--drop-below", "1e-12", "a.dat", "b.dat"});
  ASSERT_EQ(program.status, 0) << program.out << program.err;
  RunDir out;
  PairOptions options;
  options.out_dir = out.path();
  options.threads = 2;
  options.flush_subnormals = true;
  ParameterSet p = params;
  p.drop_below = 1e-12;
  const bool before = flushing_subnormals();
  const PairResult r = match_pair(points.first, points.second, p, options);
  ASSERT_EQ(r.status, 0) << r.message;
  EXPECT_EQ(flushing_subnormals(), before);
  for (const std::string& name : out.files())
    EXPECT_TRUE(out.read(name) == inputs.read(name)) << name << " differs from the program's";
  EXPECT_EQ(out.files().size(), 12u);
}

TEST(SubnormalMode, GuardsNestAndRestoreAndWorkersFollowTheirMaker) {
  const bool outer = flushing_subnormals();
  {
    SubnormalMode on(true);
#if defined(__x86_64__)
    EXPECT_TRUE(flushing_subnormals());
    volatile double tiny = 1e-300;
    EXPECT_EQ(tiny * 1e-20, 0.0);  // would be subnormal
#endif
    {
      SubnormalMode off(false);
      EXPECT_FALSE(flushing_subnormals());
    }
#if defined(__x86_64__)
    EXPECT_TRUE(flushing_subnormals());
#endif
    Workers workers(2);
    workers.min_split = 0;
    int flushed[2] = {-1, -1};
    workers.run(2, [&](int t) { flushed[t] = flushing_subnormals(); });
    EXPECT_EQ(flushed[0], flushed[1]);
#if defined(__x86_64__)
    EXPECT_EQ(flushed[1], 1);
#endif
  }
  EXPECT_EQ(flushing_subnormals(), outer);
  Workers plain(2);
  int flushed[2] = {-1, -1};
  plain.run(2, [&](int t) { flushed[t] = flushing_subnormals(); });
  EXPECT_EQ(flushed[1], static_cast<int>(outer));
}
