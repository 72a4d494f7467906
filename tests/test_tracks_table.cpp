// The cell-cycle table (tracks.csv), generations, units and the confidence
// of links: the rules on hand-made lineages, and a simulated movie whose
// tables agree with each other and whose cycles agree with the truth.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <string>
#include <vector>

#include "tests/harness.h"
#include "track/track.h"

using vantu_test::Outcome;
using vantu_test::RunDir;
using namespace vantu;

namespace {

// Rows of a CSV text as maps from column name to field.
std::vector<std::map<std::string, std::string>> named_rows(const std::string& text) {
  const auto rows = vantu_test::csv_rows(text);
  std::vector<std::map<std::string, std::string>> out;
  for (size_t k = 1; k < rows.size(); ++k) {
    std::map<std::string, std::string> m;
    for (size_t c = 0; c < rows[0].size() && c < rows[k].size(); ++c) m[rows[0][c]] = rows[k][c];
    out.push_back(m);
  }
  return out;
}

// A hand-made movie, frame numbers 10 11 13 14 15 16 (12 was not imaged):
//   track 1: founder, frames 10-11, divides into 2 and 3
//   track 2: 13-14, divides into 5 and 6 (a complete cycle: 13 to 15)
//   track 3: 13 only, lost
//   track 4: founder, 10-16, present at the end, grows as 20 exp(0.05 frame)
//   track 5: 15-16, present at the end (generation 2)
//   track 6: 15 only, lost
//   track 7: 11 only, no parent, flagged probable debris
struct HandMade {
  TimeLapse tl;
  Lineage lin;
  HandMade() {
    const long numbers[] = {10, 11, 13, 14, 15, 16};
    const std::vector<std::vector<int>> tracks = {{1, 4}, {1, 4, 7}, {2, 3, 4}, {2, 4}, {4, 5, 6}, {4, 5}};
    lin.tracks = {{0, 1, 0, Start::kFirstFrame}, {2, 3, 1, Start::kDaughter}, {2, 2, 1, Start::kDaughter},
                  {0, 5, 0, Start::kFirstFrame}, {4, 5, 2, Start::kDaughter}, {4, 4, 2, Start::kDaughter},
                  {1, 1, 0, Start::kNew}};
    for (size_t t = 0; t < 6; ++t) {
      Frame f;
      f.number = numbers[t];
      lin.track.push_back(tracks[t]);
      lin.flag.push_back(std::vector<int>(tracks[t].size(), kNormal));
      for (size_t i = 0; i < tracks[t].size(); ++i) {
        const int k = tracks[t][i];
        f.x.push_back(60.0 * k);
        f.y.push_back(0);
        f.length.push_back(k == 4 ? 20 * std::exp(0.05 * static_cast<double>(f.number)) : 10.0 + static_cast<double>(t));
        f.angle.push_back(0);
        f.id.push_back(static_cast<double>(i + 1));
        if (k == 7) lin.flag[t][i] = kProbableDebris;
      }
      f.extra = {std::vector<double>(tracks[t].size(), 50.0), std::vector<double>(tracks[t].size(), 4.0)};
      tl.frames.push_back(f);
    }
    tl.extra_names = {"area", "width"};
  }
};

TEST(TracksTable, FounderGenerationAndFateOfAHandMadeLineage) {
  const HandMade h;
  const auto rows = named_rows(tracks_csv_text(h.tl, h.lin, Units{}));
  ASSERT_EQ(rows.size(), 7u);
  const char* const fate[] = {"divided", "divided", "lost", "end", "end", "lost", "debris"};
  const char* const founder[] = {"1", "1", "1", "4", "1", "1", "7"};
  const char* const generation[] = {"0", "1", "1", "0", "2", "2", "0"};
  for (size_t k = 0; k < 7; ++k) {
    EXPECT_EQ(rows[k].at("track"), std::to_string(k + 1));
    EXPECT_EQ(rows[k].at("fate"), fate[k]) << "track " << k + 1;
    EXPECT_EQ(rows[k].at("founder"), founder[k]) << "track " << k + 1;
    EXPECT_EQ(rows[k].at("generation"), generation[k]) << "track " << k + 1;
  }
  // Frame numbers, not indices; only track 2 has a complete cycle, counted in
  // frame numbers across the frame that was not imaged.
  EXPECT_EQ(rows[1].at("first_frame"), "13");
  EXPECT_EQ(rows[1].at("last_frame"), "14");
  EXPECT_EQ(rows[1].at("cycle_frames"), "2");
  EXPECT_EQ(rows[1].at("daughters"), "5 6");
  EXPECT_EQ(rows[1].at("birth_length"), "12");
  EXPECT_EQ(rows[1].at("division_length"), "13");
  for (size_t k : {0, 2, 3, 4, 5, 6}) EXPECT_EQ(rows[k].at("cycle_frames"), "") << "track " << k + 1;
  EXPECT_EQ(rows[3].at("division_length"), "");
  EXPECT_EQ(rows[1].at("cycle_minutes"), "");  // no frame interval given
  EXPECT_EQ(rows[0].at("mean_area"), "50");
  EXPECT_EQ(rows[0].at("mean_width"), "4");
  // cells.csv carries the same generations.
  for (const auto& r : named_rows(cells_csv_text(h.tl, h.lin)))
    EXPECT_EQ(r.at("generation"), generation[std::stoi(r.at("track")) - 1]);
}

TEST(TracksTable, GrowthRateOfExponentiallyGrowingCellsPerFrameAndPerHour) {
  const HandMade h;
  const auto rows = named_rows(tracks_csv_text(h.tl, h.lin, Units{0, 5}));
  EXPECT_NEAR(std::stod(rows[3].at("growth_rate")), 0.05, 1e-5);
  EXPECT_NEAR(std::stod(rows[3].at("growth_rate_per_hour")), 0.6, 1e-5);
  EXPECT_EQ(growth_rate({1, 2, 3, 4}, {3, 3 * std::exp(0.2), 3 * std::exp(0.4), 3 * std::exp(0.6)}) > 0.19999, true);
  EXPECT_TRUE(std::isnan(growth_rate({4}, {3})));  // one cell: no rate
}

TEST(TracksTable, UnitsFillMinutesAndMicrometreColumnsAndAreWrittenDown) {
  const HandMade h;
  const std::string plain = tracks_csv_text(h.tl, h.lin, Units{});
  EXPECT_EQ(plain.find("_um"), std::string::npos);
  EXPECT_EQ(plain.find("per_hour"), std::string::npos);
  const auto rows = named_rows(tracks_csv_text(h.tl, h.lin, Units{0.1, 5}));
  EXPECT_EQ(rows[1].at("cycle_minutes"), "10");
  EXPECT_EQ(rows[1].at("birth_length_um"), "1.2");
  EXPECT_EQ(rows[1].at("division_length_um"), "1.3");
  EXPECT_EQ(rows[0].at("mean_area_um2"), "0.5");
  EXPECT_EQ(rows[0].at("mean_width_um"), "0.4");
  const std::string units = units_text(Units{0.1, 5});
  EXPECT_NE(units.find("5 minutes"), std::string::npos);
  EXPECT_NE(units.find("0.1 micrometres per pixel"), std::string::npos);
  EXPECT_NE(units_text(Units{}).find("not given"), std::string::npos);
}

// Thirteen families, each a founder (frame 0), her daughter and the
// daughter's two daughters (to the last frame). The daughters' complete
// cycles last 5 to 7 frames, but family 0's only 2; every cell grows as
// exp(0.1 frame), but family 1's daughter hardly at all, and family 2's
// daughter is measured twice her length in one frame.
struct Families {
  TimeLapse tl;
  Lineage lin;
  Families() {
    const int cycle[] = {2, 6, 6, 5, 6, 7, 6, 5, 6, 7, 6, 5, 6};
    const int frames = 10;
    tl.frames.resize(frames);
    lin.track.resize(frames);
    for (int t = 0; t < frames; ++t) tl.frames[static_cast<size_t>(t)].number = t;
    auto add = [&](int first, int last, int parent, Start start, double rate, int family) {
      lin.tracks.push_back({first, last, parent, start});
      const int label = static_cast<int>(lin.tracks.size());
      for (int t = first; t <= last; ++t) {
        Frame& f = tl.frames[static_cast<size_t>(t)];
        double length = 20 * std::exp(rate * (t - first));
        if (family == 2 && label % 4 == 2 && t == first + 3) length *= 2;
        f.x.push_back(40.0 * label), f.y.push_back(0), f.length.push_back(length), f.angle.push_back(0);
        f.id.push_back(static_cast<double>(f.count() + 1));
        lin.track[static_cast<size_t>(t)].push_back(label);
      }
      return label;
    };
    for (int k = 0; k < 13; ++k) {
      const int mother = add(0, 0, 0, Start::kFirstFrame, 0.1, k);
      const int daughter = add(1, cycle[k], mother, Start::kDaughter, k == 1 ? 0.01 : 0.1, k);
      add(cycle[k] + 1, frames - 1, daughter, Start::kDaughter, 0.1, k);
      add(cycle[k] + 1, frames - 1, daughter, Start::kDaughter, 0.1, k);
    }
  }
};

TEST(TracksTable, ImpossibleCyclesAreMarkedSuspectAgainstTheMoviesOwn) {
  const Families h;
  const std::string text = tracks_csv_text(h.tl, h.lin, Units{});
  EXPECT_EQ(text.substr(0, text.find('\n')).substr(text.find('\n') - 8), ",suspect");
  const auto rows = named_rows(text);
  ASSERT_EQ(rows.size(), 52u);
  for (size_t k = 0; k < rows.size(); ++k) {
    const std::string suspect = rows[k].count("suspect") ? rows[k].at("suspect") : "";
    const char* const expected = k == 1 ? "short-cycle" : k == 5 ? "slow-growth" : k == 9 ? "length-jump" : "";
    EXPECT_EQ(suspect, expected) << "track " << k + 1;
  }
  // A movie too small to have a distribution judges nothing.
  const HandMade small;
  for (const std::string& why : suspect_reasons(small.tl, small.lin, track_facts(small.tl, small.lin)))
    EXPECT_EQ(why, "");
  // Complete cycles of 2 to 7 frames: in seconds, not minutes, over a day.
  const std::string warning = frame_interval_warning(h.tl, h.lin, Units{0, 300});
  EXPECT_NE(warning.find("--frame-interval 300"), std::string::npos) << warning;
  EXPECT_EQ(warning.find('\n'), std::string::npos);
  EXPECT_EQ(frame_interval_warning(h.tl, h.lin, Units{0, 5}), "");
  EXPECT_EQ(frame_interval_warning(h.tl, h.lin, Units{}), "");
}

// A row of cells that drift 2 px to the right per frame, 40 px apart, each
// going on as itself; `extra` cells join frame 1.
struct Drifting {
  TimeLapse tl;
  Lineage lin;
  explicit Drifting(const std::vector<double>& extra_x) {
    for (int t = 0; t < 3; ++t) {
      Frame f;
      f.number = t;
      lin.track.emplace_back();
      for (int k = 0; k < 8; ++k) {
        f.x.push_back(40.0 * k + 2.0 * t);
        f.y.push_back(k % 2 ? 30 : 0);
        f.length.push_back(20);
        f.angle.push_back(0);
        f.id.push_back(k + 1);
        lin.track.back().push_back(k + 1);
      }
      tl.frames.push_back(f);
    }
    for (int k = 0; k < 8; ++k) lin.tracks.push_back({0, 2, 0, Start::kFirstFrame});
    for (double x : extra_x) {
      Frame& f = tl.frames[1];
      f.x.push_back(x), f.y.push_back(0), f.length.push_back(20), f.angle.push_back(0), f.id.push_back(f.count() + 1);
      lin.tracks.push_back({1, 1, 0, Start::kNew});
      lin.track[1].push_back(static_cast<int>(lin.tracks.size()));
    }
  }
};

TEST(Confidence, HighForIsolatedCellsLowForAnAmbiguousPair) {
  const Drifting alone({});
  for (const auto& frame : link_confidence(alone.tl, alone.lin))
    for (double c : frame) EXPECT_GE(c, 0.9);
  // Cell 1 is carried to x = 2 in frame 1; there, cells of the same size at
  // x = 0 and x = 4: either could be cell 1 going on.
  Drifting two({4.0});
  two.tl.frames[1].x[0] = 0.0;
  const auto conf = link_confidence(two.tl, two.lin);
  EXPECT_LT(conf[1][0], 0.6);
  EXPECT_LT(conf[1][8], 0.6);
  for (int k = 2; k < 8; ++k) EXPECT_GE(conf[1][static_cast<size_t>(k)], 0.9) << "cell " << k + 1;
  for (const auto& frame : conf)
    for (double c : frame) EXPECT_TRUE(c >= 0 && c <= 1);
}

// A cell that slid 30 px along its axis (further than its neighbours'
// motion allows) and starts a new track where its old one ends: a cell new
// inside the field beside a lost one that could be it is doubtful.
TEST(Confidence, NewCellBesideALostOneThatSlidIsDoubtful) {
  Drifting d({});
  for (size_t t : {1u, 2u}) d.tl.frames[t].x[3] += 30;
  d.lin.tracks[3].last = 0;
  d.lin.tracks.push_back({1, 2, 0, Start::kNew});
  d.lin.track[1][3] = d.lin.track[2][3] = 9;
  const auto conf = link_confidence(d.tl, d.lin);
  EXPECT_LT(conf[1][3], 0.5);
  EXPECT_GE(conf[2][3], 0.9);  // going on from there as itself
}

// A simulated movie with missed and spurious cells, tracked once.
class TrackedMovie : public ::testing::Test {
 protected:
  static RunDir* data;
  static std::vector<std::string> movie;  // its frame files
  static void SetUpTestSuite() {
    data = new RunDir();
    movie = vantu_test::simulate_timelapse(*data, "tl", {"--frames", "36", "--cells", "10", "--seed", "3", "--missing",
                                                         "0.02", "--spurious", "0.02", "--noise", "1"});
    std::vector<std::string> args = {"-j", "2", "-o", "out", "--frame-interval", "6"};
    args.insert(args.end(), movie.begin(), movie.end());
    const Outcome o = data->run(args, VANTU_TRACK_BIN);
    ASSERT_EQ(o.status, 0) << o.err;
  }
  static void TearDownTestSuite() {
    delete data;
    data = nullptr;
  }
};
RunDir* TrackedMovie::data = nullptr;
std::vector<std::string> TrackedMovie::movie;

TEST_F(TrackedMovie, TracksTableAgreesWithCellsAndResTrack) {
  const auto tracks = named_rows(data->read("out/tracks.csv"));
  const auto cells = named_rows(data->read("out/cells.csv"));
  // res_track.txt cuts a track at a gap: the part after it gets a label past
  // every track's, whose parent is the part before. Its lines folded back
  // into tracks: label -> (first, last, parent) of the whole track.
  const auto res = vantu_test::table(data->read("out/res_track.txt"));
  ASSERT_GE(res.size(), tracks.size());
  const long n = static_cast<long>(tracks.size());
  std::map<long, long> parent_of;
  for (const auto& r : res) parent_of[std::stol(r[0])] = std::stol(r[3]);
  auto track_of = [&](long label) {
    while (label > n) label = parent_of.at(label);
    return label;
  };
  std::map<long, std::vector<long>> folded;  // track -> first, last, parent
  for (const auto& r : res) {
    const long label = std::stol(r[0]), k = track_of(label);
    if (label <= n) folded[k] = {std::stol(r[1]), std::stol(r[2]), r[3] == "0" ? 0 : track_of(std::stol(r[3]))};
  }
  for (const auto& r : res)
    if (std::stol(r[0]) > n) folded[track_of(std::stol(r[0]))][1] = std::max(folded[track_of(std::stol(r[0]))][1], std::stol(r[2]));
  std::map<std::string, int> count;
  std::map<std::string, std::string> generation;
  long last_frame = 0;
  for (const auto& c : cells) {
    ++count[c.at("track")];
    generation[c.at("track")] = c.at("generation");
    last_frame = std::max(last_frame, std::stol(c.at("frame")));
    const double conf = std::stod(c.at("confidence"));
    EXPECT_TRUE(conf >= 0 && conf <= 1);
  }
  std::map<std::string, int> children;
  for (const auto& t : tracks) ++children[t.at("parent_track")];
  for (size_t k = 0; k < tracks.size(); ++k) {
    const auto& t = tracks[k];
    const long label = std::stol(t.at("track"));
    EXPECT_EQ(label, static_cast<long>(k + 1));
    EXPECT_EQ(t.at("first_frame"), std::to_string(folded[label][0]));
    EXPECT_EQ(t.at("last_frame"), std::to_string(folded[label][1]));
    EXPECT_EQ(t.at("parent_track"), std::to_string(folded[label][2]));
    EXPECT_EQ(std::stoi(t.at("cells")), count[t.at("track")]);
    EXPECT_EQ(t.at("generation"), generation[t.at("track")]);
    const std::string fate = t.at("fate");
    EXPECT_EQ(fate == "divided", children.count(t.at("track")) > 0) << t.at("track");
    if (fate != "divided") {
      EXPECT_EQ(fate == "end", std::stol(t.at("last_frame")) == last_frame) << t.at("track");
    }
    if (!t.at("cycle_frames").empty()) {
      EXPECT_EQ(std::stod(t.at("cycle_minutes")), 6 * std::stod(t.at("cycle_frames")));
    }
  }
  EXPECT_NE(data->read("out/units").find("6 minutes"), std::string::npos);
}

// Most links of a simulated movie are plain: rated high in cells.csv; and
// few of its complete cycles look impossible.
TEST_F(TrackedMovie, ClearLinksRatedHighAndFewCyclesSuspect) {
  const auto cells = named_rows(data->read("out/cells.csv"));
  size_t high = 0, low = 0;
  for (const auto& c : cells) {
    const double conf = std::stod(c.at("confidence"));
    high += conf >= 0.9, low += conf < 0.5;
  }
  EXPECT_GE(high, cells.size() * 9 / 10);
  EXPECT_LE(low, cells.size() / 20);
  size_t complete = 0, suspect = 0;
  for (const auto& t : named_rows(data->read("out/tracks.csv")))
    if (!t.at("cycle_frames").empty()) ++complete, suspect += t.count("suspect") && !t.at("suspect").empty();
  EXPECT_GE(complete, 10u);
  EXPECT_LE(suspect, complete / 10);
}

TEST_F(TrackedMovie, MedianCompleteCycleWithinOneFrameOfTheTruth) {
  auto median = [](std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? NAN : v[v.size() / 2];
  };
  std::vector<double> found, truth;
  for (const auto& t : named_rows(data->read("out/tracks.csv")))
    if (!t.at("cycle_frames").empty()) found.push_back(std::stod(t.at("cycle_frames")));
  // The truth's tracks: first frame, parent, daughters.
  std::map<long, long> first, parent;
  for (const auto& r : named_rows(data->read("tl/truth_tracks.csv"))) {
    const long k = std::stol(r.at("track")), f = std::stol(r.at("frame"));
    first[k] = first.count(k) ? std::min(first[k], f) : f;
    parent[k] = std::stol(r.at("parent_track"));
  }
  std::map<long, long> next_birth;
  for (const auto& kv : parent)
    if (kv.second) next_birth[kv.second] = next_birth.count(kv.second) ? std::min(next_birth[kv.second], first[kv.first]) : first[kv.first];
  for (const auto& kv : next_birth)
    if (parent[kv.first]) truth.push_back(static_cast<double>(kv.second - first[kv.first]));
  ASSERT_GE(truth.size(), 20u);
  ASSERT_GE(found.size(), truth.size() / 2);
  EXPECT_LE(std::fabs(median(found) - median(truth)), 1.0) << median(found) << " vs " << median(truth);
}

// Its cycles of about 13 frames at 300 "minutes" a frame: seconds given,
// said in one line on standard error.
TEST_F(TrackedMovie, AFrameIntervalInSecondsIsWarnedOf) {
  std::vector<std::string> args = {"-j", "2", "-o", "seconds", "--frame-interval", "300"};
  args.insert(args.end(), movie.begin(), movie.end());
  const Outcome o = data->run(args, VANTU_TRACK_BIN);
  ASSERT_EQ(o.status, 0) << o.err;
  const std::string warning = "vantu-track: warning: with --frame-interval 300 the median complete cycle is";
  EXPECT_NE(o.err.find(warning), std::string::npos) << o.err;
}

TEST(TrackUnits, RefusesSizesThatAreNotPositive) {
  RunDir d;
  const std::vector<std::string> frames = vantu_test::simulate_timelapse(d, "tl", {"--frames", "3", "--cells", "5"});
  for (const char* bad : {"0", "-1", "inf", "x"}) {
    for (const char* option : {"--pixel-size", "--frame-interval"}) {
      std::vector<std::string> args = {"-o", "out", option, bad};
      args.insert(args.end(), frames.begin(), frames.end());
      const Outcome o = d.run(args, VANTU_TRACK_BIN);
      EXPECT_EQ(o.status, 1) << option << " " << bad;
      EXPECT_FALSE(d.exists("out")) << option << " " << bad;
    }
  }
}

}  // namespace
