// The simulator's time-lapse mode: its files must agree with each other, its
// truth must hold under missed cells, spurious detections and divisions, and
// the same arguments must give the same bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "image/image.h"
#include "tests/harness.h"

namespace {

using vantu_test::RunDir;

std::vector<std::vector<std::string>> csv(const std::string& text, const std::string& header) {
  std::vector<std::vector<std::string>> rows;
  std::vector<std::string> ls = vantu_test::lines(text);
  EXPECT_FALSE(ls.empty());
  if (ls.empty()) return rows;
  EXPECT_EQ(ls[0], header);
  for (std::size_t i = 1; i < ls.size(); ++i) {
    std::vector<std::string> cols;
    std::stringstream ss(ls[i]);
    for (std::string c; std::getline(ss, c, ',');) cols.push_back(c);
    rows.push_back(cols);
  }
  return rows;
}

std::string read_file(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

int num(const std::string& s) { return std::atoi(s.c_str()); }

vantu_test::Outcome simulate(const RunDir& dir, const std::string& out, std::vector<std::string> args) {
  args.insert(args.begin(), {"--timelapse", out});
  return dir.run(args, VANTU_SIM_BIN);
}

std::string frame_name(int f) {
  char name[32];
  std::snprintf(name, sizeof name, "frame_%04d.dat", f);
  return name;
}

struct TruthRow {
  int pred, ndiv, kind;
};

// frame -> id -> row
std::map<int, std::map<int, TruthRow>> read_truth(const RunDir& dir, const std::string& out) {
  std::map<int, std::map<int, TruthRow>> truth;
  for (const auto& r : csv(dir.read(out + "/truth.csv"), "frame,id,pred,ndiv,kind")) {
    EXPECT_EQ(r.size(), 5u);
    if (r.size() != 5) continue;
    const bool fresh = truth[num(r[0])].emplace(num(r[1]), TruthRow{num(r[2]), num(r[3]), num(r[4])}).second;
    EXPECT_TRUE(fresh) << "frame " << r[0] << " id " << r[1] << " twice";
  }
  return truth;
}

// frame -> ids, from the frame files; checks each is a permutation of 1..n.
std::map<int, std::set<int>> frame_ids(const RunDir& dir, const std::string& out, int frames) {
  std::map<int, std::set<int>> ids;
  for (int f = 0; f < frames; ++f) {
    const auto rows = vantu_test::table(dir.read(out + "/" + frame_name(f)));
    for (const auto& r : rows) {
      EXPECT_EQ(r.size(), 5u);
      ids[f].insert(num(r.at(4)));
    }
    EXPECT_EQ(ids[f].size(), rows.size()) << "repeated id in frame " << f;
    EXPECT_TRUE(!rows.empty() && *ids[f].begin() == 1 && *ids[f].rbegin() == static_cast<int>(rows.size()))
        << "ids of frame " << f << " are not 1.." << rows.size();
  }
  return ids;
}

TEST(SimTimelapse, SameArgumentsSameBytesAndTwoFrameModeUntouched) {
  RunDir dir;
  const std::vector<std::string> args = {"--frames", "12", "--missing", "0.05", "--spurious", "0.05", "--seed", "9"};
  ASSERT_EQ(simulate(dir, "a", args).status, 0);
  ASSERT_EQ(simulate(dir, "b", args).status, 0);
  std::vector<std::string> names = {"cells.csv", "truth.csv", "truth_tracks.csv"};
  for (int f = 0; f < 12; ++f) names.push_back(frame_name(f));
  for (const std::string& n : names) EXPECT_EQ(dir.read("a/" + n), dir.read("b/" + n)) << n;
  EXPECT_FALSE(dir.exists("a/" + frame_name(12)));
  std::vector<std::string> other = args;
  other.back() = "10";
  ASSERT_EQ(simulate(dir, "c", other).status, 0);
  EXPECT_NE(dir.read("a/cells.csv"), dir.read("c/cells.csv"));
  // The two-frame mode, which shares the random numbers and maths, still
  // writes the bundled example byte for byte.
  ASSERT_EQ(dir.run({"--seed", "1", "--cells", "150", "first", "second", "truth"}, VANTU_SIM_BIN).status, 0);
  const std::string example = std::string(VANTU_SOURCE_DIR) + "/examples/colony/";
  EXPECT_EQ(dir.read("first"), read_file(example + "newbact/image026.dat"));
  EXPECT_EQ(dir.read("second"), read_file(example + "newbact/image029.dat"));
  EXPECT_EQ(dir.read("truth"), read_file(example + "truth.dat"));
  // And the bundled time-lapse comes out of the command in its make.sh.
  ASSERT_EQ(simulate(dir, "bundled", {"--frames", "23", "--seed", "1"}).status, 0);
  const std::string bundled = std::string(VANTU_SOURCE_DIR) + "/examples/timelapse/";
  std::vector<std::string> all = {"cells.csv", "truth.csv", "truth_tracks.csv"};
  for (int f = 0; f < 23; ++f) all.push_back(frame_name(f));
  for (const std::string& n : all) EXPECT_EQ(dir.read("bundled/" + n), read_file(bundled + n)) << n;
}

// cells.csv holds the frame files' rows in the same order with the same text.
TEST(SimTimelapse, TableEqualsFrameFiles) {
  RunDir dir;
  ASSERT_EQ(simulate(dir, "o", {"--frames", "6", "--spurious", "0.1"}).status, 0);
  std::map<int, std::vector<std::string>> fromTable;
  for (const auto& r : csv(dir.read("o/cells.csv"), "frame,x,y,length,angle,id")) {
    ASSERT_EQ(r.size(), 6u);
    fromTable[num(r[0])].push_back(r[1] + " " + r[2] + " " + r[3] + " " + r[4] + " " + r[5]);
  }
  ASSERT_EQ(fromTable.size(), 6u);
  for (int f = 0; f < 6; ++f) EXPECT_EQ(fromTable[f], vantu_test::lines(dir.read("o/" + frame_name(f)))) << f;
}

// Every row's pred is a detection of the previous frame; kinds agree with
// pred; a cell continues or divides, never both; daughters come at most in
// pairs; the fault rates are roughly the ones asked for.
TEST(SimTimelapse, TruthHoldsUnderMissedAndSpuriousCells) {
  RunDir dir;
  const int frames = 40;
  ASSERT_EQ(simulate(dir, "o", {"--frames", std::to_string(frames), "--missing", "0.05", "--spurious", "0.05",
                                "--noise", "2", "--seed", "3"}).status, 0);
  const auto ids = frame_ids(dir, "o", frames);
  const auto truth = read_truth(dir, "o");
  ASSERT_EQ(truth.size(), static_cast<std::size_t>(frames - 1));
  std::map<int, int> kinds;
  long rows = 0, daughters = 0;
  for (const auto& [f, byId] : truth) {
    ASSERT_EQ(byId.size(), ids.at(f).size()) << "frame " << f;
    std::map<int, std::pair<int, int>> successors;  // pred -> (continuations, daughters)
    for (const auto& [id, r] : byId) {
      ASSERT_TRUE(ids.at(f).count(id)) << "frame " << f << " id " << id;
      ++kinds[r.kind];
      ++rows;
      EXPECT_EQ(r.pred != 0, r.kind == 0) << "frame " << f << " id " << id;
      if (r.kind == 1) {
        EXPECT_EQ(r.ndiv, 0);
      }
      if (!r.pred) continue;
      EXPECT_TRUE(ids.at(f - 1).count(r.pred)) << "frame " << f << " pred " << r.pred;
      (r.ndiv == 0 ? successors[r.pred].first : successors[r.pred].second)++;
      daughters += r.ndiv > 0;
    }
    for (const auto& [p, s] : successors) {
      EXPECT_LE(s.first, 1) << "frame " << f << " pred " << p;
      EXPECT_TRUE(s.first == 0 || s.second == 0) << "frame " << f << " pred " << p << " continues and divides";
      EXPECT_LE(s.second, 2) << "frame " << f << " pred " << p;
    }
  }
  EXPECT_GT(daughters, 100);
  // About 5 % of the detections are spurious, and about 5 % of the real cells
  // come after a missed ancestor (or are seen again after being missed).
  EXPECT_NEAR(kinds[1] / double(rows), 0.05 / 1.05, 0.012);
  EXPECT_NEAR(kinds[2] / double(rows), 0.05, 0.015);
  EXPECT_GT(ids.at(frames - 1).size(), 2.5 * ids.at(0).size());
}

// A lineage read from truth_tracks.csv by the scoring rule (a detection's
// predecessor is its track's detection in the previous frame, or for a track
// that starts there, its parent track's) gives exactly truth.csv, also when
// cells divide twice between two frames.
void expect_tracks_give_truth(const RunDir& dir, const std::string& out) {
  std::map<std::pair<int, int>, int> trackOf;         // (frame, id) -> track
  std::map<std::pair<int, int>, int> idOf;            // (track, frame) -> id
  std::map<int, int> parentOf;
  for (const auto& r : csv(dir.read(out + "/truth_tracks.csv"), "frame,id,track,parent_track")) {
    ASSERT_EQ(r.size(), 4u);
    trackOf[{num(r[0]), num(r[1])}] = num(r[2]);
    idOf[{num(r[2]), num(r[0])}] = num(r[1]);
    parentOf[num(r[2])] = num(r[3]);
  }
  int twice = 0;
  for (const auto& [f, byId] : read_truth(dir, out))
    for (const auto& [id, r] : byId) {
      ASSERT_TRUE(trackOf.count({f, id}));
      const int track = trackOf[{f, id}];
      int pred = 0, daughter = 0;
      if (idOf.count({track, f - 1})) {
        pred = idOf[{track, f - 1}];
      } else if (parentOf[track] && idOf.count({parentOf[track], f - 1})) {
        pred = idOf[{parentOf[track], f - 1}];
        daughter = 1;
      }
      EXPECT_EQ(pred, r.pred) << "frame " << f << " id " << id;
      if (r.pred) {
        EXPECT_EQ(daughter, r.ndiv > 0 ? 1 : 0) << "frame " << f << " id " << id;
      }
      twice += r.ndiv == 2;
    }
  if (out == "fast") {
    EXPECT_GT(twice, 0) << "no cell divided twice between frames";
  }
}

TEST(SimTimelapse, TracksGiveTheTruth) {
  RunDir dir;
  ASSERT_EQ(simulate(dir, "faults", {"--frames", "30", "--missing", "0.05", "--spurious", "0.05"}).status, 0);
  expect_tracks_give_truth(dir, "faults");
  ASSERT_EQ(simulate(dir, "fast", {"--frames", "5", "--step", "16", "--missing", "0.05"}).status, 0);
  expect_tracks_give_truth(dir, "fast");
}

// Without noise, drift and warp, every length scales exactly with the
// magnification (up to the printed digits); spurious detections and the cap
// are respected.
TEST(SimTimelapse, MagnificationScalesAndCapHolds) {
  RunDir dir;
  const std::vector<std::string> still = {"--frames", "8", "--noise", "0", "--drift", "0", "--warp", "0"};
  for (const char* m : {"1", "0.5", "2"}) {
    std::vector<std::string> a = still;
    a.insert(a.end(), {"--magnification", m});
    ASSERT_EQ(simulate(dir, m, a).status, 0);
  }
  const auto base = vantu_test::table(dir.read("1/" + frame_name(7)));
  for (const auto& [m, f] : {std::pair<std::string, double>{"0.5", 0.5}, {"2", 2.0}}) {
    const auto scaled = vantu_test::table(dir.read(m + "/" + frame_name(7)));
    ASSERT_EQ(scaled.size(), base.size());
    for (std::size_t i = 0; i < base.size(); ++i)
      for (int c : {0, 1, 2}) EXPECT_NEAR(std::atof(scaled[i][c].c_str()), f * std::atof(base[i][c].c_str()), 0.002);
  }
  ASSERT_EQ(simulate(dir, "cap", {"--frames", "40", "--cells", "100", "--max-cells", "150", "--spurious", "0.2"})
                .status, 0);
  const auto ids = frame_ids(dir, "cap", 40);
  for (const auto& [f, s] : ids) EXPECT_LE(s.size(), 150u) << "frame " << f;
  EXPECT_GE(ids.at(39).size(), 140u);
}

// The range of colony sizes: one founder, whose every descendant the true
// lineage leads back to; and a colony past a thousand cells, its cells not
// piled onto each other, all drawn inside its mask's field, and moving with
// their neighbours (a colony whose inside is squeezed jolts cells by several
// spacings between frames, which no tracker could follow).
TEST(SimTimelapse, ColoniesFromOneCellAndPastAThousand) {
  RunDir dir;
  ASSERT_EQ(simulate(dir, "one", {"--cells", "1", "--frames", "30", "--seed", "4"}).status, 0);
  const auto one = frame_ids(dir, "one", 30);
  EXPECT_EQ(one.at(0).size(), 1u);
  EXPECT_GE(one.at(29).size(), 4u);
  std::map<int, int> parent;
  std::set<int> founders;
  for (const auto& r : csv(dir.read("one/truth_tracks.csv"), "frame,id,track,parent_track")) {
    parent[num(r[2])] = num(r[3]);
    if (r[0] == "0") founders.insert(num(r[2]));
  }
  ASSERT_EQ(founders.size(), 1u);
  for (const auto& [track, p] : parent) {
    int root = track;
    while (parent.at(root) != 0) root = parent.at(root);
    EXPECT_EQ(root, *founders.begin()) << "track " << track;
  }

  ASSERT_EQ(simulate(dir, "big", {"--cells", "1500", "--frames", "2", "--masks", "tif"}).status, 0);
  const auto big = frame_ids(dir, "big", 2);
  EXPECT_GE(big.at(1).size(), 1500u);
  EXPECT_LE(big.at(1).size(), 1700u);
  const auto rows = vantu_test::table(dir.read("big/" + frame_name(1)));
  std::vector<double> nearest;
  for (const auto& a : rows) {
    double best = 1e300;
    for (const auto& b : rows)
      if (&a != &b) best = std::min(best, std::hypot(std::atof(a[0].c_str()) - std::atof(b[0].c_str()),
                                                     std::atof(a[1].c_str()) - std::atof(b[1].c_str())));
    nearest.push_back(best);
  }
  std::sort(nearest.begin(), nearest.end());
  EXPECT_GT(nearest[nearest.size() / 2], 10.0);  // about the width of a rod, 13 px
  EXPECT_LT(nearest[nearest.size() / 2], 25.0);
  // Between frames 0 and 1, a cell's displacement departs from the median of
  // its six nearest neighbours' by less than a rod width (99 %).
  std::map<int, std::pair<double, double>> at0;
  for (const auto& r : vantu_test::table(dir.read("big/" + frame_name(0))))
    at0[num(r[4])] = {std::atof(r[0].c_str()), std::atof(r[1].c_str())};
  std::vector<std::pair<double, double>> from, moved;
  const auto truth = read_truth(dir, "big");
  for (const auto& r : rows) {
    const TruthRow t = truth.at(1).at(num(r[4]));
    if (t.pred == 0 || t.ndiv != 0) continue;
    const auto a = at0.at(t.pred);
    from.push_back(a);
    moved.push_back({std::atof(r[0].c_str()) - a.first, std::atof(r[1].c_str()) - a.second});
  }
  std::vector<double> departs;
  for (size_t i = 0; i < from.size(); ++i) {
    std::vector<std::pair<double, size_t>> near;
    for (size_t j = 0; j < from.size(); ++j)
      if (j != i) near.push_back({std::hypot(from[j].first - from[i].first, from[j].second - from[i].second), j});
    std::partial_sort(near.begin(), near.begin() + 6, near.end());
    std::vector<double> dx, dy;
    for (int k = 0; k < 6; ++k) dx.push_back(moved[near[k].second].first), dy.push_back(moved[near[k].second].second);
    std::sort(dx.begin(), dx.end());
    std::sort(dy.begin(), dy.end());
    departs.push_back(std::hypot(moved[i].first - 0.5 * (dx[2] + dx[3]), moved[i].second - 0.5 * (dy[2] + dy[3])));
  }
  std::sort(departs.begin(), departs.end());
  ASSERT_GT(departs.size(), 1000u);
  EXPECT_LT(departs[departs.size() * 99 / 100], 13.0);
  // Every detection keeps pixels in the mask (none fell off its edge).
  const vantu::LabelImage mask = vantu::read_label_image(dir.file("big/mask_0001.tif"));
  std::set<std::uint32_t> labels(mask.labels.begin(), mask.labels.end());
  labels.erase(0);
  EXPECT_EQ(labels.size(), big.at(1).size());
}

TEST(SimTimelapse, RefusesBadArgumentsAndStaleFrames) {
  RunDir dir;
  auto e = simulate(dir, "o", {"--frames", "1"});
  EXPECT_EQ(e.status, 1);
  EXPECT_NE(e.err.find("--frames needs an integer from 2 to 9999, got '1'"), std::string::npos) << e.err;
  e = simulate(dir, "o", {"--missing", "0.7"});
  EXPECT_NE(e.err.find("--missing needs a number from 0 to 0.5, got '0.7'"), std::string::npos) << e.err;
  e = simulate(dir, "o", {"--cells", "900", "--max-cells", "1000", "--spurious", "0.2"});
  EXPECT_EQ(e.status, 1);
  EXPECT_NE(e.err.find("--cells 900"), std::string::npos) << e.err;
  ASSERT_EQ(simulate(dir, "o", {"--frames", "4"}).status, 0);
  e = simulate(dir, "o", {"--frames", "3"});
  EXPECT_EQ(e.status, 1);
  EXPECT_NE(e.err.find("frame_0003.dat"), std::string::npos) << e.err;
  EXPECT_EQ(simulate(dir, "o", {"--frames", "4", "--seed", "2"}).status, 0);
  e = dir.run({"--timelapse", "--help"}, VANTU_SIM_BIN);
  EXPECT_EQ(e.status, 1);
  EXPECT_NE(e.err.find("got the option '--help'"), std::string::npos) << e.err;
  EXPECT_FALSE(dir.exists("--help"));
}

}  // namespace
