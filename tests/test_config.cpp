// The entry point and the configuration file, through the built program.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "base/check.h"
#include "run/driver.h"
#include "tests/harness.h"

using vantu_test::Config;
using vantu_test::Outcome;
using vantu_test::RunDir;

namespace {

const char* const kFileList = "\n\nFiles:\n\n  newbact/image026.dat\n  newbact/image029.dat\n\n";

// A directory whose point files are empty: the run stops right after the
// parameter report and the loading lines, which is all these tests need.
class EntryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir.write("newbact/image026.dat", "");
    dir.write("newbact/image029.dat", "");
  }
  // The parameter report as the run printed it.
  std::string report(const std::string& config) {
    dir.write("softconfig.dat", config);
    Outcome o = dir.run();
    size_t from = o.out.find("  BetaInit=");
    size_t to = o.out.find("\n\n", from);
    return from == std::string::npos ? "" : o.out.substr(from, to - from + 1);
  }
  RunDir dir;
};

std::string report_of(double BetaInit, double BetaIncr, double BetaMax, double l1, double l2, double TH,
                      double rEvar, int MaxSplit, int nx, int ny, int nz, int Nid, int Nang, int Nlen,
                      double alphaS) {
  char buf[2048];
  std::snprintf(buf, sizeof buf,
                "  BetaInit=%g --- annealing params\n  BetaIncr=%g\n  BetaMax=%g\n"
                "  lambda1=%g --- warp penalty\n  lambda2=%g --- affine penalty\n"
                "  TH=%g --- theta: num slacks, ~1 if variances of deviations are correct\n"
                "  rEvar=%g --- reversals of variances, only needed if len stats are not used\n"
                "  MaxSplit=%d --- 1,2,or 3: 1 = non-splits, 2 for 2 permute matrices, 3 for 3\n"
                "  nx=%d --- num of x column\n  ny=%d --- num of y column\n"
                "  if dim=3 nz=%d --- num of z column if any)\n  Nid=%d --- num of id column)\n"
                "  Nang=%d --- num of angle column)\n  Nlen=%d --- num of length column)\n"
                "  alphaS=%g --- shrinking coefficient\n",
                BetaInit, BetaIncr, BetaMax, l1, l2, TH, rEvar, MaxSplit, nx, ny, nz, Nid, Nang, Nlen, alphaS);
  return buf;
}

TEST_F(EntryTest, PrintsFileListReportLoadingLinesInOrder) {
  dir.write("softconfig.dat", Config{}.text());
  Outcome o = dir.run();
  std::string expected = std::string(kFileList) +
                         report_of(1, 1.075, 200, 0.1, 0, 1, 0.000625, 3, 1, 2, 0, 5, 4, 3, 1) + "\n\n" +
                         "  loaded 0 points from newbact/image026.dat.\n"
                         "  loaded 0 points from newbact/image029.dat.\n\n"
                         "ERROR: nothing to match (K=0, M=0)\n";
  EXPECT_EQ(o.out, expected);
  EXPECT_EQ(o.status, 1);
}

// Sixteen values, every gate open, each distinct from its default.
std::vector<std::string> all_set() {
  return {"0.2", "1.1", "50", "0.3", "0.4", "2", "0.001", "0.5", "2", "3", "4", "5", "6", "7", "8", "0"};
}
const std::string kAllSetReport = report_of(0.2, 1.1, 50, 0.3, 0.4, 2, 0.001, 2, 3, 4, 8, 7, 6, 5, 0.5);

// The values one per line; value k (from 1) replaced by `text` when k > 0.
std::string config_lines(std::vector<std::string> values, int k = 0, const std::string& text = "") {
  if (k > 0) values[static_cast<size_t>(k - 1)] = text;
  std::string cfg;
  for (const auto& v : values) cfg += v + "\n";
  return cfg;
}

TEST_F(EntryTest, GatesDecideWhichValuesAreApplied) {
  EXPECT_EQ(report(config_lines(all_set())), kAllSetReport);
  // A negative 16th value keeps BetaInit only.
  EXPECT_EQ(report(config_lines(all_set(), 16, "-1")),
            report_of(0.1, 1.1, 50, 0.3, 0.4, 2, 0.001, 2, 3, 4, 8, 7, 6, 5, 0.5));
  // A 15th value of -1 sets nz = round(-1) = 0 (its gate, value 2, is
  // positive) and is itself the gate of BetaIncr, which keeps 1.075.
  EXPECT_EQ(report(config_lines(all_set(), 15, "-1")),
            report_of(0.2, 1.075, 50, 0.3, 0.4, 2, 0.001, 2, 3, 4, 0, 7, 6, 5, 0.5));
  // Ten values: values 7..10 have their gates (10..7) present; 1..6 do not.
  std::vector<std::string> ten = all_set();
  ten.resize(10);
  EXPECT_EQ(report(config_lines(ten)), report_of(0.1, 1.075, 200, 0.1, 0, 1, 0.001, 2, 3, 0, 0, 0, 0, 0, 0.5));
}

TEST_F(EntryTest, MaxSplitIsRoundedHalfUp) {
  EXPECT_NE(report(config_lines(all_set(), 9, "2.5")).find("MaxSplit=3 "), std::string::npos);
  EXPECT_NE(report(config_lines(all_set(), 9, "2.4")).find("MaxSplit=2 "), std::string::npos);
}

TEST_F(EntryTest, CommentsBlankLinesAndWordsAreSkippedAndDescriptionsIgnored) {
  std::string cfg = "# annealing\n\n0.2 BetaInit, with a description\nBetaIncr follows\n" +
                    config_lines(all_set()).substr(4);
  EXPECT_EQ(report(cfg), kAllSetReport);
}

TEST_F(EntryTest, IntegerThatDoesNotFitKeepsItsDefaultAndNanGateStaysClosed) {
  // MaxSplit 1e300 and nx nan keep their defaults; nan also closes the gate of
  // rEvar, inf (ny) opens the gate of TH but keeps ny at its default.
  std::vector<std::string> v = all_set();
  v[8] = "1e300";
  v[9] = "nan";
  v[10] = "inf";
  EXPECT_EQ(report(config_lines(v)), report_of(0.2, 1.1, 50, 0.3, 0.4, 2, 0.000625, 3, 0, 0, 8, 7, 6, 5, 0.5));
}

TEST_F(EntryTest, MoreThanHundredValuesAreIgnored) {
  std::string cfg = config_lines(all_set());
  for (int k = 0; k < 500; ++k) cfg += "9\n";
  EXPECT_EQ(report(cfg), kAllSetReport);
}

TEST_F(EntryTest, MissingConfigurationEndsAfterTheFileList) {
  Outcome o = dir.run();
  EXPECT_EQ(o.out, std::string(kFileList) + "ERROR opening file: softconfig.dat\n");
  EXPECT_EQ(o.status, 1);
}

TEST_F(EntryTest, ConfigurationThatIsADirectoryEndsLikeAMissingOne) {
  dir.write("softconfig.dat/keep", Config{}.text());
  Outcome o = dir.run();
  EXPECT_EQ(o.out, std::string(kFileList) + "ERROR opening file: softconfig.dat\n");
  EXPECT_EQ(o.status, 1);
}

TEST_F(EntryTest, UnsupportedMaxSplitIsRefusedAfterTheReport) {
  Config c;
  c.MaxSplit = 4;
  dir.write("softconfig.dat", c.text());
  Outcome o = dir.run();
  EXPECT_NE(o.out.find("alphaS=1 --- shrinking coefficient\n\n\nERROR: MaxSplit=4 is not supported (use 1, 2 or 3)\n"),
            std::string::npos);
  EXPECT_EQ(o.out.find("loaded"), std::string::npos);
  EXPECT_EQ(o.status, 1);
}

TEST_F(EntryTest, FileNamesComeFromTwoArgumentsOrTheBuiltInPair) {
  dir.write("softconfig.dat", Config{}.text());
  dir.write("a.dat", "");
  dir.write("b.dat", "");
  EXPECT_EQ(dir.run({"a.dat"}).out.rfind(kFileList, 0), 0u);
  Outcome two = dir.run({"a.dat", "b.dat"});
  EXPECT_EQ(two.out.rfind("\n\nFiles:\n\n  a.dat\n  b.dat\n\n", 0), 0u);
  EXPECT_NE(two.out.find("loaded 0 points from a.dat."), std::string::npos);
  Outcome three = dir.run({"a.dat", "b.dat", "c.dat"});
  EXPECT_EQ(three.out, two.out);
}

TEST_F(EntryTest, MissingPointFileIsNamed) {
  dir.write("softconfig.dat", Config{}.text());
  Outcome o = dir.run({"a.dat", "newbact/image029.dat"});
  EXPECT_NE(o.out.find("\n\n\nERROR opening file: a.dat\n"), std::string::npos);
  EXPECT_EQ(o.out.find("loaded"), std::string::npos);
  EXPECT_EQ(o.status, 1);
}

}  // namespace

namespace {

// The temperature loop as the driver runs it, for at most `cap` steps: true
// when it ends with every step at a finite Beta (the Beta after the last step
// may overflow).
bool loop_ends(double init, double incr, double max, long cap = 1000000) {
  double beta = init;
  for (long step = 0; step < cap; ++step) {
    if (!(beta < max)) return true;
    if (!std::isfinite(beta)) return false;
    beta *= incr;
    if (std::isnan(beta)) return false;
  }
  return false;
}

std::string refusal(double init, double incr, double max) {
  vantu::ParameterSet p;
  p.BetaInit = init;
  p.BetaIncr = incr;
  p.BetaMax = max;
  try {
    vantu::check_supported(p);
  } catch (const vantu::RunEnd& e) {
    EXPECT_EQ(e.status, 1);
    return e.message;
  }
  return "";
}

TEST(EndlessAnnealing, RefusedExactlyWhenTheLoopWouldNotEnd) {
  const double inf = std::numeric_limits<double>::infinity(), nan = std::nan("");
  const double tiny = std::numeric_limits<double>::denorm_min();
  struct Case {
    double init, incr, max;
    bool refused;
  };
  const Case cases[] = {
      {0.1, 1.075, 200, false},
      {1, 1, 200, true},                      // factor 1: Beta stays
      {1, 0.5, 200, true},                    // shrinking
      {0, 1.075, 200, true},                  // zero start
      {-0.0, 1.075, 200, true},
      {-1, 1.075, 200, true},                 // grows away from BetaMax
      {-inf, 2, 200, true},
      {1, std::nextafter(1.0, 2.0), 1 + 1e-13, false},  // the smallest growth still ends
      {1, 1.075, inf, true},                  // would run until Beta overflows
      {1, inf, 200, true},
      {1, nan, 200, true},
      {tiny, 1.075, 200, true},               // rounds back to itself
      {tiny, 2, 200, false},
      {5, 0.5, 5, false},                     // no step at all
      {6, 1, 5, false},
      {nan, 1, 200, false},                   // NaN start: the loop ends at once
      {1, 1, nan, false},
      {1, 1, -inf, false},
      {std::numeric_limits<double>::max() / 2, 4, std::numeric_limits<double>::max(), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.init << " " << c.incr << " " << c.max);
    const std::string message = refusal(c.init, c.incr, c.max);
    EXPECT_EQ(!message.empty(), c.refused);
    // Non-finite factors and limits are refused outright: the loop could only
    // end by jumping to or overflowing into an infinite Beta.
    if (std::isfinite(c.incr) && std::isfinite(c.max)) {
      EXPECT_EQ(loop_ends(c.init, c.incr, c.max), !c.refused);
    }
  }
  EXPECT_EQ(refusal(0, 0.5, 200), "ERROR: the annealing never ends (BetaInit=0, BetaIncr=0.5, BetaMax=200)\n");
  EXPECT_EQ(refusal(1, nan, inf), "ERROR: the annealing never ends (BetaInit=1, BetaIncr=nan, BetaMax=inf)\n");
}

TEST_F(EntryTest, EndlessAnnealingIsRefusedAfterTheReportBeforeLoading) {
  Config c;
  c.BetaIncr = 1;
  dir.write("softconfig.dat", c.text());
  Outcome o = dir.run();
  EXPECT_EQ(o.out, std::string(kFileList) + report_of(1, 1, 200, 0.1, 0, 1, 0.000625, 3, 1, 2, 0, 5, 4, 3, 1) +
                       "\n\nERROR: the annealing never ends (BetaInit=1, BetaIncr=1, BetaMax=200)\n");
  EXPECT_EQ(o.status, 1);
  EXPECT_TRUE(dir.files() == (std::vector<std::string>{"softconfig.dat"}));
}

}  // namespace
