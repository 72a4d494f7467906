// vantu-track: the lineage rules, the input readers and their refusals, and
// whole runs of the program on simulated time-lapses.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/harness.h"
#include "track/track.h"

using vantu_test::Outcome;
using vantu_test::RunDir;
using namespace vantu;

namespace {

// ---- Lineage rules on hand-made matches ----

// A time-lapse of frames with the given ids (positions do not matter here):
// cells 20 long, those with ids from `half_from` on 10 long (daughters).
TimeLapse frames_with_ids(const std::vector<std::vector<double>>& ids, double half_from = 1e9) {
  TimeLapse tl;
  for (size_t t = 0; t < ids.size(); ++t) {
    Frame f;
    f.number = static_cast<long>(t);
    for (double id : ids[t]) {
      f.x.push_back(id);
      f.y.push_back(0);
      f.length.push_back(id >= half_from ? 10 : 20);
      f.angle.push_back(0);
      f.id.push_back(id);
    }
    tl.frames.push_back(f);
  }
  return tl;
}

// Links of one pair: per second-frame cell, the first-frame index at each level.
PairLinks links(int K, const std::vector<std::vector<int>>& per_cell) {
  PairLinks pl;
  pl.K = K;
  pl.M = static_cast<int>(per_cell.size());
  for (int l = 0; l < 3; ++l)
    for (const auto& c : per_cell) pl.row[l].push_back(c[static_cast<size_t>(l)]);
  return pl;
}

struct Row {
  int track, parent;
};
// Track and parent of frame t's cell with index i.
Row at(const Lineage& lin, size_t t, size_t i) {
  const int tr = lin.track[t][i];
  return {tr, lin.tracks[static_cast<size_t>(tr - 1)].parent};
}

TEST(LineageRules, ContinuationDivisionNewcomerAndEnd) {
  // Frame 0: cells 0 (id 5), 1 (id 2), 2 (id 9). Cell 0 continues, cell 1
  // divides, cell 2 has no successor; frame 1's id 1 is a newcomer.
  TimeLapse tl = frames_with_ids({{5, 2, 9}, {50, 21, 22, 1}}, 21);
  const Lineage lin = build_lineage(tl, {links(3, {{0, -1, -1}, {-1, 1, -1}, {-1, -1, 1}, {-1, -1, -1}})}, 3);
  // First frame by id: 2 -> track 1, 5 -> 2, 9 -> 3.
  EXPECT_EQ(lin.track[0], (std::vector<int>{2, 1, 3}));
  EXPECT_EQ(at(lin, 1, 0).track, 2);                        // continued
  EXPECT_EQ(at(lin, 1, 3).track, 4);                        // newcomer, smallest id first
  EXPECT_EQ(at(lin, 1, 3).parent, 0);
  EXPECT_EQ(at(lin, 1, 1).track, 5);                        // daughters by id
  EXPECT_EQ(at(lin, 1, 2).track, 6);
  EXPECT_EQ(at(lin, 1, 1).parent, 1);
  EXPECT_EQ(at(lin, 1, 2).parent, 1);
  EXPECT_EQ(lin.tracks[0].last, 0);                         // the mother ends
  EXPECT_EQ(lin.tracks[2].last, 0);                         // no successor
  EXPECT_EQ(lin.tracks[1].last, 1);
  EXPECT_EQ(lin.pairs[0].continuations, 1);
  EXPECT_EQ(lin.pairs[0].divisions, 1);
  EXPECT_EQ(lin.pairs[0].unmatched, 1);
  EXPECT_EQ(res_track_text(tl, lin), "1 0 0 0\n2 0 1 0\n3 0 0 0\n4 1 1 0\n5 1 1 1\n6 1 1 1\n");
}

TEST(LineageRules, MixedClaimsKeepOneContinuationAndTwoDaughters) {
  // Cell 0: a lone daughter only -> continues there. Cell 1: level 0 and a
  // lone daughter -> continues at level 0, the daughter is a newcomer.
  // Cell 2: level 0 and two daughters -> divides, the level-0 cell is new.
  TimeLapse tl = frames_with_ids({{1, 2, 3}, {10, 20, 21, 30, 31, 32}}, 21);
  const Lineage lin = build_lineage(
      tl, {links(3, {{-1, -1, 0}, {1, -1, -1}, {-1, 1, -1}, {2, -1, -1}, {-1, 2, -1}, {-1, -1, 2}})}, 3);
  EXPECT_EQ(at(lin, 1, 0).track, 1);
  EXPECT_EQ(at(lin, 1, 1).track, 2);
  EXPECT_EQ(at(lin, 1, 2).parent, 0);
  EXPECT_NE(at(lin, 1, 2).track, 2);
  EXPECT_EQ(at(lin, 1, 3).parent, 0);
  EXPECT_EQ(at(lin, 1, 4).parent, 3);
  EXPECT_EQ(at(lin, 1, 5).parent, 3);
  EXPECT_EQ(lin.pairs[0].divisions, 1);
  EXPECT_EQ(lin.pairs[0].continuations, 2);
  EXPECT_EQ(lin.pairs[0].unmatched, 2);
}

TEST(LineageRules, OneCellClaimedAsBothDaughtersIsNoDivision) {
  // The matcher names frame 1's cell 0 as both daughters of cell 0: one cell
  // cannot be two daughters, so the mother's track goes on there.
  TimeLapse tl = frames_with_ids({{1, 2}, {10, 20}});
  const Lineage lin = build_lineage(tl, {links(2, {{-1, 0, 0}, {1, -1, -1}})}, 3);
  EXPECT_EQ(at(lin, 1, 0).track, 1);
  EXPECT_EQ(at(lin, 1, 0).parent, 0);
  EXPECT_EQ(at(lin, 1, 1).track, 2);
  EXPECT_EQ(lin.tracks.size(), 2u);
  EXPECT_EQ(lin.pairs[0].divisions, 0);
  EXPECT_EQ(lin.pairs[0].continuations, 2);
}

TEST(LineageRules, TwoLevelsDivideWhenBothLevelsClaim) {
  TimeLapse tl = frames_with_ids({{1, 2}, {10, 11, 20}}, 10);
  const Lineage lin = build_lineage(tl, {links(2, {{0, -1, -1}, {-1, 0, -1}, {-1, 1, -1}})}, 2);
  EXPECT_EQ(at(lin, 1, 0).parent, 1);
  EXPECT_EQ(at(lin, 1, 1).parent, 1);
  EXPECT_EQ(at(lin, 1, 2).track, 2);  // a lone level-1 claim continues
  // One level: level 0 only.
  const Lineage one = build_lineage(tl, {links(2, {{0, -1, -1}, {-1, 0, -1}, {-1, 1, -1}})}, 1);
  EXPECT_EQ(at(one, 1, 0).track, 1);
  EXPECT_EQ(at(one, 1, 1).parent, 0);
  EXPECT_EQ(at(one, 1, 2).parent, 0);
}

TEST(TrackOutput, CellsSortedByFrameThenIdWithShortestNumbers) {
  TimeLapse tl = frames_with_ids({{3, 1}, {2}});
  tl.frames[0].x = {0.1, 1e21};
  const Lineage lin = build_lineage(tl, {links(2, {{1, -1, -1}})}, 3);
  EXPECT_EQ(cells_csv_text(tl, lin),
            "frame,id,track,parent_track,x,y,length,angle,flag,generation,confidence\n"
            "0,1,1,0,1e+21,0,20,0,0,0,\n"
            "0,3,2,0,0.1,0,20,0,0,0,\n"
            "1,2,1,0,2,0,20,0,0,0,\n");
}

// ---- Input and refusals, through the program ----

class TrackProgram : public ::testing::Test {
 protected:
  RunDir dir;
  Outcome track(const std::vector<std::string>& args) const { return dir.run(args, VANTU_TRACK_BIN); }
  // A refusal: status 1, a message naming `what`, and no output folder.
  void expect_refused(const std::vector<std::string>& args, const std::string& what) const {
    std::vector<std::string> a = {"-o", "out"};
    a.insert(a.end(), args.begin(), args.end());
    const Outcome o = track(a);
    EXPECT_EQ(o.status, 1) << o.err;
    EXPECT_NE(o.err.find(what), std::string::npos) << o.err;
    EXPECT_FALSE(dir.exists("out"));
  }
  static std::string frame_text(double shift) {
    std::string s = "# x y length angle id\n";
    for (int k = 0; k < 6; ++k)
      s += std::to_string(20 * k + shift) + " " + std::to_string(10 + 3 * (k % 2)) + " 20 " +
           std::to_string(15 * k) + " " + std::to_string(k + 1) + "\n";
    return s;
  }
};

TEST_F(TrackProgram, RefusesBadInputWithFileAndLine) {
  dir.write("a.dat", frame_text(0));
  dir.write("b.dat", frame_text(1));
  expect_refused({"a.dat"}, "at least two frames");
  expect_refused({"a.dat", "missing.dat"}, "missing.dat");
  dir.write("bad.dat", frame_text(0) + "1 2 x3 4 7\n");
  expect_refused({"a.dat", "bad.dat"}, "bad.dat:8: non-numeric value \"x3\" in column 3 (length)");
  dir.write("twice.dat", frame_text(0) + "300 10 20 0 3\n");
  expect_refused({"a.dat", "twice.dat"}, "id 3 appears twice");
  expect_refused({"--no-such-option", "a.dat", "b.dat"}, "no-such-option");
  expect_refused({"--config", "nothing.dat", "a.dat", "b.dat"}, "nothing.dat");

  dir.write("t.csv", "frame,x,y,length,angle\n0,1,2,3,4\n1,1,2,3,4\n");
  expect_refused({"t.csv"}, "no column \"id\"");
  dir.write("u.csv", "frame,x,y,length,angle,id\n0,1,2,3,4,1\n1,1,\"2a\",3,4,1\n");
  expect_refused({"u.csv"}, "u.csv:3: non-numeric value \"2a\" in column \"y\"");
  dir.write("v.csv", "frame,x,y,length,angle,id\n0,1,2,3,4,1\n0,5,2,3,4,1\n1,1,2,3,4,1\n");
  expect_refused({"v.csv"}, "v.csv:3: id 1 appears twice in frame 0");
  // Units: what a valid value looks like, not a range check's 300 digits.
  for (const char* bad : {"0.065um", "0", "-1", "1e999"}) {
    const Outcome o = dir.run({"-o", "out", "--pixel-size", bad, "a.dat", "b.dat"}, VANTU_TRACK_BIN);
    EXPECT_EQ(o.status, 1);
    EXPECT_NE(o.err.find(std::string("--pixel-size ") + bad + ": give micrometres per pixel as a number above 0"),
              std::string::npos) << o.err;
    EXPECT_NE(o.err.find("e.g. --pixel-size 0.065"), std::string::npos) << o.err;
    EXPECT_LT(o.err.size(), 200u) << o.err;
  }
  const Outcome interval = dir.run({"-o", "out", "--frame-interval", "5min", "a.dat", "b.dat"}, VANTU_TRACK_BIN);
  EXPECT_NE(interval.err.find("e.g. --frame-interval 5"), std::string::npos) << interval.err;
  EXPECT_FALSE(dir.exists("out"));
  // vantu-plot without anything to draw: its usage, the folder modes first.
  const Outcome plot = dir.run({}, VANTU_PLOT_BIN);
  EXPECT_EQ(plot.status, 1);
  EXPECT_NE(plot.err.find("usage: vantu-plot --lineage DIR"), std::string::npos) << plot.err;
  EXPECT_EQ(plot.err.find("softconfig.dat:"), std::string::npos) << plot.err;
}

TEST_F(TrackProgram, TableWithQuotesCrlfAndMappedColumnsReadsLikeFrameFiles) {
  dir.write("a.dat", frame_text(0));
  dir.write("b.dat", frame_text(2));
  // The same cells as a table: CRLF lines, quoted names, other column names,
  // angles in radians from the row axis (phi = deg + 90 mod 180).
  std::string csv = "\"ImageNumber\",\"cx\",\"cy\",len,\"orient rad\",label\r\n";
  for (int t = 0; t < 2; ++t)
    for (const auto& row : vantu_test::table(frame_text(2.0 * t)))
      if (row[0] != "#") {
        const double a = (std::stod(row[3]) - 90.0) * 3.14159265358979323846 / 180.0;
        char buf[64];
        std::snprintf(buf, sizeof buf, "%.17g", a);
        csv += std::to_string(t) + "," + row[0] + "," + row[1] + "," + row[2] + ",\"" + buf + "\"," + row[4] + "\r\n";
      }
  dir.write("t.csv", csv);
  const Outcome files = track({"-o", "from_files", "a.dat", "b.dat"});
  ASSERT_EQ(files.status, 0) << files.err;
  const Outcome table = track({"-o", "from_table", "--columns", "frame=ImageNumber,x=cx,y=cy,length=len,angle=orient rad,id=label",
                               "--angles", "row-radians", "t.csv"});
  ASSERT_EQ(table.status, 0) << table.err;
  EXPECT_EQ(dir.read("from_table/res_track.txt"), dir.read("from_files/res_track.txt"));
  // Positions and lineage agree; angles up to the conversion's rounding.
  const auto a = vantu_test::csv_rows(dir.read("from_files/cells.csv"));
  const auto b = vantu_test::csv_rows(dir.read("from_table/cells.csv"));
  ASSERT_EQ(a.size(), 13u);
  ASSERT_EQ(a.size(), b.size());
  for (size_t k = 1; k < a.size(); ++k) {
    for (size_t c = 0; c < 7; ++c) EXPECT_EQ(a[k][c], b[k][c]) << k << "," << c;
    EXPECT_NEAR(std::stod(a[k][7]), std::stod(b[k][7]), 1e-9);
  }
}

// ---- Whole runs on a simulated time-lapse ----

class TrackRun : public ::testing::Test {
 protected:
  static RunDir* data;
  static std::vector<std::string> frames;
  static void SetUpTestSuite() {
    data = new RunDir();
    frames = vantu_test::simulate_timelapse(*data, "tl", {"--frames", "5", "--cells", "25", "--seed", "4"});
  }
  static void TearDownTestSuite() {
    delete data;
    data = nullptr;
  }
  Outcome track(std::vector<std::string> args) const {
    args.insert(args.end(), frames.begin(), frames.end());
    return data->run(args, VANTU_TRACK_BIN);
  }
};
RunDir* TrackRun::data = nullptr;
std::vector<std::string> TrackRun::frames;

TEST_F(TrackRun, SameBytesForEveryJobCountAndFromTheTable) {
  ASSERT_EQ(frames.size(), 5u);
  ASSERT_EQ(track({"-j", "1", "-o", "j1"}).status, 0);
  ASSERT_EQ(track({"-j", "2", "-o", "j2"}).status, 0);
  const Outcome t = data->run({"-o", "table", "tl/cells.csv"}, VANTU_TRACK_BIN);
  ASSERT_EQ(t.status, 0) << t.err;
  for (const char* name : {"cells.csv", "res_track.txt", "softconfig.dat"}) {
    EXPECT_EQ(data->read(std::string("j1/") + name), data->read(std::string("j2/") + name)) << name;
    EXPECT_EQ(data->read(std::string("j1/") + name), data->read(std::string("table/") + name)) << name;
  }
  EXPECT_EQ(vantu_test::lines(data->read("j1/pairs.log")).size(), 4u);
}

TEST_F(TrackRun, KeptPairsAreTheTwoFrameProgramsFilesAndConfigReproduces) {
  ASSERT_EQ(track({"-o", "kept", "--keep-pairs"}).status, 0);
  // These pairs are small: their folders hold the links as Match.dat.
  EXPECT_NE(data->read("kept/pairs.log").find("small-pair matcher"), std::string::npos);
  const auto cells = vantu_test::table(data->read("tl/frame_0003.dat"));
  const auto matches = vantu_test::table(data->read("kept/pairs/0002/Match.dat"));
  ASSERT_EQ(matches.size(), cells.size());
  for (size_t k = 0; k < cells.size(); ++k) EXPECT_EQ(matches[k][3], cells[k][4]);  // the second frame's ids in order

  // A pair large enough for the kernel: the two-frame program's files, byte for byte.
  ASSERT_TRUE(vantu_test::simulate(*data, 45, 3, "big_a.dat", "big_b.dat", "big_truth.dat"));
  ASSERT_EQ(data->run({"-o", "kept_big", "--keep-pairs", "big_a.dat", "big_b.dat"}, VANTU_TRACK_BIN).status, 0);
  RunDir pair;
  pair.write("softconfig.dat", data->read("kept_big/softconfig.dat"));
  // vantu with the tracker's arithmetic and, as the assignment decides, its
  // early end of the annealing (its options before the files).
  std::vector<std::string> args = vantu_test::table(vantu::kTrackerKernelArgs)[0];
  const auto settle = vantu_test::table(vantu::kTrackerSettleArgs)[0];
  args.insert(args.end(), settle.begin(), settle.end());
  args.push_back(data->file("big_a.dat"));
  args.push_back(data->file("big_b.dat"));
  ASSERT_EQ(pair.run(args).status, 0);
  const std::vector<std::string> names = pair.files();
  EXPECT_EQ(names.size(), 13u);  // twelve result files and the configuration
  for (const std::string& name : names) {
    if (name == "softconfig.dat") continue;
    EXPECT_TRUE(pair.read(name) == data->read("kept_big/pairs/0000/" + name)) << name;
  }

  // The written configuration gives the same lineage through --config.
  ASSERT_EQ(track({"-o", "again", "--config", data->file("kept/softconfig.dat")}).status, 0);
  EXPECT_EQ(data->read("again/cells.csv"), data->read("kept/cells.csv"));
}

TEST_F(TrackRun, RestartReusesFinishedPairsAndRedoesTheRest) {
  ASSERT_EQ(track({"-o", "resume"}).status, 0);
  const std::string cells = data->read("resume/cells.csv");
  // A pair lost (as if killed before its record) and one record cut short.
  ASSERT_EQ(std::remove(data->file("resume/pairs/0001.txt").c_str()), 0);
  const std::string rec = data->read("resume/pairs/0003.txt");
  data->write("resume/pairs/0003.txt", rec.substr(0, rec.size() / 2));
  const Outcome o = track({"-o", "resume"});
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(data->read("resume/cells.csv"), cells);
  const auto log = vantu_test::lines(data->read("resume/pairs.log"));
  ASSERT_EQ(log.size(), 4u);
  EXPECT_NE(log[0].find("(earlier run)"), std::string::npos);
  EXPECT_EQ(log[1].find("(earlier run)"), std::string::npos);
  EXPECT_NE(log[2].find("(earlier run)"), std::string::npos);
  EXPECT_EQ(log[3].find("(earlier run)"), std::string::npos);
  for (const std::string& name : data->files()) EXPECT_EQ(name.find(".partial"), std::string::npos);
}

TEST_F(TrackRun, KilledRunsLeaveCompleteFilesAndResumeToTheSameLineage) {
  ASSERT_EQ(track({"-o", "calm"}).status, 0);
  const std::string cells = data->read("calm/cells.csv");
  std::vector<std::string> argv = {VANTU_TRACK_BIN, "-j", "2", "-o", data->file("killed")};
  argv.insert(argv.end(), frames.begin(), frames.end());
  std::vector<char*> args;
  for (std::string& a : argv) args.push_back(&a[0]);
  args.push_back(nullptr);
  // Kills at moments spread over a run, each followed by a look at what is there.
  for (int delay_ms : {30, 400, 900, 1700, 2600}) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      freopen("/dev/null", "w", stderr);
      execv(args[0], args.data());
      _exit(127);
    }
    usleep(static_cast<useconds_t>(delay_ms) * 1000);
    kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    for (int t = 0; t + 1 < static_cast<int>(frames.size()); ++t) {
      char name[32];
      std::snprintf(name, sizeof name, "killed/pairs/%04d.txt", t);
      if (data->exists(name)) {
        EXPECT_EQ(vantu_test::lines(data->read(name)).back(), "end") << name;
      }
    }
    if (data->exists("killed/cells.csv")) {
      EXPECT_EQ(data->read("killed/cells.csv"), cells);
    }
  }
  ASSERT_EQ(track({"-o", "killed"}).status, 0);
  EXPECT_EQ(data->read("killed/cells.csv"), cells);
}

// Ctrl-C: the pairs under way finish and keep their records, the program
// says that the same command resumes, and it does, to the same lineage.
TEST_F(TrackRun, CtrlCStopsBetweenPairsAndTheSameCommandResumes) {
  ASSERT_EQ(track({"-o", "calm"}).status, 0);
  const std::string log = data->file("interrupted.log");
  std::vector<std::string> argv = {VANTU_TRACK_BIN, "-j", "1", "-o", data->file("interrupted")};
  argv.insert(argv.end(), frames.begin(), frames.end());
  std::vector<char*> args;
  for (std::string& a : argv) args.push_back(&a[0]);
  args.push_back(nullptr);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (!freopen(log.c_str(), "w", stderr)) _exit(126);
    execv(args[0], args.data());
    _exit(127);
  }
  // Interrupts once the first pair's record is there.
  int status = 0;
  bool ended = false;
  for (int k = 0; k < 20000 && !data->exists("interrupted/pairs/0000.txt") && !ended; ++k) {
    ended = waitpid(pid, &status, WNOHANG) == pid;
    usleep(1000);
  }
  if (!ended) {
    kill(pid, SIGINT);
    waitpid(pid, &status, 0);
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) GTEST_SKIP() << "the run ended before Ctrl-C came";
  ASSERT_TRUE(WIFEXITED(status)) << "killed by the signal, without a word";
  EXPECT_EQ(WEXITSTATUS(status), 130);
  std::ifstream in(log);
  std::stringstream said;
  said << in.rdbuf();
  EXPECT_NE(said.str().find("the same command resumes"), std::string::npos) << said.str();
  EXPECT_FALSE(data->exists("interrupted/cells.csv"));
  const Outcome again = track({"-j", "1", "-o", "interrupted"});
  ASSERT_EQ(again.status, 0) << again.err;
  EXPECT_EQ(data->read("interrupted/cells.csv"), data->read("calm/cells.csv"));
}

// Files the old record lists that are this run's inputs (the point files an
// earlier --points-only run wrote there) stay, are not reported removed, and
// stay in the record.
TEST_F(TrackRun, InputsTheOldRecordListsStayAndAreNotReportedRemoved) {
  std::vector<std::string> inputs;
  std::string record;
  for (size_t t = 0; t < frames.size(); ++t) {
    const std::string name = "frame_000" + std::to_string(t) + ".dat";
    data->write("own/" + name, data->read(frames[t].substr(data->path().size() + 1)));
    inputs.push_back(data->file("own/" + name));
    record += name + "\n";
  }
  data->write("own/.vantu-written", record + "old_picture.svg\n");
  data->write("own/old_picture.svg", "<svg/>");
  std::vector<std::string> args = {"-o", "own"};
  args.insert(args.end(), inputs.begin(), inputs.end());
  const Outcome o = data->run(args, VANTU_TRACK_BIN);
  ASSERT_EQ(o.status, 0) << o.err;
  for (size_t t = 0; t < frames.size(); ++t) EXPECT_TRUE(data->exists("own/frame_000" + std::to_string(t) + ".dat"));
  EXPECT_FALSE(data->exists("own/old_picture.svg"));
  EXPECT_NE(o.err.find("1 removed (old_picture.svg)"), std::string::npos) << o.err;
  EXPECT_EQ(o.err.find("frame_0000.dat"), std::string::npos) << o.err;
  const std::string now = data->read("own/.vantu-written");
  for (size_t t = 0; t < frames.size(); ++t)
    EXPECT_NE(now.find("frame_000" + std::to_string(t) + ".dat\n"), std::string::npos) << now;
}

TEST_F(TrackRun, UnwritableOutputIsRefusedClearly) {
  data->write("plainfile", "x");
  const Outcome o = track({"-o", "plainfile/out"});
  EXPECT_EQ(o.status, 1);
  EXPECT_NE(o.err.find("cannot create output folder plainfile"), std::string::npos) << o.err;
}

// ---- Accuracy without --config ----

// (magnification, seed)
class TrackAccuracy : public ::testing::TestWithParam<std::pair<const char*, const char*>> {};

TEST_P(TrackAccuracy, LinksAndDaughtersOnASimulatedTimeLapse) {
  RunDir d;
  const std::vector<std::string> frames =
      vantu_test::simulate_timelapse(d, "tl", {"--frames", "10", "--cells", "40", "--seed", GetParam().second,
                                               "--magnification", GetParam().first});
  ASSERT_EQ(frames.size(), 10u);
  std::vector<std::string> args = {"-o", "out"};
  args.insert(args.end(), frames.begin(), frames.end());
  const Outcome o = d.run(args, VANTU_TRACK_BIN);
  ASSERT_EQ(o.status, 0) << o.err;
  const vantu_test::LineageScore s = vantu_test::score_lineage(d.read("out/cells.csv"), d.read("tl/truth.csv"));
  EXPECT_GT(s.cells, 400);
  EXPECT_GE(s.links, 0.98);
  EXPECT_GE(s.daughters_found, 0.95);
}

INSTANTIATE_TEST_SUITE_P(Magnifications, TrackAccuracy,
                         ::testing::Values(std::make_pair("0.5", "2"), std::make_pair("3", "3")),
                         [](const ::testing::TestParamInfo<std::pair<const char*, const char*>>& info) {
                           std::string name = std::string("x") + info.param.first + "_seed" + info.param.second;
                           for (char& ch : name)
                             if (ch == '.') ch = '_';
                           return name;
                         });

}  // namespace
