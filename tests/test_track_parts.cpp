// vantu-track in parts (--prepare, --pairs, --join) as a workflow runs it:
// the same lineage bytes as one process, and the refusals that keep a join
// from using missing or foreign pair records.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "run/config.h"
#include "tests/harness.h"
#include "track/track.h"

using vantu_test::Outcome;
using vantu_test::RunDir;
using namespace vantu;

namespace {

class TrackParts : public ::testing::Test {
 protected:
  static RunDir* data;
  static std::vector<std::string> frames;
  static void SetUpTestSuite() {
    data = new RunDir();
    frames = vantu_test::simulate_timelapse(*data, "tl", {"--frames", "5", "--cells", "20", "--seed", "8"});
    std::vector<std::string> args = {"-o", "one"};
    args.insert(args.end(), frames.begin(), frames.end());
    ASSERT_EQ(data->run(args, VANTU_TRACK_BIN).status, 0);
  }
  static void TearDownTestSuite() {
    delete data;
    data = nullptr;
  }
  Outcome track(std::vector<std::string> args, bool table = false) const {
    if (table)
      args.push_back("tl/cells.csv");
    else
      args.insert(args.end(), frames.begin(), frames.end());
    return data->run(args, VANTU_TRACK_BIN);
  }
  // A record without its "seconds" line.
  std::string record(const std::string& path) const {
    std::string out;
    for (const std::string& l : vantu_test::lines(data->read(path)))
      if (l.rfind("seconds ", 0) != 0) out += l + "\n";
    return out;
  }
};
RunDir* TrackParts::data = nullptr;
std::vector<std::string> TrackParts::frames;

TEST_F(TrackParts, PreparePairsInAnyOrderAndJoinGiveTheOneProcessBytes) {
  ASSERT_EQ(frames.size(), 5u);
  for (bool table : {false, true}) {
    const std::string dir = table ? "parts_table" : "parts";
    const Outcome p = track({"--prepare", "-o", dir}, table);
    ASSERT_EQ(p.status, 0) << p.err;
    EXPECT_EQ(p.out, "5 frames, 4 pairs\n");
    EXPECT_FALSE(data->exists(dir + "/pairs"));
    ASSERT_EQ(track({"--pairs", "2-3", "-j", "2", "-o", dir}, table).status, 0);
    ASSERT_EQ(track({"--pairs", "0", "-o", dir}, table).status, 0);
    ASSERT_EQ(track({"--pairs", "1", "-o", dir}, table).status, 0);
    EXPECT_FALSE(data->exists(dir + "/cells.csv"));
    const Outcome j = track({"--join", "-o", dir}, table);
    ASSERT_EQ(j.status, 0) << j.err;
    for (const char* name : {"cells.csv", "res_track.txt", "softconfig.dat", "tracks.csv", "units"})
      EXPECT_TRUE(data->read(dir + "/" + name) == data->read(std::string("one/") + name)) << dir << " " << name;
    // The records carry the same keys and links as those of one process.
    for (const char* name : {"0000.txt", "0001.txt", "0002.txt", "0003.txt"})
      EXPECT_EQ(record(dir + "/pairs/" + name), record(std::string("one/pairs/") + name)) << name;
    // The log differs only in the seconds; no pair counts as an earlier run.
    const auto a = vantu_test::lines(data->read(dir + "/pairs.log"));
    const auto b = vantu_test::lines(data->read("one/pairs.log"));
    ASSERT_EQ(a.size(), 4u);
    ASSERT_EQ(b.size(), 4u);
    for (size_t k = 0; k < a.size(); ++k) {
      EXPECT_EQ(a[k].substr(0, a[k].rfind(',')), b[k].substr(0, b[k].rfind(',')));
      EXPECT_EQ(a[k].find("earlier"), std::string::npos);
    }
  }
}

TEST_F(TrackParts, RefusesPairsBeforePrepareAndJoinsWithMissingOrForeignRecords) {
  Outcome o = track({"--pairs", "0-1", "-o", "unprepared"});
  EXPECT_EQ(o.status, 1);
  EXPECT_NE(o.err.find("unprepared/softconfig.dat is missing"), std::string::npos) << o.err;
  EXPECT_FALSE(data->exists("unprepared"));

  ASSERT_EQ(track({"--prepare", "-o", "gaps"}).status, 0);
  for (const char* range : {"2-1", "0-4", "4", "-1", "1-", "a", "1-2x", ""}) {
    o = track({"--pairs", range, "-o", "gaps"});
    EXPECT_EQ(o.status, 1) << range;
    EXPECT_NE(o.err.find("--pairs"), std::string::npos) << range << ": " << o.err;
  }
  EXPECT_EQ(track({"--pairs", "1", "--config", "gaps/softconfig.dat", "-o", "gaps"}).status, 1);
  ASSERT_EQ(track({"--pairs", "1", "-o", "gaps"}).status, 0);
  o = track({"--join", "-o", "gaps"});
  EXPECT_EQ(o.status, 1);
  EXPECT_NE(o.err.find("pairs 0000, 0002-0003 (of 0000-0003)"), std::string::npos) << o.err;
  EXPECT_FALSE(data->exists("gaps/cells.csv"));

  // Records made under other parameters do not fit the prepared ones.
  ASSERT_EQ(track({"--pairs", "0-3", "-o", "gaps"}).status, 0);
  const std::string config = data->read("gaps/softconfig.dat");
  data->write("gaps/softconfig.dat", "7" + config);  // a larger BetaInit
  o = track({"--join", "-o", "gaps"});
  EXPECT_EQ(o.status, 1);
  EXPECT_NE(o.err.find("pairs 0000-0003"), std::string::npos) << o.err;
  EXPECT_FALSE(data->exists("gaps/cells.csv"));
}

// Pair jobs read the chosen parameters back from softconfig.dat; a value
// that did not come back bit for bit would change every pair's key.
TEST(TrackConfigText, ChosenValuesReadBackExactly) {
  RunDir d;
  for (double v : {1.0 / 3.0, 0.1 + 0.2, 2.0 / 7.0 * 1e-5, 123456.789012345678, 5e-324, 1e300}) {
    ParameterSet p = default_track_parameters();
    p.BetaInit = v;
    p.rEvar = v / 3.0;
    d.write("softconfig.dat", config_text(p, "a note"));
    ParameterSet q;
    load_config(q, d.file("softconfig.dat").c_str());
    EXPECT_EQ(std::memcmp(&p.BetaInit, &q.BetaInit, sizeof(double)), 0) << v;
    EXPECT_EQ(std::memcmp(&p.rEvar, &q.rEvar, sizeof(double)), 0) << v;
    EXPECT_EQ(q.Nid, 5);
  }
}

}  // namespace

// ---- The time-left estimate, as a pure function of the tasks' sizes and times ----

namespace {

// A colony growing from 2 to about 350 cells over 53 pairs (small pairs up
// to 40 cells), each kernel pair taking `scale` * cells^p seconds, spoiled
// by a deterministic +-25 % wobble; `jobs` tasks at a time.
struct Movie {
  std::vector<TaskCost> tasks;
  std::vector<double> seconds;
};

Movie growing_colony(double p, double scale) {
  Movie m;
  for (int t = 0; t < 53; ++t) {
    TaskCost c;
    c.cells = std::round(2 * std::pow(175.0, t / 52.0));
    c.kernel = c.cells > 40;
    const double wobble = 1.0 + 0.25 * std::sin(7.1 * t);
    m.seconds.push_back(c.kernel ? scale * std::pow(c.cells, p) * wobble : 0.002);
    m.tasks.push_back(c);
  }
  return m;
}

// The largest factor between estimate and truth among the estimates shown
// once `after` of the work is done, tasks finishing in order on `jobs` equal
// workers; -1 when none is shown past `shown_by` of the work.
double worst_factor(Movie m, int jobs, double after, double shown_by) {
  double total = 0, elapsed = 0, worst = 1;
  for (double s : m.seconds) total += s / jobs;
  for (size_t k = 0; k + 1 < m.tasks.size(); ++k) {
    m.tasks[k].seconds = m.seconds[k];
    elapsed += m.seconds[k] / jobs;
    const double left = time_left(m.tasks, elapsed), truth = total - elapsed;
    if (left < 0 && elapsed >= shown_by * total) return -1;
    if (left >= 0 && elapsed >= after * total) worst = std::max(worst, std::max(left / truth, truth / left));
  }
  return worst;
}

}  // namespace

TEST(TimeLeft, WithinAFactorOfOneAndAHalfOnAGrowingColonyAfterATenth) {
  for (double p : {1.8, 2.0, 2.5, 3.0})
    for (int jobs : {1, 2}) {
      // Shown from a tenth of the expected work on: by a sixth of the true
      // work at the latest, the pairs' times being 25 % off their trend.
      const double w = worst_factor(growing_colony(p, 1e-5), jobs, 0.1, 1.0 / 6);
      EXPECT_GT(w, 0) << p << " " << jobs;
      EXPECT_LE(w, 1.5) << p << " " << jobs;
    }
}

TEST(TimeLeft, ShowsNothingUntilItMeansSomething) {
  Movie m = growing_colony(2.0, 1e-5);
  // Only small pairs done: the kernel's pairs ahead have no measure yet.
  for (size_t k = 0; k < m.tasks.size() && !m.tasks[k].kernel; ++k) {
    m.tasks[k].seconds = m.seconds[k];
    EXPECT_LT(time_left(m.tasks, 1.0), 0) << k;
  }
  // Two pairs of 400 cells and 98 tiles ahead: one done is not a tenth.
  std::vector<TaskCost> tiles(100, TaskCost{400, true, -1});
  tiles[0].seconds = 10;
  EXPECT_LT(time_left(tiles, 10), 0);
  for (int k = 1; k < 10; ++k) tiles[static_cast<size_t>(k)].seconds = 10;
  EXPECT_NEAR(time_left(tiles, 50), 50 * 90 / 10.0, 1e-9);  // equal tiles: the rest in proportion
  // Nothing to do: nothing left.
  for (TaskCost& t : tiles) t.seconds = 10;
  EXPECT_EQ(time_left(tiles, 500), 0.0);
  EXPECT_LT(time_left({}, 0), 0);
}

TEST(TimeLeft, TheExponentFollowsTheTasksDone) {
  // Kernel tasks of 100 to 400 cells whose seconds grow with the cube: the
  // rest (of 800 cells) is estimated with the cube, not the square.
  std::vector<TaskCost> tasks;
  for (double n : {100.0, 150.0, 200.0, 300.0, 400.0}) tasks.push_back({n, true, 1e-6 * n * n * n});
  tasks.push_back({800, true, -1});
  double done = 0;
  for (const TaskCost& t : tasks) done += std::max(0.0, t.seconds);
  EXPECT_NEAR(time_left(tasks, done), 1e-6 * 800 * 800 * 800, 1e-6);
}
