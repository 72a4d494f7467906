// Neighbours from the grid of buckets give what comparing every pair of cells
// gives: the nearest cells in the same order (distance, then index), and
// every cell within a radius; on scattered, clustered and collinear cells,
// repeated positions and a spread beyond the doubles.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "harness.h"
#include "track/track.h"

using namespace vantu;

namespace {

Frame frame_of(const std::vector<std::pair<double, double>>& at) {
  Frame f;
  for (const auto& p : at) {
    f.x.push_back(p.first);
    f.y.push_back(p.second);
  }
  return f;
}

std::vector<std::pair<double, int>> all_by_distance(const Frame& f, int i) {
  std::vector<std::pair<double, int>> v;
  for (int j = 0; j < f.count(); ++j)
    if (j != i) v.push_back({std::hypot(f.x[static_cast<size_t>(j)] - f.x[static_cast<size_t>(i)],
                                        f.y[static_cast<size_t>(j)] - f.y[static_cast<size_t>(i)]), j});
  std::sort(v.begin(), v.end());
  return v;
}

std::vector<Frame> frames_to_check() {
  std::mt19937 rng(5);
  std::uniform_real_distribution<double> u(0, 1000), small(0, 3);
  std::vector<Frame> frames;
  std::vector<std::pair<double, double>> scattered, clustered, line, repeated;
  for (int k = 0; k < 400; ++k) {
    scattered.push_back({u(rng), u(rng)});
    clustered.push_back({(k % 4) * 300 + small(rng), (k % 3) * 500 + small(rng)});  // tight clumps far apart
    line.push_back({2.5 * k, 7.0});
    repeated.push_back({std::floor(k / 10.0) * 13, 4});  // ten cells at each place
  }
  for (const auto& at : {scattered, clustered, line, repeated}) frames.push_back(frame_of(at));
  frames.push_back(frame_of({{-1e308, 0}, {1e308, 5}, {0, 0}, {3, 4}}));
  frames.push_back(frame_of({{12, 34}}));
  return frames;
}

TEST(CellGrid, NearestCellsComeInTheOrderOfAFullComparison) {
  for (const Frame& f : frames_to_check()) {
    const CellGrid grid(f);
    std::vector<std::pair<double, int>> got;
    for (int i = 0; i < f.count(); ++i) {
      const auto want = all_by_distance(f, i);
      for (size_t k : {size_t{1}, size_t{6}, size_t{24}, size_t{1000}}) {
        grid.nearest(i, k, got);
        ASSERT_EQ(got.size(), std::min(k, want.size())) << "cell " << i << " k " << k;
        for (size_t n = 0; n < got.size(); ++n) {
          EXPECT_EQ(got[n].second, want[n].second) << "cell " << i << " k " << k << " rank " << n;
          EXPECT_EQ(got[n].first, want[n].first);
        }
      }
    }
  }
}

TEST(CellGrid, CellsNearAPlaceIncludeEveryCellWithinTheRadius) {
  for (const Frame& f : frames_to_check()) {
    const CellGrid grid(f);
    std::vector<int> got;
    for (const double radius : {0.0, 2.0, 20.0, 300.0}) {
      for (int i = 0; i < f.count(); i += 7) {
        const double x = f.x[static_cast<size_t>(i)] + 1.5, y = f.y[static_cast<size_t>(i)] - 0.5;
        grid.near(x, y, radius, got);
        EXPECT_TRUE(std::is_sorted(got.begin(), got.end()));
        for (int j = 0; j < f.count(); ++j) {
          if (std::hypot(f.x[static_cast<size_t>(j)] - x, f.y[static_cast<size_t>(j)] - y) <= radius) {
            EXPECT_TRUE(std::binary_search(got.begin(), got.end(), j)) << "cell " << j << " near " << i;
          }
          // The one-cell question answers as the list does.
          EXPECT_EQ(grid.near_holds(x, y, radius, j), std::binary_search(got.begin(), got.end(), j)) << j << " near " << i;
        }
      }
    }
  }
}

TEST(CellGrid, SpacingIsTheMedianNearestDistanceOverAllFrames) {
  TimeLapse tl;
  tl.frames.push_back(frame_of({{0, 0}, {10, 0}, {30, 0}}));  // 10, 10, 20
  tl.frames.push_back(frame_of({{0, 0}, {0, 4}}));            // 4, 4
  tl.frames.push_back(frame_of({{5, 5}}));                    // alone: none
  tl.frames.push_back(Frame());
  EXPECT_EQ(neighbour_spacing(tl), 10.0);
  tl.frames.push_back(frame_of({{0, 0}, {0, 6}}));  // 6, 6: median of 4 4 6 6 10 10 20
  EXPECT_EQ(neighbour_spacing(tl), 6.0);
  tl.frames.push_back(frame_of({{0, 0}, {0, 1}, {0, 6}}));  // 1, 1, 5: ten values, the mean of 5 and 6
  EXPECT_EQ(neighbour_spacing(tl), 5.5);
}

// Every stage finds neighbours through this grid: cells in a line (a channel
// of a mother machine) and positions far beyond any image are tracked in
// little memory, not refused with an allocation failure.
TEST(CellGridRuns, CellsOnOneLineOrFarApartTrackInLittleMemory) {
  vantu_test::RunDir d;
  std::string line = "frame,id,x,y,length,angle\n", far = line;
  for (int t = 0; t < 3; ++t)
    for (int k = 1; k <= 10; ++k) {
      line += std::to_string(t) + "," + std::to_string(k) + "," + std::to_string(400 * k + 3 * t) + ",4,30,0\n";
      far += std::to_string(t) + "," + std::to_string(k) + "," + (k % 2 ? "1e307" : "-1e307") + "," +
             std::to_string(40 * k + 2 * t) + ",30,0\n";
    }
  d.write("line.csv", line);
  d.write("far.csv", far);
  // At most 2 GB of address space (AddressSanitizer reserves far more for
  // itself: there the run goes without the limit).
#if defined(__SANITIZE_ADDRESS__)
  const std::string limit;
#else
  const std::string limit = "ulimit -v 2000000; ";
#endif
  for (const char* table : {"line.csv", "far.csv"}) {
    const vantu_test::Outcome o =
        d.run({"-c", limit + VANTU_TRACK_BIN + " -o out_" + table + " " + table}, "/bin/sh");
    EXPECT_EQ(o.status, 0) << table << ": " << o.err;
    EXPECT_EQ(o.err.find("bad_alloc"), std::string::npos);
    EXPECT_EQ(o.err.find("length_error"), std::string::npos);
  }
}

}  // namespace
