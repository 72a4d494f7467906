// How sure each link of the repaired lineage is.
//
// A cell's link is the cell it comes from: its own track's cell in the frame
// before (or before a closed gap), its mother's last cell when it starts a
// daughter track, or none. Each way a cell could come from a cell of the
// frame before is priced by the link model (link_cost.h), the one by which
// the assignment decides, with the one motion predictor (predicted_motion,
// fed by the lineage's own links): a continuation, a daughter as one of the
// two cells of a division (with the sister that fits best, less what the
// sister costs without that mother), no link as a cell new there. An
// alternative frees a cell (the chosen origin, or the cell the origin would
// leave); that cell takes its cheapest other way (another continuation, lost
// or new), so that every choice explains the same cells. The alternatives
// are looked for as far as a cell that moves unlike its neighbours goes
// (stray_gate), so a cell whose likely origin lies beyond the usual motion,
// or a cell decided as new or lost inside the field, is rated against its
// best alternative there. Weights exp(-cost) make the chosen link's share
// among the cell's possible origins (the row) and among the cells its origin
// could go on to, or being lost (the column); the confidence is the smaller
// share: near 1 for a cell alone in its neighbourhood, 1/2 where two cells
// could swap, low where another link (or none) fits much better. Where the
// assignment decided a link, its margin rates it instead (assign.h).
// A link over a closed gap or through a resolved division is capped, as
// those are the repairs' guesses. Cells of the first frame have nothing to
// doubt: 1.
#include <algorithm>
#include <cmath>
#include <utility>

#include "track/lineage/assign.h"
#include "track/lineage/link_cost.h"
#include "track/lineage/lineage.h"

namespace vantu {

namespace {

// Caps of the repairs' guesses: a link across a closed gap, the cell going on
// where the pairs saw a division.
constexpr double kAfterGapCap = 0.8, kResolvedCap = 0.8;
// Weights exp(-cost / kShareScale): the likelihood of each way (flatter
// weights put as many wrong links among the lowest rated on the agar movie,
// and rate a third of its links below 0.9).
constexpr double kShareScale = 1.0;

struct Link {
  int frame = -1, cell = -1;  // the cell it comes from; frame -1: none
  bool daughter = false;
  int sister = -1;            // a daughter's sister in the same frame, -1: none seen
};

RodCell rod(const Frame& f, int i) {
  const size_t k = static_cast<size_t>(i);
  return RodCell{f.x[k], f.y[k], std::max(f.length[k], 1e-6), f.angle[k]};
}

struct Rater {
  const TimeLapse& tl;
  const Lineage& lin;
  std::vector<std::vector<std::pair<int, int>>> cells;  // per track: (frame, cell)
  std::vector<std::vector<int>> children;               // per track: its daughter tracks
  std::vector<CellGrid> grids;                          // per frame
  LinkModel m;

  Rater(const TimeLapse& t, const Lineage& l) : tl(t), lin(l) {}
  const Frame& frame(int t) const { return tl.frames[static_cast<size_t>(t)]; }
  int track(int t, int i) const { return lin.track[static_cast<size_t>(t)][static_cast<size_t>(i)]; }

  // Where track k has a cell in frame t, or -1.
  int cell_of(int k, int t) const {
    const auto& cs = cells[static_cast<size_t>(k - 1)];
    auto it = std::lower_bound(cs.begin(), cs.end(), std::make_pair(t, -1));
    return it != cs.end() && it->first == t ? it->second : -1;
  }
};

int steps_between(const TimeLapse& tl, int s, int t) {
  int f = 0;
  for (int u = s; u < t; ++u) f += frames_between(tl, static_cast<size_t>(u));
  return std::max(f, 1);
}

// One pair of frames (s, t) seen through the lineage: the motion predicted at
// every cell of s and where it carries the cell.
struct PairView {
  int s = 0, t = 0, steps = 1;
  std::vector<double> mx, my;  // predicted displacement per cell of s
  std::vector<double> cx, cy;  // carried positions of the cells of s
};

PairView pair_view(const Rater& r, int s, int t) {
  PairView v;
  v.s = s, v.t = t, v.steps = steps_between(r.tl, s, t);
  const Frame& a = r.frame(s);
  const Frame& b = r.frame(t);
  // What the lineage's links show: each cell of s to its own track's cell
  // at t, or to its daughters' length-weighted centre.
  std::vector<double> dx(static_cast<size_t>(a.count()), NAN), dy(dx);
  for (int i = 0; i < a.count(); ++i) {
    const size_t u = static_cast<size_t>(i);
    const int k = r.track(s, i);
    if (const int j = r.cell_of(k, t); j >= 0) {
      dx[u] = b.x[static_cast<size_t>(j)] - a.x[u];
      dy[u] = b.y[static_cast<size_t>(j)] - a.y[u];
      continue;
    }
    const auto& kids = r.children[static_cast<size_t>(k - 1)];
    if (kids.size() != 2) continue;
    const int j1 = r.cell_of(kids[0], t), j2 = r.cell_of(kids[1], t);
    if (j1 < 0 || j2 < 0) continue;
    const double l1 = b.length[static_cast<size_t>(j1)], l2 = b.length[static_cast<size_t>(j2)];
    const double w1 = l1 / std::max(l1 + l2, 1e-9), w2 = 1.0 - w1;
    dx[u] = w1 * b.x[static_cast<size_t>(j1)] + w2 * b.x[static_cast<size_t>(j2)] - a.x[u];
    dy[u] = w1 * b.y[static_cast<size_t>(j1)] + w2 * b.y[static_cast<size_t>(j2)] - a.y[u];
  }
  predicted_motion(a, r.grids[static_cast<size_t>(s)], dx, dy, v.mx, v.my);
  for (int i = 0; i < a.count(); ++i) {
    const size_t u = static_cast<size_t>(i);
    if (!std::isfinite(v.mx[u]) || !std::isfinite(v.my[u])) v.mx[u] = v.my[u] = 0;
    v.cx.push_back(a.x[u] + v.mx[u]);
    v.cy.push_back(a.y[u] + v.my[u]);
  }
  return v;
}

// The model of a lineage rated without the assignment's: the movie's field,
// fitted to the lineage's own links between consecutive frames.
LinkModel fit_to_lineage(const Rater& r) {
  LinkModel m = movie_model(r.tl);
  LinkSamples s;
  for (int t = 1; t < static_cast<int>(r.tl.frames.size()); ++t) {
    if (steps_between(r.tl, t - 1, t) != 1) continue;
    const PairView v = pair_view(r, t - 1, t);
    const Frame& a = r.frame(t - 1);
    const Frame& b = r.frame(t);
    s.mothers += a.count();
    for (int i = 0; i < a.count(); ++i) {
      const size_t u = static_cast<size_t>(i);
      const int k = r.track(t - 1, i);
      if (const int j = r.cell_of(k, t); j >= 0) {
        const RodCell ra = rod(a, i), rb = rod(b, j);
        s.residual.push_back(std::hypot(rb.x - v.cx[u], rb.y - v.cy[u]));
        s.growth.push_back(std::log(rb.length / ra.length));
        s.axis.push_back(axis_change(ra.angle, rb.angle));
        continue;
      }
      const auto& kids = r.children[static_cast<size_t>(k - 1)];
      if (kids.size() != 2) continue;
      const int j1 = r.cell_of(kids[0], t), j2 = r.cell_of(kids[1], t);
      if (j1 < 0 || j2 < 0) continue;
      const RodCell ra = rod(a, i), r1 = rod(b, j1), r2 = rod(b, j2);
      const double sum = r1.length + r2.length;
      ++s.divisions;
      s.division_growth.push_back(std::log(sum / ra.length));
      s.share.push_back(std::fabs(r1.length / sum - 0.5));
      s.division_axis.push_back(axis_change(ra.angle, r1.angle));
      s.division_axis.push_back(axis_change(ra.angle, r2.angle));
      s.separation.push_back(std::hypot(r2.x - r1.x, r2.y - r1.y) / (0.5 * sum));
    }
  }
  fit_link_model(m, s);
  return m;
}

// A cell's two cheapest ways (the other cell of each, -1 for lost or new).
struct TwoBest {
  double first = HUGE_VAL, second = HUGE_VAL;
  int by = -2;
  void add(double c, int k) {
    if (c < first) second = first, first = c, by = k;
    else if (c < second) second = c;
  }
  // The cheapest way that does not go through cell k.
  double without(int k) const { return k == by ? second : first; }
};

// The costs of the hypotheses of one pair of frames, by the link model. An
// alternative to a link moves the cells it frees to their cheapest other way
// (another continuation, or lost or new), so that every choice explains the
// same cells.
struct Pricer {
  const Rater& r;
  const PairView& v;
  const Frame& a;
  const Frame& b;
  CellGrid here, carried;  // the cells of frame t; the carried cells of frame s
  double wide;             // how far a continuation is looked for
  double division_reach;   // a daughter within this of her mother's carried centre (the longest mother's)
  std::vector<TwoBest> into, out_of;  // per cell of t and of s, lazily
  std::vector<char> into_known, out_known;
  std::vector<std::vector<int>> daughters;  // per cell of s: the cells of t near enough to be its daughters, lazily
  std::vector<char> daughters_known;
  std::vector<int> near;

  Pricer(const Rater& rr, const PairView& vv)
      : r(rr), v(vv), a(rr.frame(vv.s)), b(rr.frame(vv.t)), here(b), carried(vv.cx, vv.cy),
        wide(stray_gate(rr.m, vv.steps)), into(static_cast<size_t>(b.count())),
        out_of(static_cast<size_t>(a.count())), into_known(into.size(), 0), out_known(out_of.size(), 0),
        daughters(out_of.size()), daughters_known(out_of.size(), 0) {
    double longest = 0;
    for (double l : a.length) longest = std::max(longest, l);
    division_reach = position_gate(r.m, v.steps) + 0.75 * longest * std::exp(std::max(r.m.division_growth, 0.0) * v.steps);
  }

  // How far from cell i's carried centre its daughters may lie.
  double reach_of(int i) const {
    return position_gate(r.m, v.steps) + 0.75 * a.length[static_cast<size_t>(i)] * std::exp(std::max(r.m.division_growth, 0.0) * v.steps);
  }

  double continuation(int i, int j) const {
    const size_t u = static_cast<size_t>(i);
    return continuation_cost(r.m, rod(a, i), v.mx[u], v.my[u], rod(b, j), v.steps);
  }
  double appear(int j) const { return appear_cost(r.m, rod(b, j)); }
  double lost(int i) const { return lost_cost(r.m, rod(a, i)); }

  // Cell j of frame t without cell i of s as its origin: its cheapest
  // continuation from another cell, or new.
  double into_without(int j, int i) {
    const size_t u = static_cast<size_t>(j);
    if (!into_known[u]) {
      into[u].add(appear(j), -1);
      carried.within(b.x[u], b.y[u], wide, near);
      for (int k : near) into[u].add(continuation(k, j), k);
      into_known[u] = 1;
    }
    return into[u].without(i);
  }
  // Cell i of frame s without cell j of t: its cheapest continuation into
  // another cell, or lost.
  double out_without(int i, int j) {
    const size_t u = static_cast<size_t>(i);
    if (!out_known[u]) {
      out_of[u].add(lost(i), -1);
      here.within(v.cx[u], v.cy[u], wide, near);
      for (int k : near) out_of[u].add(continuation(i, k), k);
      out_known[u] = 1;
    }
    return out_of[u].without(j);
  }

  // Cell j as a daughter of cell i: the division into j and `sister` (-1:
  // the sister that fits best), less what the sister costs without i.
  double daughter(int i, int j, int sister) {
    const size_t u = static_cast<size_t>(i);
    const RodCell ra = rod(a, i), rj = rod(b, j);
    auto with = [&](int k) { return division_cost(r.m, ra, v.mx[u], v.my[u], rj, rod(b, k), v.steps) - into_without(k, i); };
    if (sister >= 0) return with(sister);
    if (!daughters_known[u]) {
      here.within(v.cx[u], v.cy[u], reach_of(i), daughters[u]);
      daughters_known[u] = 1;
    }
    // A sister lies end to end with j: one further apart than 8 position
    // spreads from that is no likely one.
    const double gate = position_gate(r.m, v.steps);
    double best = HUGE_VAL;
    for (int k : daughters[u]) {
      if (k == j) continue;
      const size_t uk = static_cast<size_t>(k), uj = static_cast<size_t>(j);
      const double apart = 0.5 * r.m.separation * (b.length[uj] + b.length[uk]) + gate;
      if ((b.x[uk] - b.x[uj]) * (b.x[uk] - b.x[uj]) + (b.y[uk] - b.y[uj]) * (b.y[uk] - b.y[uj]) > apart * apart) continue;
      best = std::min(best, with(k));
    }
    return best;
  }
  double link(int i, int j, bool as_daughter) { return as_daughter ? daughter(i, j, -1) : continuation(i, j); }
};

// The share of `chosen` among the costs `others`, as weights exp(-cost /
// kShareScale).
double share(double chosen, const std::vector<double>& others) {
  double least = chosen;
  for (double c : others) least = std::min(least, c);
  double sum = 0;
  for (double c : others) sum += std::exp(-(c - least) / kShareScale);
  const double w = std::exp(-(chosen - least) / kShareScale);
  return w / (w + sum);
}

// The confidence of the links of frame t's cells that come from frame s
// (through `v`), and of the cells of frame t without link when s = t - 1.
void rate_from(const Rater& r, const PairView& v, const std::vector<Link>& links, std::vector<double>& out) {
  Pricer p(r, v);
  std::vector<int> near_a, near_b;
  for (int j = 0; j < p.b.count(); ++j) {
    const Link& lk = links[static_cast<size_t>(j)];
    const bool none = lk.frame < 0;
    if (none ? v.s != v.t - 1 : lk.frame != v.s) continue;
    const size_t uj = static_cast<size_t>(j);
    const int i = lk.cell;
    const double chosen = none ? p.appear(j) : lk.daughter ? p.daughter(i, j, lk.sister) : p.continuation(i, j);
    // What the chosen origin does if j does not come from it.
    const double freed = none ? 0.0 : p.out_without(i, j);
    // The row: every other origin j could have, and none.
    std::vector<double> row;
    p.carried.within(p.b.x[uj], p.b.y[uj], std::max(p.wide, p.division_reach), near_a);
    for (int k : near_a)
      for (bool d : {false, true}) {
        if (!none && k == i && d == lk.daughter) continue;
        const size_t uk = static_cast<size_t>(k);
        if (d && std::hypot(p.b.x[uj] - v.cx[uk], p.b.y[uj] - v.cy[uk]) > p.reach_of(k)) continue;
        const double c = p.link(k, j, d) + (k == i ? 0.0 : freed - p.out_without(k, j));
        if (std::isfinite(c)) row.push_back(c);
      }
    if (!none) row.push_back(p.appear(j) + freed);
    double conf = share(chosen, row);
    if (!none) {
      // The column: the other cells the origin could go on to (not the
      // cells that do come from it), and being lost; j then takes its
      // cheapest other way.
      const size_t ui = static_cast<size_t>(i);
      const double left = p.into_without(j, i);
      std::vector<double> column{p.lost(i) + left};
      p.here.within(v.cx[ui], v.cy[ui], lk.daughter ? p.reach_of(i) : p.wide, near_b);
      for (int j2 : near_b) {
        if (j2 == j) continue;
        const Link& other = links[static_cast<size_t>(j2)];
        if (other.frame == lk.frame && other.cell == i) continue;
        const double c = p.link(i, j2, lk.daughter) - p.into_without(j2, i) + left;
        if (std::isfinite(c)) column.push_back(c);
      }
      conf = std::min(conf, share(chosen, column));
    }
    out[uj] = std::isfinite(conf) ? std::clamp(conf, 0.0, 1.0) : 0.0;
  }
}

}  // namespace

std::vector<std::vector<double>> link_confidence(const TimeLapse& tl, const Lineage& lin, const LinkModel* model) {
  std::vector<std::vector<double>> conf(lin.track.size());
  for (size_t t = 0; t < lin.track.size(); ++t) conf[t].assign(lin.track[t].size(), 1.0);
  if (lin.tracks.empty() || tl.frames.size() < 2) return conf;
  Rater r(tl, lin);
  r.cells.resize(lin.tracks.size());
  r.children.resize(lin.tracks.size());
  for (size_t t = 0; t < lin.track.size(); ++t)
    for (size_t i = 0; i < lin.track[t].size(); ++i)
      r.cells[static_cast<size_t>(lin.track[t][i] - 1)].push_back({static_cast<int>(t), static_cast<int>(i)});
  for (size_t k = 0; k < lin.tracks.size(); ++k)
    if (const int p = lin.tracks[k].parent; p > 0) r.children[static_cast<size_t>(p - 1)].push_back(static_cast<int>(k) + 1);
  r.grids.reserve(tl.frames.size());
  for (const Frame& f : tl.frames) r.grids.emplace_back(f);
  r.m = model != nullptr ? *model : fit_to_lineage(r);
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
        for (int sib : r.children[static_cast<size_t>(p - 1)])
          if (sib != k && r.cell_of(sib, t) >= 0) lk.sister = r.cell_of(sib, t);
      }
      if (lk.frame >= 0 && lk.frame != t - 1 && std::find(sources.begin(), sources.end(), lk.frame) == sources.end())
        sources.push_back(lk.frame);
    }
    rate_from(r, pair_view(r, t - 1, t), links, conf[static_cast<size_t>(t)]);
    std::sort(sources.begin(), sources.end());
    for (int s : sources) rate_from(r, pair_view(r, s, t), links, conf[static_cast<size_t>(t)]);
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
