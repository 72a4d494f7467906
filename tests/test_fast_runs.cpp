// Whole runs of vantu (fast kernels) against vantu-plain (the literal
// kernels) on the same simulated colonies: every result file and the console
// output must be identical byte for byte.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "tests/harness.h"

using vantu_test::Config;
using vantu_test::Outcome;
using vantu_test::RunDir;
using vantu_test::lines;
using vantu_test::simulate;

namespace {

// Standard output without the progress lines: they carry the elapsed time
// (and only appear once a run is past ten seconds).
std::string without_progress(const std::string& out) {
  std::string kept;
  for (const std::string& line : lines(out))
    if (line.rfind("  Beta:", 0) != 0) kept += line + "\n";
  return kept;
}

struct Comparison {
  Outcome plain, fast;
};

// Runs both programs on the first/second files of `inputs` (passed in that
// order, so a swapped pair gives K > M) and compares everything they leave.
// `options` go before the files (the tracker's arithmetic).
Comparison run_both(const RunDir& inputs, const Config& c, const std::string& first, const std::string& second,
                    const std::vector<std::string>& options = {}) {
  RunDir plain_dir, fast_dir;
  for (const RunDir* d : {&plain_dir, &fast_dir}) {
    d->write("softconfig.dat", c.text());
    d->write(first, inputs.read(first));
    d->write(second, inputs.read(second));
  }
  Comparison r;
  std::vector<std::string> args = options;
  args.push_back(first);
  args.push_back(second);
  r.plain = plain_dir.run(args, VANTU_PLAIN_BIN);
  r.fast = fast_dir.run(args, VANTU_BIN);
  EXPECT_EQ(r.plain.status, r.fast.status);
  EXPECT_EQ(without_progress(r.plain.out), without_progress(r.fast.out));
  EXPECT_EQ(r.plain.err, r.fast.err);
  const std::vector<std::string> names = plain_dir.files();
  EXPECT_EQ(names, fast_dir.files());
  for (const std::string& name : names) {
    const std::string a = plain_dir.read(name), b = fast_dir.read(name);
    EXPECT_TRUE(a == b) << name << " differs (" << a.size() << " vs " << b.size() << " bytes)";
  }
  return r;
}

Config schedule(int max_split, double beta_init, double beta_max) {
  Config c;
  c.MaxSplit = max_split;
  c.BetaInit = beta_init;
  c.BetaMax = beta_max;
  return c;
}

// The fast program splits every job over its threads, however small, so
// that these small colonies take the parallel paths too.
class FastRuns : public ::testing::Test {
 protected:
  void SetUp() override { setenv("VANTU_MIN_SPLIT", "0", 1); }
  void TearDown() override { unsetenv("VANTU_MIN_SPLIT"); }
  void colony(int cells, int seed) { ASSERT_TRUE(simulate(inputs, cells, seed, "first.dat", "second.dat", "truth.dat")); }
  RunDir inputs;
};

}  // namespace

// Early temperatures (split levels off) and late ones (splits on, two steps
// past BetaSplit) for every number of levels, isotropic and elongated
// metrics.
TEST_F(FastRuns, EveryLevelCountGivesTheSameFiles) {
  colony(60, 7);
  for (int S : {1, 2, 3}) {
    SCOPED_TRACE(S);
    run_both(inputs, schedule(S, 1.0, 1.2), "first.dat", "second.dat");
    Config late = schedule(S, 6.0, 7.0);
    late.alphaS = S == 2 ? 0.5 : 1.0;
    run_both(inputs, late, "first.dat", "second.dat");
  }
}

TEST_F(FastRuns, MoreCellsInTheFirstFrameAndHighBeta) {
  colony(45, 11);
  Config c = schedule(3, 6.0, 6.5);
  c.alphaS = 0.6;
  run_both(inputs, c, "second.dat", "first.dat");  // K > M
  // Most weights exact zeros, for every number of levels.
  for (int S : {1, 2, 3}) run_both(inputs, schedule(S, 50.0, 60.0), "first.dat", "second.dat");
  run_both(inputs, schedule(3, 150.0, 170.0), "first.dat", "second.dat");
  Config penalties = schedule(2, 20.0, 22.0);
  penalties.lambda2 = 0.05;
  run_both(inputs, penalties, "second.dat", "first.dat");
}

TEST_F(FastRuns, SingularSystemsReportTheSameWay) {
  colony(30, 4);
  // No match weight survives anywhere and nothing penalises the warp: every
  // spline system is zero.
  Config c = schedule(3, 1.0, 1.1);
  c.lambda1 = 0.0;
  c.rEvar = 1e6;
  Comparison r = run_both(inputs, c, "first.dat", "second.dat");
  EXPECT_NE(r.plain.out.find("ERROR (reverse): singular matrices\n"), std::string::npos);
  // Two cells against one.
  const std::vector<std::string> first = lines(inputs.read("first.dat")), second = lines(inputs.read("second.dat"));
  inputs.write("two.dat", first[0] + "\n" + first[1] + "\n");
  inputs.write("one.dat", second[0] + "\n");
  r = run_both(inputs, schedule(3, 1.0, 1.1), "two.dat", "one.dat");
  EXPECT_NE(r.plain.out.find("ERROR (reverse): singular matrices\n"), std::string::npos);
}

// With vantu-track's arithmetic (subnormals flushed, hopeless weights
// dropped) the fast kernels still give the plain kernels' bits: at the
// start, where the floor drops few weights, and late, where it drops most
// (the banded balancing then takes the weights it left).
TEST_F(FastRuns, TheTrackersArithmeticGivesTheSameFilesOnBothKernels) {
  colony(60, 7);
  const std::vector<std::string> tracker = {"--flush-subnormals", "--drop-below", "1e-12"};
  for (int S : {1, 3}) {
    SCOPED_TRACE(S);
    run_both(inputs, schedule(S, 1.0, 1.2), "first.dat", "second.dat", tracker);
    run_both(inputs, schedule(S, 6.0, 7.0), "first.dat", "second.dat", tracker);
  }
  run_both(inputs, schedule(2, 20.0, 22.0), "second.dat", "first.dat", {"--drop-below=1e-6"});
  run_both(inputs, schedule(3, 150.0, 170.0), "first.dat", "second.dat", {"--flush-subnormals"});
}
