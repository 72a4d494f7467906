// How vantu-track matches pairs the spline cannot take whole: small and flat
// pairs by scoring hypotheses, large pairs in tiles stitched together; and the
// library call that stays silent where the program prints solver warnings.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "run/driver.h"
#include "tests/harness.h"
#include "track/track.h"

using vantu_test::Cell;
using vantu_test::Outcome;
using vantu_test::RunDir;
using namespace vantu;

namespace {

Frame frame_of(const std::vector<Cell>& cells) {
  Frame f;
  for (const Cell& c : cells) {
    f.x.push_back(c.x);
    f.y.push_back(c.y);
    f.length.push_back(c.len);
    f.angle.push_back(c.angle);
    f.id.push_back(c.id);
  }
  fill_point_sets(f);
  return f;
}

ParameterSet reach_parameters(double reach) {
  ParameterSet p = default_track_parameters();
  p.rEvar = 1.0 / (reach * reach);
  p.BetaInit = 0.4 / (p.rEvar * 15 * 15);
  return p;
}

// A rod of length `len` along angle `deg` at (x, y) split in two daughters.
std::vector<Cell> divided(double x, double y, double len, double deg, double id1, double id2) {
  const double ux = std::cos(deg / 57.3) * len / 4, uy = -std::sin(deg / 57.3) * len / 4;
  return {{x + ux, y + uy, len / 2, deg, id1}, {x - ux, y - uy, len / 2, deg, id2}};
}

// Per second-frame cell: the first-frame index at level 0, 1, 2.
std::vector<std::vector<int>> rows_of(const PairLinks& pl) {
  std::vector<std::vector<int>> r;
  for (int j = 0; j < pl.M; ++j)
    r.push_back({pl.row[0][static_cast<size_t>(j)], pl.row[1][static_cast<size_t>(j)], pl.row[2][static_cast<size_t>(j)]});
  return r;
}

// ---- A founder cell dividing twice ----

TEST(SmallPairs, AFounderGivesOneTwoFourThroughTheProgramWithoutSolverText) {
  RunDir dir;
  // Frame 0: one cell; frame 1: grown and moved; frame 2: two daughters
  // (ids shuffled); frame 3: grown; frame 4: each daughter divided.
  std::vector<std::vector<Cell>> frames = {
      {{200, 200, 40, 20, 1}},
      {{203, 201, 46, 21, 1}},
      divided(205, 202, 50, 21, 2, 1),
      {},
      {},
  };
  const Cell d1 = frames[2][0], d2 = frames[2][1];
  frames[3] = {{d2.x - 1, d2.y + 1, 27, 23, 1}, {d1.x + 2, d1.y - 0.5, 27, 19, 2}};
  frames[4] = divided(d1.x + 4, d1.y - 1, 32, 18, 3, 1);
  for (const Cell& c : divided(d2.x - 2, d2.y + 2, 32, 24, 4, 2)) frames[4].push_back(c);
  std::vector<std::string> args = {"-o", "out"};
  for (size_t t = 0; t < frames.size(); ++t) {
    const std::string name = "f" + std::to_string(t) + ".dat";
    dir.write(name, vantu_test::cells_text(frames[t]));
    args.push_back(name);
  }
  const Outcome o = dir.run(args, VANTU_TRACK_BIN);
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.out, "");
  EXPECT_EQ(o.err.find("singular"), std::string::npos) << o.err;
  // res_track.txt: "L B E P" per track.
  const auto tracks = vantu_test::table(dir.read("out/res_track.txt"));
  ASSERT_EQ(tracks.size(), 7u) << dir.read("out/res_track.txt");
  EXPECT_EQ(tracks[0], (std::vector<std::string>{"1", "0", "1", "0"}));
  int daughters = 0, granddaughters = 0;
  for (size_t k = 1; k < tracks.size(); ++k) {
    if (tracks[k][3] == "1") {
      ++daughters;
      EXPECT_EQ(tracks[k][1], "2");
      EXPECT_EQ(tracks[k][2], "3");
    } else {
      ++granddaughters;
      EXPECT_TRUE(tracks[k][3] == "2" || tracks[k][3] == "3") << tracks[k][3];
      EXPECT_EQ(tracks[k][1], "4");
    }
  }
  EXPECT_EQ(daughters, 2);
  EXPECT_EQ(granddaughters, 4);
  EXPECT_NE(dir.read("out/pairs.log").find("small-pair matcher"), std::string::npos);
}

TEST(SmallPairs, SimulatedColoniesFromOneCellKeepTheirLineage) {
  RunDir dir;
  for (const char* seed : {"1", "3"}) {
    const std::string sub = std::string("tl") + seed;
    const auto frames = vantu_test::simulate_timelapse(dir, sub, {"--cells", "1", "--frames", "30", "--seed", seed});
    ASSERT_EQ(frames.size(), 30u);
    std::vector<std::string> args = {"-o", sub + "/out"};
    args.insert(args.end(), frames.begin(), frames.end());
    const Outcome o = dir.run(args, VANTU_TRACK_BIN);
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.out, "");
    const auto s = vantu_test::score_lineage(dir.read(sub + "/out/cells.csv"), dir.read(sub + "/truth.csv"));
    EXPECT_GE(s.links, 0.99) << seed;
    EXPECT_GE(s.daughters_found, 0.98) << seed;
  }
}

// ---- Cells on one line ----

struct LinePair {
  Frame a, b;
  std::vector<std::vector<int>> truth;  // per second-frame cell: levels 0, 1, 2
};

// Fifty rods end to end along x (a filament), moved, stretched by growth, and
// the cell with index 20 divided. With `exact`, every cell has y = 100.
LinePair line_pair(bool exact) {
  LinePair lp;
  std::vector<Cell> first, second;
  for (int i = 0; i < 50; ++i) {
    const double wiggle = exact ? 0.0 : 0.6 * std::sin(1.7 * i);
    first.push_back({30.0 * i, 100 + wiggle, 27, 0, static_cast<double>(i + 1)});
  }
  for (int i = 0; i < 50; ++i) {
    const double x = 1.04 * 30.0 * i + 6, y = first[static_cast<size_t>(i)].y + 2;
    if (i == 20) {
      for (const Cell& c : divided(x, y, 29, 0, 100, 101)) second.push_back(c);
      lp.truth.push_back({-1, 20, -1});
      lp.truth.push_back({-1, -1, 20});
    } else {
      second.push_back({x, y, 28, 0, static_cast<double>(i + 1)});
      lp.truth.push_back({i, -1, -1});
    }
  }
  lp.a = frame_of(first);
  lp.b = frame_of(second);
  return lp;
}

TEST(SmallPairs, CellsOnALineAreMatchedByHypothesesWithTheirDivision) {
  for (bool exact : {true, false}) {
    const LinePair lp = line_pair(exact);
    const ParameterSet p = reach_parameters(25);
    EXPECT_TRUE(is_small_pair(lp.a, lp.b, p)) << exact;
    const PairLinks pl = match_small_pair(lp.a, lp.b, p);
    EXPECT_EQ(rows_of(pl), lp.truth) << exact;
  }
  // A spread colony of the same size goes to the kernel.
  std::vector<Cell> grid;
  for (int i = 0; i < 50; ++i) grid.push_back({20.0 * (i % 7), 20.0 * (i / 7), 15, 0, i + 1.0});
  EXPECT_FALSE(is_small_pair(frame_of(grid), frame_of(grid), reach_parameters(25)));
}

TEST(SmallPairs, MatchPairIsSilentAndCountsWhatTheProgramPrints) {
  const LinePair lp = line_pair(true);
  ParameterSet p = reach_parameters(25);
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  const PairResult r = match_pair(lp.a.first, lp.b.second, p, PairOptions());
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_GT(r.singular_solves, 0);

  // The program on the same cells prints one line for each.
  RunDir dir;
  dir.write("a.dat", point_file_text(lp.a));
  dir.write("b.dat", point_file_text(lp.b));
  dir.write("softconfig.dat", config_text(p, "test"));
  const Outcome o = dir.run({"a.dat", "b.dat"});
  ASSERT_EQ(o.status, 0) << o.out;
  size_t lines = 0;
  for (const std::string& line : vantu_test::lines(o.out)) lines += line == "ERROR (reverse): singular matrices";
  EXPECT_EQ(lines, static_cast<size_t>(r.singular_solves));
}

// ---- Tiles ----

// Two tiles side by side, cores split at x = 100: tile 0 holds the cells left
// of 100 + margin, tile 1 those right of 100 - margin.
struct TwoTiles {
  TilePlan plan;
  std::vector<PairLinks> links;
  TwoTiles(const std::vector<double>& first_x, const std::vector<double>& second_x) {
    plan.column_cuts = {100};
    plan.row_cuts = {{}, {}};
    plan.tiles.resize(2);
    for (int i = 0; i < static_cast<int>(first_x.size()); ++i) {
      plan.home_first.push_back(first_x[static_cast<size_t>(i)] < 100 ? 0 : 1);
      if (first_x[static_cast<size_t>(i)] < 130) plan.tiles[0].first.push_back(i);
      if (first_x[static_cast<size_t>(i)] >= 70) plan.tiles[1].first.push_back(i);
    }
    for (int j = 0; j < static_cast<int>(second_x.size()); ++j) {
      plan.home_second.push_back(second_x[static_cast<size_t>(j)] < 100 ? 0 : 1);
      if (second_x[static_cast<size_t>(j)] < 130) plan.tiles[0].second.push_back(j);
      if (second_x[static_cast<size_t>(j)] >= 70) plan.tiles[1].second.push_back(j);
    }
    for (const Tile& t : plan.tiles) {
      PairLinks pl;
      pl.K = static_cast<int>(t.first.size());
      pl.M = static_cast<int>(t.second.size());
      for (auto& r : pl.row) r.assign(t.second.size(), -1);
      links.push_back(pl);
    }
  }
  // Tile k links second-frame cell j to first-frame cell i at level l (global indices).
  void link(int k, int j, int l, int i) {
    const Tile& t = plan.tiles[static_cast<size_t>(k)];
    const auto lj = std::find(t.second.begin(), t.second.end(), j) - t.second.begin();
    const auto li = std::find(t.first.begin(), t.first.end(), i) - t.first.begin();
    links[static_cast<size_t>(k)].row[l][static_cast<size_t>(lj)] = static_cast<int>(li);
  }
};

TEST(Tiles, ADivisionAcrossABorderAndAMotherClaimedTwiceFollowTheMothersTile) {
  // First frame: a mother at x = 95 (home: tile 0), a cell at 110 (tile 1).
  // Second frame: daughters at 90 (core 0) and 104 (core 1), the other cell at 115.
  TwoTiles tt({95, 110}, {90, 104, 115});
  tt.link(0, 0, 1, 0);  // tile 0 sees the division
  tt.link(0, 1, 2, 0);
  tt.link(1, 1, 0, 0);  // tile 1 takes the second daughter for the mother going on
  tt.link(1, 2, 0, 1);
  PairLinks pl = stitch_tiles(tt.plan, tt.links, 2, 3);
  EXPECT_EQ(rows_of(pl), (std::vector<std::vector<int>>{{-1, 0, -1}, {-1, -1, 0}, {1, -1, -1}}));
  EXPECT_EQ(pl.method, PairMethod::kTiles);
  EXPECT_EQ(pl.tiles, 2);

  // The mother's tile sees it go on to cell 0; the other tile claims it for cell 1 too.
  TwoTiles twice({95, 110}, {90, 104, 115});
  twice.link(0, 0, 0, 0);
  twice.link(1, 1, 0, 0);
  twice.link(1, 2, 0, 1);
  pl = stitch_tiles(twice.plan, twice.links, 2, 3);
  EXPECT_EQ(rows_of(pl), (std::vector<std::vector<int>>{{0, -1, -1}, {-1, -1, -1}, {1, -1, -1}}));
}

TEST(Tiles, ACellTakesAllItsLevelsFromOneTileAndNeverHasTwoMothers) {
  // Tile 0 sees cell 0 go on as the cell at 95; tile 1 sees the cell at 110
  // divide into cells 1 and 0. Taken level by level, cell 0 had both as
  // mothers and the cell at 110 a division into one daughter.
  TwoTiles tt({95, 110}, {90, 112});
  tt.link(0, 0, 0, 0);
  tt.link(1, 1, 1, 1);
  tt.link(1, 0, 2, 1);
  const PairLinks pl = stitch_tiles(tt.plan, tt.links, 2, 2);
  EXPECT_EQ(rows_of(pl), (std::vector<std::vector<int>>{{0, -1, -1}, {-1, 1, -1}}));
  for (int j = 0; j < pl.M; ++j) {
    int mothers = 0;
    for (int l = 0; l < 3; ++l) mothers += pl.row[l][static_cast<size_t>(j)] >= 0;
    EXPECT_LE(mothers, 1) << "cell " << j;
  }
}

TEST(Tiles, TheCoresCoverEveryCellOnceAndTheTilesOverlap) {
  std::vector<Cell> cells;
  for (int i = 0; i < 900; ++i) cells.push_back({15.0 * (i % 30), 15.0 * (i / 30), 20, 0, i + 1.0});
  const Frame f = frame_of(cells);
  const ParameterSet p = reach_parameters(20);
  const TilePlan plan = plan_tiles(f, f, p, 200);
  ASSERT_GE(plan.tiles.size(), 4u);
  std::vector<int> cores(plan.tiles.size(), 0);
  for (int i = 0; i < f.count(); ++i) {
    const int home = plan.home_first[static_cast<size_t>(i)];
    ++cores[static_cast<size_t>(home)];
    // Every cell is in its home tile, with its whole reach around it.
    const Tile& t = plan.tiles[static_cast<size_t>(home)];
    for (int k = 0; k < f.count(); ++k) {
      const size_t a = static_cast<size_t>(k), b = static_cast<size_t>(i);
      if (std::hypot(f.x[a] - f.x[b], f.y[a] - f.y[b]) <= 20) {
        EXPECT_TRUE(std::binary_search(t.second.begin(), t.second.end(), k)) << i << " " << k;
      }
    }
  }
  for (int c : cores) EXPECT_NEAR(c, 900.0 / static_cast<double>(plan.tiles.size()), 60);
}

TEST(Tiles, AProposalIsTiledSmallerAndOnlyWhereTheTilesSave) {
  std::vector<Cell> cells;
  for (int i = 0; i < 900; ++i) cells.push_back({15.0 * (i % 30), 15.0 * (i / 30), 20, 0, i + 1.0});
  const Frame f = frame_of(cells);
  PairRun run;
  run.params = reach_parameters(20);
  EXPECT_EQ(pair_tiling(f, f, run), kTileCells);
  run.proposal = true;
  EXPECT_EQ(pair_tiling(f, f, run), kProposalTileCells);
  // A reach of 10 spacings: every tile's margins would hold most of the colony.
  run.params = reach_parameters(150);
  EXPECT_EQ(pair_tiling(f, f, run), 0);
  run.tile_cells = 300;  // the user's size is kept where it saves
  run.params = reach_parameters(20);
  EXPECT_EQ(pair_tiling(f, f, run), 300);
  // Past 3000 cells, the tiles of any run.
  for (int i = 900; i < 3100; ++i) cells.push_back({15.0 * (i % 30), 15.0 * (i / 30), 20, 0, i + 1.0});
  const Frame large = frame_of(cells);
  run.tile_cells = kChosenTileCells;
  EXPECT_EQ(pair_tiling(large, large, run), kTileCells);
}

TEST(Tiles, AnotherTileSizeMatchesTiledPairsAgain) {
  RunDir dir;
  const auto frames = vantu_test::simulate_timelapse(dir, "tl", {"--cells", "45", "--frames", "2", "--seed", "4"});
  auto args = [&](const char* tile_cells) {
    std::vector<std::string> a = {"-o", "k", "--tile-cells", tile_cells, "--raw"};
    a.insert(a.end(), frames.begin(), frames.end());
    return a;
  };
  ASSERT_EQ(dir.run(args("20"), VANTU_TRACK_BIN).status, 0);
  const std::string first = dir.read("k/pairs.log");
  ASSERT_NE(first.find(" tiles"), std::string::npos) << first;
  ASSERT_EQ(dir.run(args("30"), VANTU_TRACK_BIN).status, 0);
  const std::string second = dir.read("k/pairs.log");
  EXPECT_EQ(second.find("(earlier run)"), std::string::npos) << second;
  ASSERT_EQ(dir.run(args("30"), VANTU_TRACK_BIN).status, 0);
  EXPECT_NE(dir.read("k/pairs.log").find("(earlier run)"), std::string::npos);
}

TEST(Tiles, TiledAndWholeFrameLinksAgreeOnAMidSizeColony) {
  RunDir dir;
  const auto frames = vantu_test::simulate_timelapse(dir, "tl", {"--cells", "150", "--frames", "2", "--seed", "3"});
  ASSERT_EQ(frames.size(), 2u);
  std::vector<std::string> whole = {"-o", "whole", "--tile-cells", "0", "--raw"},
                           tiled = {"-o", "tiled", "--tile-cells", "80", "--raw", "--keep-pairs"};
  whole.insert(whole.end(), frames.begin(), frames.end());
  tiled.insert(tiled.end(), frames.begin(), frames.end());
  ASSERT_EQ(dir.run(whole, VANTU_TRACK_BIN).status, 0);
  ASSERT_EQ(dir.run(tiled, VANTU_TRACK_BIN).status, 0);
  EXPECT_NE(dir.read("tiled/pairs.log").find("tiles"), std::string::npos);
  // The records' link lines (after the six header lines).
  const auto a = vantu_test::lines(dir.read("whole/pairs/0000.txt"));
  const auto b = vantu_test::lines(dir.read("tiled/pairs/0000.txt"));
  ASSERT_EQ(a.size(), b.size());
  ASSERT_GT(a.size(), 150u);
  size_t same = 0;
  for (size_t k = 6; k + 1 < a.size(); ++k) same += a[k] == b[k];
  EXPECT_GE(static_cast<double>(same) / static_cast<double>(a.size() - 7), 0.995);

  // A kept tile holds its cells and parameters: vantu there gives its files again.
  RunDir tile;
  for (const char* name : {"first.dat", "second.dat", "softconfig.dat"}) tile.write(name, dir.read(std::string("tiled/pairs/0000/tile_001/") + name));
  std::vector<std::string> args = vantu_test::table(vantu::kTrackerKernelArgs)[0];  // the tracker's arithmetic
  args.push_back("first.dat");
  args.push_back("second.dat");
  ASSERT_EQ(tile.run(args).status, 0);
  for (const char* name : {"Match.dat", "tps_c.dat", "Perm2.dat"})
    EXPECT_TRUE(tile.read(name) == dir.read(std::string("tiled/pairs/0000/tile_001/") + name)) << name;
}

}  // namespace
