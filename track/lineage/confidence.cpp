// How sure each link of the repaired lineage is.
//
// A cell's link is the cell it comes from: its own track's cell in the frame
// before (or before a closed gap), its mother's last cell when it starts a
// daughter track, or none. Each way a cell could come from a cell of the
// frame before gets a cost, squared deviations in units of their spreads, as
// the repairs weigh links: the distance from where the colony's local motion
// carries the earlier cell (the median displacement of its six nearest
// neighbours whose tracks go on), the length change against the colony's
// growth, and the axis change. A daughter is expected a quarter of her
// mother's length from the mother's centre along her axis, at half her
// length. "No link" has a fixed cost. Weights exp(-cost / 2) make the chosen
// link's share among the cell's possible origins (the row) and among the
// cells its origin could go on to (the column); the confidence is the smaller
// share: near 1 for a cell alone in its neighbourhood, 1/2 where two cells
// could swap, low where another link (or none) fits much better. (The product
// of the shares, or sharper weights, fitted simulated truths worse.)
// A link over a closed gap or through a resolved division is capped, as
// those are the repairs' guesses. Cells of the first frame have nothing to
// doubt: 1.
#include <algorithm>
#include <cmath>
#include <utility>

#include "track/lineage/link_cost.h"
#include "track/lineage/lineage.h"

namespace vantu {

namespace {

constexpr double kLengthSpread = kFixedLengthSpread;
constexpr double kDaughterSpread = 0.15;  // log ratio of a daughter's length to half her mother's
constexpr double kAxisSpread = kFixedAxisSpread;
constexpr double kLeastSpread = kFixedLeastSpread;
constexpr double kNoLinkCost = kFixedNoLinkCost;
constexpr double kReach = 6.5;            // candidates within this many position spreads
// Weights exp(-cost / kTemperature), the likelihood of normal deviations
// (sharper weights put more wrong links above 0.9 on simulated movies).
constexpr double kTemperature = 2.0;
constexpr int kNeighbours = 6;
// Caps of the repairs' guesses: a link across a closed gap, the cell going on
// where the pairs saw a division.
constexpr double kAfterGapCap = 0.8, kResolvedCap = 0.8;

struct Link {
  int frame = -1, cell = -1;  // the cell it comes from; frame -1: none
  bool daughter = false;
};

// The colony's motion from frame s to frame t, sampled by the cells of s
// whose tracks have a cell at t.
struct Motion {
  int s = 0, t = 0;
  std::vector<double> x, y, dx, dy;  // the samples
  double sd = 1.0;                   // spread of the links' residuals
};

struct Rater {
  const TimeLapse& tl;
  const Lineage& lin;
  std::vector<std::vector<std::pair<int, int>>> cells;  // per track: (frame, cell)
  double growth = 1.0, spacing = 1.0;

  Rater(const TimeLapse& t, const Lineage& l) : tl(t), lin(l) {}
  const Frame& frame(int t) const { return tl.frames[static_cast<size_t>(t)]; }

  // Where track k has a cell in frame t, or -1.
  int cell_of(int k, int t) const {
    const auto& cs = cells[static_cast<size_t>(k - 1)];
    auto it = std::lower_bound(cs.begin(), cs.end(), std::make_pair(t, -1));
    return it != cs.end() && it->first == t ? it->second : -1;
  }

  Motion motion(int s, int t) const {
    Motion m;
    m.s = s, m.t = t;
    const Frame& a = frame(s);
    const Frame& b = frame(t);
    for (int i = 0; i < a.count(); ++i) {
      const int j = cell_of(lin.track[static_cast<size_t>(s)][static_cast<size_t>(i)], t);
      if (j < 0) continue;
      m.x.push_back(a.x[static_cast<size_t>(i)]);
      m.y.push_back(a.y[static_cast<size_t>(i)]);
      m.dx.push_back(b.x[static_cast<size_t>(j)] - a.x[static_cast<size_t>(i)]);
      m.dy.push_back(b.y[static_cast<size_t>(j)] - a.y[static_cast<size_t>(i)]);
    }
    return m;
  }

  // Where the motion carries a point: its position plus the median
  // displacement of the nearest samples (not counting a sample at the point).
  std::pair<double, double> carry(const Motion& m, const CellGrid& g, double x, double y) const {
    if (m.x.empty()) return {x, y};
    std::vector<int> near;
    for (double r = 2 * spacing; near.size() < static_cast<size_t>(kNeighbours) + 1; r *= 2) {
      g.within(x, y, r, near);
      if (r > 1e6 * spacing) break;
    }
    std::vector<std::pair<double, int>> by_distance;
    for (int k : near) {
      const double d = std::hypot(m.x[static_cast<size_t>(k)] - x, m.y[static_cast<size_t>(k)] - y);
      if (d > 0) by_distance.push_back({d, k});
    }
    std::sort(by_distance.begin(), by_distance.end());
    std::vector<double> dx, dy;
    for (size_t n = 0; n < by_distance.size() && n < static_cast<size_t>(kNeighbours); ++n) {
      dx.push_back(m.dx[static_cast<size_t>(by_distance[n].second)]);
      dy.push_back(m.dy[static_cast<size_t>(by_distance[n].second)]);
    }
    return {x + median_of(dx), y + median_of(dy)};
  }
};

void measure(Rater& r) {
  std::vector<double> ratios, nearest;
  for (const auto& cs : r.cells)
    for (size_t k = 1; k < cs.size(); ++k) {
      const double before = r.frame(cs[k - 1].first).length[static_cast<size_t>(cs[k - 1].second)];
      if (cs[k].first == cs[k - 1].first + 1 && before > 0)
        ratios.push_back(r.frame(cs[k].first).length[static_cast<size_t>(cs[k].second)] / before);
    }
  if (!ratios.empty()) r.growth = median_of(ratios);
  for (const Frame& f : r.tl.frames) nearest_distances(f, nearest);
  if (!nearest.empty()) r.spacing = std::max(median_of(nearest), 1e-9);
}

// One pair of frames (s, t) seen through its motion: where each cell of s is
// carried, the residual spread, and a grid of the carried positions.
struct PairView {
  Motion m;
  std::vector<double> cx, cy;  // carried positions of the cells of s
  double steps = 1;            // frames from s to t (for the growth)
};

PairView pair_view(const Rater& r, int s, int t) {
  PairView v;
  v.m = r.motion(s, t);
  v.steps = t - s;
  const CellGrid samples(v.m.x, v.m.y);
  const Frame& a = r.frame(s);
  std::vector<double> residual;
  for (int i = 0; i < a.count(); ++i) {
    const auto at = r.carry(v.m, samples, a.x[static_cast<size_t>(i)], a.y[static_cast<size_t>(i)]);
    v.cx.push_back(at.first);
    v.cy.push_back(at.second);
    const int j = r.cell_of(r.lin.track[static_cast<size_t>(s)][static_cast<size_t>(i)], t);
    if (j >= 0)
      residual.push_back(std::hypot(r.frame(t).x[static_cast<size_t>(j)] - at.first,
                                    r.frame(t).y[static_cast<size_t>(j)] - at.second));
  }
  v.m.sd = std::max(median_of(residual) / 1.177, kLeastSpread * r.spacing);
  return v;
}

// The cost of cell j of frame t coming from cell i of frame s, as the same
// cell going on or (daughter) as one of its two daughters.
double cost(const Rater& r, const PairView& v, int i, int j, bool daughter) {
  const Frame& a = r.frame(v.m.s);
  const Frame& b = r.frame(v.m.t);
  const size_t ui = static_cast<size_t>(i), uj = static_cast<size_t>(j);
  const double grown = std::max(a.length[ui], 1e-9) * std::pow(r.growth, v.steps);
  double dx = b.x[uj] - v.cx[ui], dy = b.y[uj] - v.cy[ui];
  double spread = kLengthSpread, expected = grown;
  if (daughter) {
    // The nearer of the two places a daughter's centre is expected.
    const double t = a.angle[ui] / 57.29577951308232, q = grown / 4;
    const double ax = q * std::cos(t), ay = -q * std::sin(t);
    const double d1 = std::hypot(dx - ax, dy - ay), d2 = std::hypot(dx + ax, dy + ay);
    dx = std::min(d1, d2), dy = 0;
    spread = kDaughterSpread, expected = grown / 2;
  }
  const double pos = (dx * dx + dy * dy) / (v.m.sd * v.m.sd);
  const double len = std::log(std::max(b.length[uj], 1e-9) / expected) / spread;
  const double turn = axis_change(a.angle[ui], b.angle[uj]) / kAxisSpread;
  return pos + len * len + turn * turn;
}

// The share of `chosen` among the costs `others` (and no link), as weights
// exp(-cost / 2).
double share(double chosen, const std::vector<double>& others) {
  double least = chosen;
  for (double c : others) least = std::min(least, c);
  double sum = 0;
  for (double c : others) sum += std::exp(-(c - least) / kTemperature);
  const double w = std::exp(-(chosen - least) / kTemperature);
  return w / (w + sum);
}

// The confidence of the links of frame t's cells that come from frame s
// (through `v`), and of the cells of frame t without link when s = t - 1.
void rate_from(const Rater& r, const PairView& v, const std::vector<Link>& links, int t,
               std::vector<double>& out) {
  const Frame& a = r.frame(v.m.s);
  const Frame& b = r.frame(t);
  const CellGrid carried(v.cx, v.cy);
  const CellGrid here(b);
  double longest = 0;
  for (double l : a.length) longest = std::max(longest, l);
  const double reach = kReach * v.m.sd + 0.3 * longest * std::pow(r.growth, v.steps);
  std::vector<int> near_a, near_b;
  for (int j = 0; j < b.count(); ++j) {
    const Link& lk = links[static_cast<size_t>(j)];
    const bool none = lk.frame < 0;
    if (none ? v.m.t != t || v.m.s != t - 1 : lk.frame != v.m.s) continue;
    const size_t uj = static_cast<size_t>(j);
    // The row: every origin cell j could have, and no link.
    std::vector<double> row;
    double chosen = kNoLinkCost;
    carried.within(b.x[uj], b.y[uj], reach, near_a);
    for (int i : near_a)
      for (bool d : {false, true}) {
        const double c = cost(r, v, i, j, d);
        if (!none && i == lk.cell && d == lk.daughter) chosen = c;
        else row.push_back(c);
      }
    if (!none) row.push_back(kNoLinkCost);
    double p = share(chosen, row);
    if (!none) {
      // The column: the other cells the origin could go on to (not the
      // cells that do come from it), and none.
      const size_t ui = static_cast<size_t>(lk.cell);
      std::vector<double> column{kNoLinkCost};
      here.within(v.cx[ui], v.cy[ui], reach, near_b);
      for (int j2 : near_b) {
        if (j2 == j) continue;
        const Link& other = links[static_cast<size_t>(j2)];
        if (other.frame == lk.frame && other.cell == lk.cell) continue;
        column.push_back(cost(r, v, lk.cell, j2, lk.daughter));
      }
      p = std::min(p, share(chosen, column));
    }
    out[uj] = std::clamp(p, 0.0, 1.0);
  }
}

}  // namespace

std::vector<std::vector<double>> link_confidence(const TimeLapse& tl, const Lineage& lin) {
  std::vector<std::vector<double>> conf(lin.track.size());
  for (size_t t = 0; t < lin.track.size(); ++t) conf[t].assign(lin.track[t].size(), 1.0);
  if (lin.tracks.empty() || tl.frames.size() < 2) return conf;
  Rater r(tl, lin);
  r.cells.resize(lin.tracks.size());
  for (size_t t = 0; t < lin.track.size(); ++t)
    for (size_t i = 0; i < lin.track[t].size(); ++i)
      r.cells[static_cast<size_t>(lin.track[t][i] - 1)].push_back({static_cast<int>(t), static_cast<int>(i)});
  measure(r);
  for (int t = 1; t < static_cast<int>(tl.frames.size()); ++t) {
    const Frame& f = tl.frames[static_cast<size_t>(t)];
    std::vector<Link> links(static_cast<size_t>(f.count()));
    std::vector<int> sources;  // frames the links come from, besides t - 1
    for (int j = 0; j < f.count(); ++j) {
      const int k = lin.track[static_cast<size_t>(t)][static_cast<size_t>(j)];
      const auto& cs = r.cells[static_cast<size_t>(k - 1)];
      const auto at = std::lower_bound(cs.begin(), cs.end(), std::make_pair(t, j));
      Link& lk = links[static_cast<size_t>(j)];
      if (at != cs.begin()) {
        lk.frame = (at - 1)->first, lk.cell = (at - 1)->second;
      } else if (const int p = lin.tracks[static_cast<size_t>(k - 1)].parent; p > 0) {
        const auto& pc = r.cells[static_cast<size_t>(p - 1)];
        lk.frame = pc.back().first, lk.cell = pc.back().second, lk.daughter = true;
      }
      if (lk.frame >= 0 && lk.frame != t - 1 && std::find(sources.begin(), sources.end(), lk.frame) == sources.end())
        sources.push_back(lk.frame);
    }
    rate_from(r, pair_view(r, t - 1, t), links, t, conf[static_cast<size_t>(t)]);
    std::sort(sources.begin(), sources.end());
    for (int s : sources) rate_from(r, pair_view(r, s, t), links, t, conf[static_cast<size_t>(t)]);
    if (lin.flag.empty()) continue;
    for (int j = 0; j < f.count(); ++j) {
      double& c = conf[static_cast<size_t>(t)][static_cast<size_t>(j)];
      const int flag = lin.flag[static_cast<size_t>(t)][static_cast<size_t>(j)];
      if (flag == kAfterGap) c = std::min(c, kAfterGapCap);
      if (flag == kDivisionResolved) c = std::min(c, kResolvedCap);
    }
  }
  return conf;
}

}  // namespace vantu
