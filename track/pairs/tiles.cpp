// Large pairs in overlapping tiles, and the links stitched back together.
//
// The second frame is moved back by the colony's shift (the move of the
// centroid) so that both frames share one set of coordinates. The plane is
// cut into cores, columns at quantiles of x and each column into rows at
// quantiles of y, so every core holds about the same number of cells; a tile
// is its core grown by a margin of kMarginReach reaches (the reach r =
// sqrt(TH / rEvar) is farther than a cell can be linked) on every side, and
// holds every cell of both frames inside. Each tile is matched on its own by
// the kernel, with the warp penalty lambda1 scaled so that its warp is as
// stiff as the whole pair's would be (the kernel scales lambda1 by the size of
// its spline kernel, which is smaller over a tile). Measured on simulated
// colonies of 250-300 cells cut into 150-cell tiles: 99.3 % of the links
// agreed with whole-frame matching without the scaling, 99.6 % with it; a
// margin of one reach gave 98.7 %, two 99.3 %, three no more than two.
//
// Stitching, per second-frame cell over all its levels at once: a cell takes
// its links from the tile whose core holds it, and a first-frame cell keeps
// the children that the tile whose core holds it (its home) gave it. Where the
// two disagree (a mother claimed by two tiles, a division whose daughters fall
// into two cores), the mother's home decides: it sees the mother's whole
// neighbourhood, both daughters included. Every link kept is a link of the
// mother's home tile, so no mother has more than one child per level; and all
// of a cell's links come from one tile's view, so no cell has two mothers
// (deciding each level on its own once gave a cell level 0 from one tile and
// level 2 from another: a "division" into a single daughter).
#include <algorithm>
#include <cmath>

#include "track/pairs/pairs.h"

namespace vantu {

namespace {

constexpr double kMarginReach = 2.0;

double mean_of(const std::vector<double>& v) {
  double s = 0;
  for (double x : v) s += x;
  return v.empty() ? 0.0 : s / static_cast<double>(v.size());
}

// Cuts between `parts` groups of equal size of the sorted values.
std::vector<double> quantile_cuts(std::vector<double> v, int parts) {
  std::sort(v.begin(), v.end());
  std::vector<double> cuts;
  for (int k = 1; k < parts && !v.empty(); ++k) {
    const size_t at = v.size() * static_cast<size_t>(k) / static_cast<size_t>(parts);
    cuts.push_back(at == 0 ? v[0] : (v[at - 1] + v[at]) / 2);
  }
  return cuts;
}

// The slot of `value` among the cuts: 0 below the first, cuts.size() above the last.
int slot_of(const std::vector<double>& cuts, double value) {
  return static_cast<int>(std::upper_bound(cuts.begin(), cuts.end(), value) - cuts.begin());
}

// The size of the spline's kernel over the cells `cells` of a point set, as
// the kernel measures it to scale its warp penalty: sqrt(sum of U^2 / M).
double kernel_size(const PointSet& s, const std::vector<int>& cells) {
  double sum = 0.0;
  for (int a : cells)
    for (int b : cells) {
      const double dx = s.xy[2 * static_cast<size_t>(a)] - s.xy[2 * static_cast<size_t>(b)];
      const double dy = s.xy[2 * static_cast<size_t>(a) + 1] - s.xy[2 * static_cast<size_t>(b) + 1];
      const double r2 = dx * dx + dy * dy;
      const double u = r2 < 1e-10 ? 0.0 : 0.5 * r2 * std::log(r2);
      sum += u * u;
    }
  return cells.empty() ? 0.0 : std::sqrt(sum / static_cast<double>(cells.size()));
}

}  // namespace

int pair_tile_cells(const Frame& a, const Frame& b, const ParameterSet& p, int tile_cells) {
  if (a.count() == 0 || b.count() == 0 || is_small_pair(a, b, p)) return 0;
  if (std::max(a.count(), b.count()) <= (tile_cells > 0 ? tile_cells : kPointCapacity)) return 0;
  return tile_cells > 0 ? tile_cells : kTileCells;
}

TilePlan plan_tiles(const Frame& a, const Frame& b, const ParameterSet& p, int tile_cells) {
  TilePlan plan;
  plan.shift[0] = mean_of(b.x) - mean_of(a.x);
  plan.shift[1] = mean_of(b.y) - mean_of(a.y);
  // Both frames' cells in the first frame's coordinates.
  std::vector<double> xs, ys;
  for (int i = 0; i < a.count(); ++i) {
    xs.push_back(a.x[static_cast<size_t>(i)]);
    ys.push_back(a.y[static_cast<size_t>(i)]);
  }
  for (int j = 0; j < b.count(); ++j) {
    xs.push_back(b.x[static_cast<size_t>(j)] - plan.shift[0]);
    ys.push_back(b.y[static_cast<size_t>(j)] - plan.shift[1]);
  }
  const int cells = std::max(a.count(), b.count());
  const int tiles = std::max(1, (cells + tile_cells - 1) / std::max(1, tile_cells));
  const auto [xmin, xmax] = std::minmax_element(xs.begin(), xs.end());
  const auto [ymin, ymax] = std::minmax_element(ys.begin(), ys.end());
  const double w = std::max(1e-9, *xmax - *xmin), h = std::max(1e-9, *ymax - *ymin);
  const int columns = std::clamp(static_cast<int>(std::lround(std::sqrt(tiles * w / h))), 1, tiles);
  const int rows = (tiles + columns - 1) / columns;
  plan.column_cuts = quantile_cuts(xs, columns);
  plan.row_cuts.resize(static_cast<size_t>(columns));
  for (int c = 0; c < columns; ++c) {
    std::vector<double> in;
    for (size_t k = 0; k < xs.size(); ++k)
      if (slot_of(plan.column_cuts, xs[k]) == c) in.push_back(ys[k]);
    plan.row_cuts[static_cast<size_t>(c)] = quantile_cuts(in, rows);
  }

  // Cores as rectangles, then every cell into each tile whose grown core holds it.
  const double margin = kMarginReach * std::sqrt(p.TH / p.rEvar);
  struct Box {
    double x0, x1, y0, y1;
  };
  std::vector<Box> boxes;
  for (int c = 0; c < columns; ++c) {
    const std::vector<double>& rc = plan.row_cuts[static_cast<size_t>(c)];
    for (size_t r = 0; r <= rc.size(); ++r) {
      Box bx;
      bx.x0 = c == 0 ? -INFINITY : plan.column_cuts[static_cast<size_t>(c - 1)] - margin;
      bx.x1 = c == columns - 1 ? INFINITY : plan.column_cuts[static_cast<size_t>(c)] + margin;
      bx.y0 = r == 0 ? -INFINITY : rc[r - 1] - margin;
      bx.y1 = r == rc.size() ? INFINITY : rc[r] + margin;
      boxes.push_back(bx);
    }
  }
  plan.tiles.resize(boxes.size());
  auto inside = [](const Box& bx, double x, double y) { return x >= bx.x0 && x < bx.x1 && y >= bx.y0 && y < bx.y1; };
  plan.home_first.resize(static_cast<size_t>(a.count()));
  plan.home_second.resize(static_cast<size_t>(b.count()));
  for (int i = 0; i < a.count(); ++i) {
    const double x = xs[static_cast<size_t>(i)], y = ys[static_cast<size_t>(i)];
    plan.home_first[static_cast<size_t>(i)] = plan.core_of(x, y);
    for (size_t t = 0; t < boxes.size(); ++t)
      if (inside(boxes[t], x, y)) plan.tiles[t].first.push_back(i);
  }
  for (int j = 0; j < b.count(); ++j) {
    const double x = xs[static_cast<size_t>(a.count() + j)], y = ys[static_cast<size_t>(a.count() + j)];
    plan.home_second[static_cast<size_t>(j)] = plan.core_of(x, y);
    for (size_t t = 0; t < boxes.size(); ++t)
      if (inside(boxes[t], x, y)) plan.tiles[t].second.push_back(j);
  }
  // Each tile's warp penalty as the whole pair's: the kernel scales lambda1
  // by the size of its spline kernel, which is smaller over a tile.
  std::vector<int> all(static_cast<size_t>(b.count()));
  for (int j = 0; j < b.count(); ++j) all[static_cast<size_t>(j)] = j;
  const double whole = kernel_size(b.second, all);
  for (Tile& tile : plan.tiles) {
    const double own = kernel_size(b.second, tile.second);
    tile.params = p;
    if (own > 0 && whole > 0) tile.params.lambda1 = p.lambda1 * (whole / own);
  }
  return plan;
}

int TilePlan::core_of(double x, double y) const {
  const int c = slot_of(column_cuts, x);
  int index = 0;
  for (int k = 0; k < c; ++k) index += static_cast<int>(row_cuts[static_cast<size_t>(k)].size()) + 1;
  return index + slot_of(row_cuts[static_cast<size_t>(c)], y);
}

PairLinks stitch_tiles(const TilePlan& plan, const std::vector<PairLinks>& tile_links, int K, int M) {
  PairLinks pl;
  pl.K = K;
  pl.M = M;
  pl.method = PairMethod::kTiles;
  pl.tiles = static_cast<int>(plan.tiles.size());
  for (auto& r : pl.row) r.assign(static_cast<size_t>(M), -1);
  for (const PairLinks& tl : tile_links) pl.singular_solves += tl.singular_solves;

  // Per second-frame cell, what each tile holding it linked it to at every
  // level (first-frame cells, global indices; -1 none).
  struct View {
    int tile;
    int row[3];
  };
  std::vector<std::vector<View>> views(static_cast<size_t>(M));
  for (size_t t = 0; t < plan.tiles.size(); ++t) {
    const Tile& tile = plan.tiles[t];
    const PairLinks& tl = tile_links[t];
    for (size_t lj = 0; lj < tile.second.size(); ++lj) {
      View v{static_cast<int>(t), {-1, -1, -1}};
      for (int l = 0; l < 3; ++l) {
        const int li = tl.row[l].empty() ? -1 : tl.row[l][lj];
        if (li >= 0) v.row[l] = tile.first[static_cast<size_t>(li)];
      }
      views[static_cast<size_t>(tile.second[lj])].push_back(v);
    }
  }
  auto home = [&](int i) { return plan.home_first[static_cast<size_t>(i)]; };
  // A link stands when the mother's home tile gives it.
  auto stands = [&](const std::vector<View>& seen, int l, int i) {
    for (const View& v : seen)
      if (v.tile == home(i) && v.row[l] == i) return true;
    return false;
  };
  // Each cell takes every level from one tile's view, so that it never has
  // two mothers: its own tile's when all that view's links stand, else the
  // view of a mother's home tile, with that home's mothers only (its own
  // tile first, then the lowest mother).
  for (int j = 0; j < M; ++j) {
    const std::vector<View>& seen = views[static_cast<size_t>(j)];
    const int core = plan.home_second[static_cast<size_t>(j)];
    const View* pick = nullptr;
    bool whole = false;
    int pick_mother = -1;
    for (const View& v : seen) {
      int mother = -1, links = 0, standing = 0;
      for (int l = 0; l < 3; ++l) {
        const int i = v.row[l];
        if (i < 0) continue;
        ++links;
        if (stands(seen, l, i)) ++standing;
        if (home(i) == v.tile && (mother < 0 || i < mother)) mother = i;
      }
      if (v.tile == core && links > 0 && standing == links) {
        pick = &v, whole = true;
        break;
      }
      if (mother < 0) continue;
      const bool own = v.tile == core, pick_own = pick && pick->tile == core;
      if (!pick || (own && !pick_own) || (own == pick_own && mother < pick_mother)) pick = &v, pick_mother = mother;
    }
    if (!pick) continue;
    for (int l = 0; l < 3; ++l) {
      const int i = pick->row[l];
      if (i >= 0 && (whole || home(i) == pick->tile)) pl.row[l][static_cast<size_t>(j)] = i;
    }
  }
  return pl;
}

PointSet tile_points(const PointSet& s, const std::vector<int>& cells) {
  PointSet t;
  const size_t n = std::max(cells.size(), static_cast<size_t>(kPointCapacity));
  t.xy.assign(2 * n, 0.0);
  t.len.assign(n, 0.0);
  t.ang.assign(n, 0.0);
  t.id.assign(n, 0.0);
  t.count = static_cast<int>(cells.size());
  for (size_t k = 0; k < cells.size(); ++k) {
    const size_t i = static_cast<size_t>(cells[k]);
    t.xy[2 * k] = s.xy[2 * i];
    t.xy[2 * k + 1] = s.xy[2 * i + 1];
    t.len[k] = s.len[i];
    t.ang[k] = s.ang[i];
    t.id[k] = s.id[i];
  }
  return t;
}

}  // namespace vantu
