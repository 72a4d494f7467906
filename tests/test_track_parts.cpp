// vantu-track in parts (--prepare, --pairs, --join) as a workflow runs it:
// the same lineage bytes as one process, and the refusals that keep a join
// from using missing or foreign pair records.
#include <gtest/gtest.h>

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
