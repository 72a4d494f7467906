// A user's corrections of a lineage: refused before any work when they cannot
// hold, held when they can (also against the tracker's own judgement and
// across a gap), the neighbours decided again around them, and never lost
// unseen on a rerun.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "tests/harness.h"
#include "track/api.h"

using vantu_test::RunDir;
using namespace vantu;

namespace {

class Corrections : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new RunDir;
    frames_ = vantu_test::simulate_timelapse(*dir_, "sim", {"--frames", "8", "--cells", "20", "--seed", "5",
                                                            "--missing", "0.03", "--spurious", "0.03"});
  }
  static void TearDownTestSuite() { delete dir_; }

  static TimeLapse movie() {
    TrackOptions o;
    o.inputs = frames_;
    return read_time_lapse(o, default_track_parameters());
  }
  static std::string id(const TimeLapse& tl, int t, int j) {
    return number_text(tl.frames[static_cast<size_t>(t)].id[static_cast<size_t>(j)]);
  }
  static std::string num(const TimeLapse& tl, int t) { return std::to_string(tl.frames[static_cast<size_t>(t)].number); }
  // The cell of frame t nearest to cell j of frame s, other than `not_this`.
  static int nearest(const TimeLapse& tl, int s, int j, int t, int not_this) {
    const Frame &a = tl.frames[static_cast<size_t>(s)], &b = tl.frames[static_cast<size_t>(t)];
    int best = -1;
    double d = HUGE_VAL;
    for (int k = 0; k < b.count(); ++k) {
      const double e = std::hypot(b.x[static_cast<size_t>(k)] - a.x[static_cast<size_t>(j)],
                                  b.y[static_cast<size_t>(k)] - a.y[static_cast<size_t>(j)]);
      if (k != not_this && e < d) d = e, best = k;
    }
    return best;
  }

  static RunDir* dir_;
  static std::vector<std::string> frames_;
};
RunDir* Corrections::dir_ = nullptr;
std::vector<std::string> Corrections::frames_;

TEST_F(Corrections, RowsThatCannotHoldAreRefusedBeforeAnyWorkWithTheirLine) {
  ASSERT_EQ(frames_.size(), 8u);
  const TimeLapse tl = movie();
  const std::string a = id(tl, 3, 0), b = id(tl, 3, 1), c = id(tl, 3, 2), m = id(tl, 2, 0), m2 = id(tl, 2, 1);
  const std::string head = "frame,id,action,from_frame,from_id\n";
  const struct {
    std::string body, why;
  } bad[] = {
      {"3," + a + ",link,2," + m + "\n3," + b + ",link,2," + m + "\n3," + c + ",link,2," + m + "\n",
       ":4: cell " + m + " of frame 2 would have three daughters"},
      {"3," + a + ",link,2," + m + "\n3," + a + ",link,2," + m2 + "\n", ":3: cell " + a + " of frame 3 cannot come from two cells"},
      {"3," + a + ",link,2," + m + "\n3," + a + ",not,2," + m + "\n", ":3: \"not\" contradicts the link of line 2"},
      {"3," + a + ",debris,,\n4," + id(tl, 4, 0) + ",link,3," + a + "\n", "is debris (line 2) and cannot have a successor"},
      {"3," + a + ",link,2," + m + "\n4," + id(tl, 4, 0) + ",link,2," + m + "\n", "must be in one frame"},
      {"3,99999,new,,\n", ":2: frame 3 has no cell with id 99999"},
      {"\n\n3," + a + ",new,,\n40," + a + ",new,,\n", ":5: the movie has no frame 40"},
      {"3," + a + ",link,3," + b + "\n", "from_frame 3 is not before frame 3"},
      {"3," + a + ",new,2," + m + "\n", "new takes no from_frame and from_id"},
      {"3," + a + ",swap,2," + m + "\n", "action \"swap\" is not link"},
      {"3," + a + ",link\n", ":2: 3 fields where the header has 5"},
      {"3,\"" + a + ",link,2,1\n", ":2:"},
  };
  for (const auto& x : bad) {
    dir_->write("bad.csv", head + x.body);
    std::vector<std::string> args = {"-o", "out", "--corrections", "bad.csv"};
    args.insert(args.end(), frames_.begin(), frames_.end());
    const vantu_test::Outcome r = dir_->run(args, VANTU_TRACK_BIN);
    EXPECT_EQ(r.status, 1) << x.body;
    EXPECT_NE(r.err.find("vantu-track: bad.csv:"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(x.why), std::string::npos) << x.body << " -> " << r.err;
    EXPECT_FALSE(dir_->exists("out/cells.csv"));
  }
  dir_->write("bad.csv", "frame,id,action\n");
  EXPECT_NE(dir_->run({"-o", "out", "--corrections", "bad.csv", frames_[0], frames_[1]}, VANTU_TRACK_BIN)
                .err.find("the header has no column from_frame"),
            std::string::npos);
}

TEST_F(Corrections, EveryKindHoldsAndTheNeighboursAreDecidedAgain) {
  const TimeLapse tl = movie();
  TrackOptions o;
  o.jobs = 1;
  const TrackResult before = track_time_lapse(tl, false, o);
  const Lineage& l0 = before.texts.lineage;
  // A link the tracker would not make: cell j of frame 4 from the nearest
  // other cell to its own origin, whose successor must then go elsewhere.
  int j = 0;
  while (origin_in(l0, 4, j).first != 3) ++j;
  const int own = origin_in(l0, 4, j).second, other = nearest(tl, 3, own, 3, own);
  int displaced = -1;
  for (int k = 0; k < tl.frames[4].count(); ++k)
    if (origin_in(l0, 4, k) == std::make_pair(3, other)) displaced = k;
  // Across a gap: a cell of frame 6 straight from its origin's origin in frame 4.
  int g = 0;
  while (origin_in(l0, 6, g).first != 5 || origin_in(l0, 5, origin_in(l0, 6, g).second).first != 4) ++g;
  const int gap_from = origin_in(l0, 5, origin_in(l0, 6, g).second).second;
  o.corrections_text = "frame,id,action,from_frame,from_id\n" +                                                   //
                       num(tl, 4) + "," + id(tl, 4, j) + ",link," + num(tl, 3) + "," + id(tl, 3, other) + "\n" +  //
                       num(tl, 6) + "," + id(tl, 6, g) + ",LINK," + num(tl, 4) + "," + id(tl, 4, gap_from) + "\n" +
                       num(tl, 4) + "," + id(tl, 4, j) + ",not," + num(tl, 3) + "," + id(tl, 3, own) + "\n" +
                       num(tl, 2) + "," + id(tl, 2, 0) + ",debris,,\n" +  //
                       num(tl, 2) + "," + id(tl, 2, 0) + ",debris,,\n";   // repeated word for word: once
  const TrackResult after = track_time_lapse(tl, false, o);
  const Lineage& l1 = after.texts.lineage;
  EXPECT_EQ(origin_in(l1, 4, j), std::make_pair(3, other));
  EXPECT_EQ(origin_in(l1, 6, g), std::make_pair(4, gap_from));
  EXPECT_GE(l1.tracks[static_cast<size_t>(l1.track[6][static_cast<size_t>(g)] - 1)].skipped, 1);  // the frame between
  if (displaced >= 0) {
    EXPECT_NE(origin_in(l1, 4, displaced), std::make_pair(3, other));
  }
  const Track& d = l1.tracks[static_cast<size_t>(l1.track[2][0] - 1)];
  EXPECT_TRUE(d.first == 2 && d.last == 2 && d.parent == 0);
  EXPECT_EQ(l1.flag[2][0], kProbableDebris);
  EXPECT_EQ(l1.confidence[4][static_cast<size_t>(j)], 1.0);
  EXPECT_EQ(after.texts.corrections, 4u);
  // cells.csv marks exactly the cells set, in a last column.
  const auto rows = vantu_test::csv_rows(after.texts.cells_csv);
  ASSERT_EQ(rows[0].back(), "by_hand");
  int marked = 0;
  for (size_t r = 1; r < rows.size(); ++r) marked += rows[r].back() == "1";
  EXPECT_EQ(marked, 3);
  EXPECT_NE(after.summary.find("4 corrections by hand"), std::string::npos);
  EXPECT_EQ(before.texts.cells_csv.find("by_hand"), std::string::npos);
  // The check itself: the lineage without them does not hold them.
  EXPECT_FALSE(corrections_not_held(l0, corrections_of(o, tl)).empty());

  // A lone daughter and a cell set new.
  o.corrections_text = "frame,id,action,from_frame,from_id\n" + num(tl, 4) + "," + id(tl, 4, j) + ",daughter," +
                       num(tl, 3) + "," + id(tl, 3, own) + "\n" + num(tl, 5) + "," + id(tl, 5, 0) + ",new,,\n";
  const Lineage l2 = track_time_lapse(tl, false, o).texts.lineage;
  const Track& t2 = l2.tracks[static_cast<size_t>(l2.track[4][static_cast<size_t>(j)] - 1)];
  EXPECT_TRUE(t2.first == 4 && t2.parent == l2.track[3][static_cast<size_t>(own)]);
  EXPECT_EQ(origin_in(l2, 5, 0).first, -1);
}

// One correction is decided again around it: a swap fixed by one row fixes
// both cells, and links two pairs away stay as they were.
TEST_F(Corrections, OneRowFixesASwapAndLeavesFarPairsAlone) {
  const TimeLapse tl = movie();
  TrackOptions o;
  o.jobs = 1;
  const Lineage l0 = track_time_lapse(tl, false, o).texts.lineage;
  // Two neighbouring cells of frame 4 that go on from frame 3, alike enough
  // (length, axis) to be taken one for the other.
  int j = 0, k = -1;
  const Frame &f3 = tl.frames[3], &f4 = tl.frames[4];
  for (; j < f4.count() && k < 0; ++j) {
    k = nearest(tl, 4, j, 4, j);
    const auto a = origin_in(l0, 4, j), b = origin_in(l0, 4, k);
    auto goes_on = [&](int c, std::pair<int, int> from) {
      return from.first == 3 && l0.track[3][static_cast<size_t>(from.second)] == l0.track[4][static_cast<size_t>(c)];
    };
    if (!goes_on(j, a) || !goes_on(k, b)) {
      k = -1;
      continue;
    }
    auto alike = [&](int i, int c) {
      const size_t u = static_cast<size_t>(i), v = static_cast<size_t>(c);
      const double turn = std::fabs(std::remainder(f3.angle[u] - f4.angle[v], 180.0));
      return std::fabs(f4.length[v] / f3.length[u] - 1.05) < 0.1 && turn < 15;
    };
    if (!alike(b.second, j) || !alike(a.second, k)) k = -1;
  }
  ASSERT_GE(k, 0);
  --j;
  const int from_j = origin_in(l0, 4, j).second, from_k = origin_in(l0, 4, k).second;
  o.corrections_text = "frame,id,action,from_frame,from_id\n" + num(tl, 4) + "," + id(tl, 4, j) + ",link," + num(tl, 3) +
                       "," + id(tl, 3, from_k) + "\n";
  const Lineage l1 = track_time_lapse(tl, false, o).texts.lineage;
  EXPECT_EQ(origin_in(l1, 4, j), std::make_pair(3, from_k));
  EXPECT_EQ(origin_in(l1, 4, k), std::make_pair(3, from_j));
  for (int t : {1, 6, 7})
    for (int c = 0; c < tl.frames[static_cast<size_t>(t)].count(); ++c)
      EXPECT_EQ(origin_in(l1, t, c), origin_in(l0, t, c)) << "frame " << t << " cell " << c;
}

TEST_F(Corrections, TheFolderKeepsThemAndARerunSaysWhatItDrops) {
  const TimeLapse tl = movie();
  const std::string row = num(tl, 3) + "," + id(tl, 3, 0) + ",new,,";
  dir_->write("fix.csv", "frame,id,action,from_frame,from_id\n" + row + "\n");
  std::vector<std::string> args = {"-o", "keep", "-j", "1"};
  args.insert(args.end(), frames_.begin(), frames_.end());
  std::vector<std::string> with = args;
  with.insert(with.begin(), {"--corrections", "fix.csv"});
  ASSERT_EQ(dir_->run(with, VANTU_TRACK_BIN).status, 0);
  EXPECT_EQ(dir_->read("keep/corrections.csv"), dir_->read("fix.csv"));
  EXPECT_NE(dir_->read("keep/units").find("by_hand"), std::string::npos);
  const std::string cells = dir_->read("keep/cells.csv");
  // The folder's own file given back: kept as it is, nothing dropped, no pair
  // matched again, only the assignment's last pass decided again (as the
  // whole assignment decides it).
  with[1] = "keep/corrections.csv";
  vantu_test::Outcome r = dir_->run(with, VANTU_TRACK_BIN);
  EXPECT_EQ(r.err.find("drops"), std::string::npos);
  EXPECT_NE(r.err.find("nothing is matched again"), std::string::npos);
  EXPECT_TRUE(dir_->exists("keep/pairs/decided.txt"));
  EXPECT_EQ(dir_->read("keep/cells.csv"), cells);
  r = dir_->run(args, VANTU_TRACK_BIN);
  EXPECT_NE(r.err.find("drops 1 of the 1 corrections"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("  " + row + "\n"), std::string::npos);
  EXPECT_FALSE(dir_->exists("keep/corrections.csv"));
  // An empty file holds no correction.
  dir_->write("empty.csv", "");
  with[1] = "empty.csv";
  EXPECT_EQ(dir_->run(with, VANTU_TRACK_BIN).status, 0);
  EXPECT_EQ(dir_->read("keep/cells.csv").find("by_hand"), std::string::npos);
}


// A daughter made new leaves her sister her mother's daughter, and the links
// of that pair the correction did not touch keep their origin and their
// confidence (up to the model refitted from the changed links): tried on
// the movie's first divisions.
TEST_F(Corrections, ADaughterMadeNewLeavesTheRestAsItWas) {
  const TimeLapse tl = movie();
  TrackOptions o;
  o.jobs = 1;
  const Lineage l0 = track_time_lapse(tl, false, o).texts.lineage;
  auto track = [](const Lineage& l, int t, int j) -> const Track& {
    return l.tracks[static_cast<size_t>(l.track[static_cast<size_t>(t)][static_cast<size_t>(j)] - 1)];
  };
  int tried = 0;
  for (int t = 1; t < 8 && tried < 4; ++t)
    for (int d1 = 0; d1 < tl.frames[static_cast<size_t>(t)].count() && tried < 4; ++d1)
      for (int d2 = 0; d2 < tl.frames[static_cast<size_t>(t)].count(); ++d2) {
        const Track &a = track(l0, t, d1), &b = track(l0, t, d2);
        if (d1 == d2 || a.first != t || b.first != t || a.parent == 0 || a.parent != b.parent) continue;
        ++tried;
        o.corrections_text = "frame,id,action,from_frame,from_id\n" + num(tl, t) + "," + id(tl, t, d1) + ",new,,\n";
        const Lineage l1 = track_time_lapse(tl, false, o).texts.lineage;
        EXPECT_EQ(track(l1, t, d2).first, t) << "frame " << t << " cell " << d2;
        EXPECT_EQ(origin_in(l1, t, d2), origin_in(l0, t, d2)) << "frame " << t << " cell " << d2;
        for (int c = 0; c < tl.frames[static_cast<size_t>(t)].count(); ++c) {
          if (c == d1 || c == d2) continue;
          EXPECT_EQ(origin_in(l1, t, c), origin_in(l0, t, c)) << "frame " << t << " cell " << c;
          EXPECT_NEAR(l1.confidence[static_cast<size_t>(t)][static_cast<size_t>(c)],
                      l0.confidence[static_cast<size_t>(t)][static_cast<size_t>(c)], 1e-4)
              << "frame " << t << " cell " << c;
        }
        break;
      }
  EXPECT_EQ(tried, 4);
}

// The links the repairs made in the run without corrections (relinking,
// gaps closed) stay where no correction reaches: a cell made new changes
// nothing outside its own two frames.
TEST_F(Corrections, TheRepairsKeepWhatACorrectionDoesNotReach) {
  TrackOptions o;
  o.jobs = 1;
  o.inputs = vantu_test::simulate_timelapse(*dir_, "sim12", {"--frames", "12", "--cells", "20", "--seed", "1", "--missing",
                                                             "0.05", "--spurious", "0.05", "--noise", "2"});
  const TimeLapse tl = read_time_lapse(o, default_track_parameters());
  const Lineage l0 = track_time_lapse(tl, false, o).texts.lineage;
  const int t = 4;
  const Frame& f = tl.frames[t];
  std::vector<int> by_id(static_cast<size_t>(f.count()));
  for (size_t j = 0; j < by_id.size(); ++j) by_id[j] = static_cast<int>(j);
  std::sort(by_id.begin(), by_id.end(), [&](int a, int b) { return f.id[static_cast<size_t>(a)] < f.id[static_cast<size_t>(b)]; });
  int tried = 0;
  for (int j : by_id) {
    if (origin_in(l0, t, j).first != t - 1) continue;
    if (++tried > 4) break;
    o.corrections_text = "frame,id,action,from_frame,from_id\n" + num(tl, t) + "," + id(tl, t, j) + ",new,,\n";
    const Lineage l1 = track_time_lapse(tl, false, o).texts.lineage;
    for (int s = 1; s < 12; ++s)
      for (int c = 0; c < tl.frames[static_cast<size_t>(s)].count() && (s < t || s > t + 1); ++c)
        EXPECT_EQ(origin_in(l1, s, c), origin_in(l0, s, c)) << "cell " << j << ": frame " << s << " cell " << c;
  }
  EXPECT_GT(tried, 4);
}

}  // namespace
