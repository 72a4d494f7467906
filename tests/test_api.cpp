// The library calls of track/api.h as the Python module makes them: the
// command line's bytes from cells held in memory, progress and cancelling
// between pairs, two frames matched as Match.dat holds them. (Also the only
// run of these calls under the sanitizer builds, which leave the module out.)
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/harness.h"
#include "track/api.h"

using vantu_test::RunDir;
using namespace vantu;

namespace {

class LibraryCalls : public ::testing::Test {
 protected:
  void SetUp() override {
    frames_ = vantu_test::simulate_timelapse(dir_, "sim", {"--frames", "5", "--cells", "10", "--seed", "4"});
    ASSERT_EQ(frames_.size(), 5u);
  }

  // The simulator's table (frame,x,y,length,angle,id) as columns, rows of
  // `frame` only when it is not negative.
  TableCells table_cells(long frame = -1) const {
    TableCells c;
    c.source = "sim/cells.csv";
    const auto rows = vantu_test::csv_rows(dir_.read("sim/cells.csv"));
    for (size_t r = 1; r < rows.size(); ++r) {
      double v[6];
      for (int k = 0; k < 6; ++k) v[k] = std::strtod(rows[r].at(static_cast<size_t>(k)).c_str(), nullptr);
      if (frame >= 0 && v[0] != frame) continue;
      c.frame.push_back(v[0]);
      c.x.push_back(v[1]);
      c.y.push_back(v[2]);
      c.length.push_back(v[3]);
      c.angle.push_back(v[4]);
      c.id.push_back(v[5]);
    }
    return c;
  }

  TrackResult track_table(const TrackHooks& hooks = {}, int jobs = 2) const {
    TrackOptions o;
    o.jobs = jobs;
    return track_time_lapse(time_lapse_of_cells(table_cells(), AngleConvention::kDegrees), false, o, hooks);
  }

  RunDir dir_;
  std::vector<std::string> frames_;
};

TEST_F(LibraryCalls, CellsInMemoryGiveTheCommandLinesFolder) {
  ASSERT_EQ(dir_.run({"-j", "2", "-o", "cli", "sim/cells.csv"}, VANTU_TRACK_BIN).status, 0);
  const TrackResult r = track_table();
  EXPECT_EQ(r.texts.cells_csv, dir_.read("cli/cells.csv"));
  EXPECT_EQ(r.texts.res_track, dir_.read("cli/res_track.txt"));
  EXPECT_EQ(r.texts.tracks_csv, dir_.read("cli/tracks.csv"));
  EXPECT_EQ(r.config_text, dir_.read("cli/softconfig.dat"));
  EXPECT_FALSE(dir_.exists("pairs"));  // matched in memory: no pair records anywhere

  write_lineage_folder(r, dir_.file("lib"), {});
  for (const char* name : {"cells.csv", "tracks.csv", "units", "res_track.txt", "softconfig.dat"})
    EXPECT_EQ(dir_.read(std::string("lib/") + name), dir_.read(std::string("cli/") + name)) << name;
}

TEST_F(LibraryCalls, ProgressCountsEveryPairAndCancellingStopsBeforeTheNext) {
  std::vector<size_t> done;
  TrackHooks hooks;
  hooks.progress = [&](size_t d, size_t total) {
    EXPECT_EQ(total, 4u);
    done.push_back(d);
  };
  track_table(hooks);
  EXPECT_EQ(done, (std::vector<size_t>{1, 2, 3, 4}));

  std::atomic<bool> cancel{false};
  done.clear();
  hooks.cancel = &cancel;
  hooks.progress = [&](size_t d, size_t) {
    done.push_back(d);
    cancel = true;
  };
  EXPECT_THROW(track_table(hooks, 1), RunCancelled);
  EXPECT_EQ(done, (std::vector<size_t>{1}));
}

TEST_F(LibraryCalls, TwoFramesMatchAsMatchDatHoldsThem) {
  TableCells a = table_cells(0), b = table_cells(1);
  a.source = "first";
  b.source = "second";
  const MatchResult m = match_frames(a, b, "");
  dir_.write("softconfig.dat", m.config_text);
  ASSERT_EQ(dir_.run({frames_[0], frames_[1]}).status, 0);
  const auto rows = vantu_test::table(dir_.read("Match.dat"));
  ASSERT_EQ(rows.size(), static_cast<size_t>(m.M));
  int matched = 0;
  for (size_t j = 0; j < rows.size(); ++j) {
    for (int l = 0; l < 3; ++l) {
      EXPECT_EQ(std::atoi(rows[j].at(static_cast<size_t>(l)).c_str()), m.id[l][j]) << "cell " << j << " level " << l;
      matched += m.id[l][j] != 0;
    }
    EXPECT_EQ(std::strtod(rows[j].at(3).c_str(), nullptr), m.second_id[j]);
  }
  EXPECT_GT(matched, m.M / 2);

  a.id[1] = a.id[0];
  EXPECT_THROW(match_frames(a, b, ""), TrackError);
  EXPECT_THROW(match_frames(table_cells(0), b, "", {{"MaxSplit", 4}}), TrackError);
}

}  // namespace

namespace {

// A cell whose pixels touch the image's edge may be cut off: cells.csv flags
// it in a last column (border), tracks.csv counts such cells in its last
// but the suspect column (border_cells), so that cycle statistics can leave
// them out.
TEST(MaskBorder, CellsTouchingTheEdgeAreFlaggedInTheLastColumns) {
  TimeLapse tl;
  const int w = 80, h = 40;
  for (long t = 0; t < 3; ++t) {
    std::vector<std::uint32_t> labels(static_cast<size_t>(w * h), 0);
    auto rod = [&](std::uint32_t label, int x0, int y0) {
      for (int y = y0; y < y0 + 5; ++y)
        for (int x = std::max(0, x0); x < x0 + 14; ++x) labels[static_cast<size_t>(y * w + x)] = label;
    };
    rod(1, static_cast<int>(t) - 2, 6);  // cut by the left edge
    rod(2, 22 + static_cast<int>(t), 6);
    rod(3, 44 + static_cast<int>(t), 8);
    rod(4, 20 + static_cast<int>(t), 26);
    rod(5, 46 + static_cast<int>(t), 24);
    add_label_frame(tl, labels.data(), w, h, t, "labels[" + std::to_string(t) + "]");
  }
  drop_blank_frames(tl, 0, 2);
  TrackOptions o;
  o.jobs = 1;
  const TrackResult r = track_time_lapse(tl, true, o);
  const auto cells = vantu_test::csv_rows(r.texts.cells_csv);
  ASSERT_EQ(cells[0].back(), "border");
  ASSERT_EQ(cells[0][cells[0].size() - 2], "confidence");  // no column moved
  std::string edge_track;
  for (size_t k = 1; k < cells.size(); ++k) {
    EXPECT_EQ(cells[k].back(), cells[k][1] == "1" ? "1" : "0") << r.texts.cells_csv;
    if (cells[k][1] == "1") edge_track = cells[k][2];
  }
  const auto tracks = vantu_test::csv_rows(r.texts.tracks_csv);
  const size_t border = tracks[0].size() - 2;
  ASSERT_EQ(tracks[0][border], "border_cells");
  ASSERT_EQ(tracks[0].back(), "suspect");
  for (size_t k = 1; k < tracks.size(); ++k) EXPECT_EQ(tracks[k].at(border), tracks[k][0] == edge_track ? "3" : "0");
}

}  // namespace

// Flushing subnormals in the kernel changes the weights only where they fall
// below 2.2e-308: no link of a simulated movie depends on that, with
// divisions, missed and spurious cells, and pairs of the kernel's size.
TEST(KernelArithmetic, FlushedSubnormalsGiveTheSameLineage) {
  RunDir dir;
  const auto frames = vantu_test::simulate_timelapse(
      dir, "sim", {"--frames", "4", "--cells", "55", "--seed", "6", "--missing", "0.02", "--spurious", "0.02"});
  ASSERT_EQ(frames.size(), 4u);
  TrackOptions o;
  o.jobs = 2;
  const TimeLapse tl = read_table(dir.file("sim/cells.csv"), TableColumns(), AngleConvention::kDegrees);
  TrackResult flushed = track_time_lapse(tl, false, o);
  o.flush_subnormals = false;
  TrackResult plain = track_time_lapse(tl, false, o);
  EXPECT_EQ(flushed.texts.cells_csv, plain.texts.cells_csv);
  EXPECT_NE(flushed.texts.pairs_log.find("cells 5"), std::string::npos) << flushed.texts.pairs_log;
}
