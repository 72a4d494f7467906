// Deciding the links: an exact assignment per pair of frames over the
// hypotheses of the link model (link_cost.h).
//
// The matcher proposes; this stage decides. Per pair of frames t, t+1:
//   1. The local motion at every cell i of frame t: the median displacement
//      of its nearest neighbours' links (i's own left out, so that a wrong
//      link of i's does not vouch for itself). The first pass takes the
//      links the matcher proposed; every later pass the links of the pass
//      before.
//   2. Candidates: continuations i -> j and divisions i -> j1 + j2 whose
//      midpoint lies within the position gate of i's predicted centre, and
//      whose cost is below explaining the same cells as lost and new (such a
//      candidate can never be part of the best assignment).
//   3. The assignment of least total cost in which every cell of frame t
//      continues, divides or is lost, and every cell of frame t+1 is
//      explained once (a continuation, a daughter, or new): a set partition,
//      solved exactly as a 0-1 program, one connected group of candidates
//      at a time.
// After each pass the model is fitted again to the links it chose (growth,
// spreads, division rate), so the second pass weighs links by the movie's
// own statistics, and its motion comes from a lineage that is mostly right.
#include "track/lineage/assign.h"

#include <glpk.h>

#include <algorithm>
#include <cmath>
#include <numeric>

namespace vantu {

namespace {

constexpr int kMotionNeighbours = 6;
constexpr int kPasses = 3;
// A link's confidence is the logistic of its margin (in the model's natural
// units) over this scale: a swap of two like cells is 1/2, and 0.9 takes a
// margin of 6.6 (on the agar movie and its every-2nd and every-3rd frame
// movies, wrong links are about as common at margins of 4 to 8 as below).
constexpr double kConfidenceScale = 3.0;
// The cost that keeps a choice out of an assignment.
constexpr double kForbidden = 1e6;

RodCell rod(const Frame& f, int i) {
  const size_t k = static_cast<size_t>(i);
  return RodCell{f.x[k], f.y[k], std::max(f.length[k], 1e-6), f.angle[k]};
}

// One pair's decided links in the matcher's layout: row[0] a continuation,
// rows 1 and 2 the two daughters of a division.
struct Event {
  int kind;  // 0 continuation, 1 division, 2 new (only to carry its margin out)
  int i, j1, j2;
  double cost;
  double margin = 0;  // a chosen event: how much more the best assignment without it costs
};

// The events a pair's links make, read as the lineage reads them: two
// daughters of one cell (and no level-0 claim) a division, else a level-0
// claim or a lone daughter the cell going on.
std::vector<Event> events_of(const PairLinks& pl, const Frame& a, const Frame& b) {
  std::vector<Event> out;
  const size_t K = static_cast<size_t>(a.count());
  std::vector<int> same(K, -1), d1(K, -1), d2(K, -1);
  for (int j = 0; j < pl.M && j < b.count(); ++j) {
    const size_t sj = static_cast<size_t>(j);
    auto at = [&](int l) { return pl.row[l].size() > sj ? pl.row[l][sj] : -1; };
    if (at(0) >= 0 && same[static_cast<size_t>(at(0))] < 0) same[static_cast<size_t>(at(0))] = j;
    if (at(1) >= 0 && d1[static_cast<size_t>(at(1))] < 0) d1[static_cast<size_t>(at(1))] = j;
    if (at(2) >= 0 && d2[static_cast<size_t>(at(2))] < 0) d2[static_cast<size_t>(at(2))] = j;
  }
  for (size_t i = 0; i < K; ++i) {
    const int ii = static_cast<int>(i);
    if (d1[i] >= 0 && d2[i] >= 0 && d1[i] != d2[i] && same[i] < 0)
      out.push_back({1, ii, d1[i], d2[i], 0});
    else if (const int j = same[i] >= 0 ? same[i] : (d1[i] >= 0 ? d1[i] : d2[i]); j >= 0)
      out.push_back({0, ii, j, -1, 0});
  }
  return out;
}

// Per cell of frame t, the displacement its link shows (NaN: no link): to
// its successor, or to its daughters' length-weighted centre.
void link_displacements(const Frame& a, const Frame& b, const PairLinks& pl, std::vector<double>& dx,
                        std::vector<double>& dy) {
  const size_t K = static_cast<size_t>(a.count());
  dx.assign(K, NAN);
  dy.assign(K, NAN);
  for (const Event& e : events_of(pl, a, b)) {
    const size_t i = static_cast<size_t>(e.i), u = static_cast<size_t>(e.j1);
    if (e.kind == 1) {
      const size_t v = static_cast<size_t>(e.j2);
      const double w1 = b.length[u] / (b.length[u] + b.length[v]), w2 = 1.0 - w1;
      dx[i] = w1 * b.x[u] + w2 * b.x[v] - a.x[i];
      dy[i] = w1 * b.y[u] + w2 * b.y[v] - a.y[i];
    } else {
      dx[i] = b.x[u] - a.x[i];
      dy[i] = b.y[u] - a.y[i];
    }
  }
}

// The motion predicted at every cell of frame a: the median displacement of
// its nearest neighbours that have a link (its own left out); the pair's
// median where none is near; none at all without links.
void local_motion(const Frame& a, const CellGrid& grid, const std::vector<double>& dx, const std::vector<double>& dy,
                  std::vector<double>& mx, std::vector<double>& my) {
  const int K = a.count();
  std::vector<double> allx, ally;
  for (int i = 0; i < K; ++i)
    if (std::isfinite(dx[static_cast<size_t>(i)])) allx.push_back(dx[static_cast<size_t>(i)]), ally.push_back(dy[static_cast<size_t>(i)]);
  const double gx = median_of(allx), gy = median_of(ally);
  mx.assign(static_cast<size_t>(K), gx);
  my.assign(static_cast<size_t>(K), gy);
  std::vector<std::pair<double, int>> near;
  std::vector<double> sx, sy;
  for (int i = 0; i < K; ++i) {
    grid.nearest(i, static_cast<size_t>(3 * kMotionNeighbours), near);
    sx.clear();
    sy.clear();
    for (const auto& [d, k] : near) {
      if (!std::isfinite(dx[static_cast<size_t>(k)])) continue;
      sx.push_back(dx[static_cast<size_t>(k)]);
      sy.push_back(dy[static_cast<size_t>(k)]);
      if (sx.size() == static_cast<size_t>(kMotionNeighbours)) break;
    }
    if (sx.size() >= 2) mx[static_cast<size_t>(i)] = median_of(sx), my[static_cast<size_t>(i)] = median_of(sy);
  }
}

struct Candidates {
  std::vector<Event> events;
};

Candidates candidates_of(const LinkModel& m, const Frame& a, const Frame& b, const CellGrid& grid_b,
                         const std::vector<double>& mx, const std::vector<double>& my, int frames) {
  Candidates c;
  const double gate = position_gate(m, frames);
  std::vector<int> near;
  for (int i = 0; i < a.count(); ++i) {
    const RodCell ra = rod(a, i);
    const double px = ra.x + mx[static_cast<size_t>(i)], py = ra.y + my[static_cast<size_t>(i)];
    const double reach = gate + 0.75 * ra.length * std::exp(std::max(m.division_growth, 0.0) * frames);
    grid_b.near(px, py, reach, near);
    const double lost = lost_cost(m, ra);
    for (int j : near) {
      const RodCell rb = rod(b, j);
      if (std::hypot(rb.x - px, rb.y - py) > gate) continue;
      const double cost = continuation_cost(m, ra, mx[static_cast<size_t>(i)], my[static_cast<size_t>(i)], rb, frames);
      if (std::isfinite(cost) && cost < lost + appear_cost(m, rb)) c.events.push_back({0, i, j, -1, cost});
    }
    for (size_t u = 0; u < near.size(); ++u) {
      const RodCell r1 = rod(b, near[u]);
      if (std::hypot(r1.x - px, r1.y - py) > reach) continue;
      for (size_t v = u + 1; v < near.size(); ++v) {
        const RodCell r2 = rod(b, near[v]);
        if (std::hypot(r2.x - px, r2.y - py) > reach) continue;
        const double w1 = r1.length / (r1.length + r2.length), w2 = 1.0 - w1;
        if (std::hypot(w1 * r1.x + w2 * r2.x - px, w1 * r1.y + w2 * r2.y - py) > gate) continue;
        const double cost =
            division_cost(m, ra, mx[static_cast<size_t>(i)], my[static_cast<size_t>(i)], r1, r2, frames);
        if (std::isfinite(cost) && cost < lost + appear_cost(m, r1) + appear_cost(m, r2))
          c.events.push_back({1, i, near[u], near[v], cost});
      }
    }
  }
  return c;
}

// The user's corrections of one pair (corrections.h) as constraints of its
// assignment (one cell linked to i: i going on; two: i's daughters):
// candidates that break one are dropped, a fixed link is added
// when the gates left it out (at its model cost, or at the cost of the lost
// and new cells it replaces when the model rules it out), and a cell fixed
// to a link can be neither lost nor new.
void constrain(const PairConstraints& fix, const LinkModel& m, const Frame& a, const Frame& b,
               const std::vector<double>& mx, const std::vector<double>& my, int frames, Candidates& c,
               std::vector<double>& lost, std::vector<double>& appear) {
  const size_t K = lost.size(), M = appear.size();
  std::vector<int> from(M, -1);                   // frame b's cell -> the cell it must come from
  std::vector<std::vector<int>> kids(K);          // frame a's cell -> the cells that must come from it
  std::vector<char> fresh(M, 0), ends(K, 0), lone(K, 0);  // lone: i's one fixed cell is a daughter
  for (const auto& [i, j] : fix.fixed) from[static_cast<size_t>(j)] = i, kids[static_cast<size_t>(i)].push_back(j);
  for (const auto& [i, j] : fix.daughters)
    from[static_cast<size_t>(j)] = i, kids[static_cast<size_t>(i)].push_back(j), lone[static_cast<size_t>(i)] = 1;
  for (int j : fix.fresh) fresh[static_cast<size_t>(j)] = 1;
  for (int i : fix.ends) ends[static_cast<size_t>(i)] = 1;
  auto forbidden = [&](int i, int j) {
    return std::find(fix.forbidden.begin(), fix.forbidden.end(), std::make_pair(i, j)) != fix.forbidden.end();
  };
  auto allowed = [&](const Event& e) {
    const size_t i = static_cast<size_t>(e.i);
    if (ends[i]) return false;
    for (int j : {e.j1, e.kind == 1 ? e.j2 : -1}) {
      if (j < 0) continue;
      const size_t sj = static_cast<size_t>(j);
      if (fresh[sj] || (from[sj] >= 0 && from[sj] != e.i) || forbidden(e.i, j)) return false;
    }
    const std::vector<int>& k = kids[i];
    const auto has = [&](int j) { return e.j1 == j || (e.kind == 1 && e.j2 == j); };
    if (k.size() == 2) return e.kind == 1 && has(k[0]) && has(k[1]);
    if (k.size() == 1 && lone[i]) return has(k[0]);  // a division with it, or it alone (made a daughter by the repairs)
    return k.empty() || (e.kind == 0 && e.j1 == k[0]);  // one cell linked: the same cell going on
  };
  c.events.erase(std::remove_if(c.events.begin(), c.events.end(), [&](const Event& e) { return !allowed(e); }),
                 c.events.end());
  for (size_t i = 0; i < K; ++i) {
    const std::vector<int>& k = kids[i];
    if (k.empty()) continue;
    lost[i] = kForbidden;
    for (int j : k) appear[static_cast<size_t>(j)] = kForbidden;
    const int ii = static_cast<int>(i);
    const bool division = k.size() == 2;
    const bool present = std::any_of(c.events.begin(), c.events.end(), [&](const Event& e) {
      return e.i == ii && (division ? e.kind == 1 : e.kind == 0 && e.j1 == k[0]);
    });
    if (present) continue;
    const RodCell ra = rod(a, ii), r1 = rod(b, k[0]);
    const double cost =
        division ? division_cost(m, ra, mx[i], my[i], r1, rod(b, k[1]), frames) : continuation_cost(m, ra, mx[i], my[i], r1, frames);
    const double instead = lost_cost(m, ra) + appear_cost(m, r1) + (division ? appear_cost(m, rod(b, k[1])) : 0.0);
    c.events.push_back({division ? 1 : 0, ii, k[0], division ? k[1] : -1, std::isfinite(cost) ? cost : instead});
  }
}

// The events the user did not fix: only these teach the model (a fixed link
// is often the odd one out; fitted, it would widen the spreads for all).
std::vector<Event> free_events(const std::vector<Event>& ev, const PairConstraints* fix) {
  if (!fix) return ev;
  std::vector<Event> out;
  auto fixed = [&](int i) {
    for (const auto* list : {&fix->fixed, &fix->daughters})
      for (const auto& [from, to] : *list)
        if (from == i) return true;
    return false;
  };
  for (const Event& e : ev)
    if (e.kind == 2 || !fixed(e.i)) out.push_back(e);
  return out;
}

// Union-find over the cells of both frames (frame b's after frame a's).
struct Groups {
  std::vector<int> up;
  explicit Groups(size_t n) : up(n) { std::iota(up.begin(), up.end(), 0); }
  int find(int x) {
    while (up[static_cast<size_t>(x)] != x) x = up[static_cast<size_t>(x)] = up[static_cast<size_t>(up[static_cast<size_t>(x)])];
    return x;
  }
  void join(int x, int y) {
    x = find(x), y = find(y);
    if (x != y) up[static_cast<size_t>(std::max(x, y))] = std::min(x, y);
  }
};

// The events of least total cost among `ev` (indices into all), every cell
// of `cells_a` and `cells_b` explained once; the rest lost or new.
std::vector<int> solve_group(const std::vector<Event>& all, const std::vector<int>& ev, const std::vector<int>& cells_a,
                             const std::vector<int>& cells_b, const std::vector<double>& lost,
                             const std::vector<double>& appear, int forbid_new = -1) {
  // Rows: the cells of a, then of b. Columns: the events, then lost, then new
  // (frame b's cell `forbid_new` may not be new).
  std::vector<int> row_a(lost.size(), -1), row_b(appear.size(), -1);
  for (size_t k = 0; k < cells_a.size(); ++k) row_a[static_cast<size_t>(cells_a[k])] = static_cast<int>(k) + 1;
  for (size_t k = 0; k < cells_b.size(); ++k)
    row_b[static_cast<size_t>(cells_b[k])] = static_cast<int>(cells_a.size() + k) + 1;
  const int rows = static_cast<int>(cells_a.size() + cells_b.size());
  const int cols = static_cast<int>(ev.size() + cells_a.size() + cells_b.size());
  glp_prob* lp = glp_create_prob();
  glp_set_obj_dir(lp, GLP_MIN);
  glp_add_rows(lp, rows);
  for (int r = 1; r <= rows; ++r) glp_set_row_bnds(lp, r, GLP_FX, 1.0, 1.0);
  glp_add_cols(lp, cols);
  std::vector<int> ia{0}, ja{0};
  std::vector<double> ar{0.0};
  auto entry = [&](int r, int c) { ia.push_back(r), ja.push_back(c), ar.push_back(1.0); };
  int c = 0;
  for (int e : ev) {
    const Event& x = all[static_cast<size_t>(e)];
    ++c;
    glp_set_obj_coef(lp, c, x.cost);
    entry(row_a[static_cast<size_t>(x.i)], c);
    entry(row_b[static_cast<size_t>(x.j1)], c);
    if (x.kind == 1) entry(row_b[static_cast<size_t>(x.j2)], c);
  }
  for (int i : cells_a) glp_set_obj_coef(lp, ++c, lost[static_cast<size_t>(i)]), entry(row_a[static_cast<size_t>(i)], c);
  for (int j : cells_b)
    glp_set_obj_coef(lp, ++c, j == forbid_new ? kForbidden : appear[static_cast<size_t>(j)]), entry(row_b[static_cast<size_t>(j)], c);
  for (int k = 1; k <= cols; ++k) glp_set_col_kind(lp, k, GLP_BV);
  glp_load_matrix(lp, static_cast<int>(ia.size()) - 1, ia.data(), ja.data(), ar.data());
  glp_iocp parm;
  glp_init_iocp(&parm);
  parm.msg_lev = GLP_MSG_OFF;
  parm.presolve = GLP_ON;
  std::vector<int> chosen;
  if (glp_intopt(lp, &parm) == 0 && (glp_mip_status(lp) == GLP_OPT || glp_mip_status(lp) == GLP_FEAS)) {
    for (size_t k = 0; k < ev.size(); ++k)
      if (glp_mip_col_val(lp, static_cast<int>(k) + 1) > 0.5) chosen.push_back(ev[k]);
  }
  glp_delete_prob(lp);
  return chosen;
}

// The cells (frame a's as i, frame b's as K + j) an event explains.
void cells_of(const Event& e, size_t K, std::vector<int>& out) {
  out.push_back(e.i);
  out.push_back(static_cast<int>(K) + e.j1);
  if (e.kind == 1) out.push_back(static_cast<int>(K) + e.j2);
}

// The cost of explaining `cells` by `events` (each inside them) and the rest
// of them as lost or new.
double cost_of(const std::vector<Event>& all, const std::vector<int>& events, const std::vector<int>& cells, size_t K,
               const std::vector<double>& lost, const std::vector<double>& appear) {
  std::vector<int> covered;
  double c = 0;
  for (int e : events) c += all[static_cast<size_t>(e)].cost, cells_of(all[static_cast<size_t>(e)], K, covered);
  std::sort(covered.begin(), covered.end());
  for (int x : cells)
    if (!std::binary_search(covered.begin(), covered.end(), x))
      c += x < static_cast<int>(K) ? lost[static_cast<size_t>(x)] : appear[static_cast<size_t>(x) - K];
  return c;
}

// How much the best assignment without chosen event `e` costs more than with
// it, over its neighbourhood: the cells of `e`, of every candidate sharing a
// cell with it, and of the chosen events that hold those cells; the rest stays
// as chosen. (Exact where the rivals' effects stay inside; a swap of two
// like cells gives about 0.)
// With `e` < 0, the same for frame b's cell `new_cell` decided as new: how
// much more the best assignment costs where it comes from a cell.
double margin_of(const std::vector<Event>& all, int e, int new_cell, const std::vector<std::vector<int>>& by_cell,
                 const std::vector<int>& held_by, size_t K, const std::vector<double>& lost,
                 const std::vector<double>& appear) {
  std::vector<int> cells, touch;
  auto unique = [](std::vector<int>& v) {
    std::sort(v.begin(), v.end());
    v.erase(std::unique(v.begin(), v.end()), v.end());
  };
  if (e >= 0)
    cells_of(all[static_cast<size_t>(e)], K, cells);
  else
    cells.push_back(static_cast<int>(K) + new_cell);
  const std::vector<int> mine = cells;
  for (int c : mine)
    for (int x : by_cell[static_cast<size_t>(c)]) cells_of(all[static_cast<size_t>(x)], K, cells);
  unique(cells);
  std::vector<int> held;  // the chosen events holding those cells, and then their cells too
  for (int c : cells)
    if (held_by[static_cast<size_t>(c)] >= 0) held.push_back(held_by[static_cast<size_t>(c)]);
  unique(held);
  for (int h : held) cells_of(all[static_cast<size_t>(h)], K, cells);
  unique(cells);
  std::vector<int> free_events, ca, cb;
  for (int c : cells)
    for (int x : by_cell[static_cast<size_t>(c)]) {
      if (x == e) continue;
      touch.clear();
      cells_of(all[static_cast<size_t>(x)], K, touch);
      bool inside = true;
      for (int d : touch) inside = inside && std::binary_search(cells.begin(), cells.end(), d);
      if (inside) free_events.push_back(x);
    }
  unique(free_events);
  for (int c : cells) (c < static_cast<int>(K) ? ca : cb).push_back(c < static_cast<int>(K) ? c : c - static_cast<int>(K));
  const double with = cost_of(all, held, cells, K, lost, appear);
  const std::vector<int> best = solve_group(all, free_events, ca, cb, lost, appear, e >= 0 ? -1 : new_cell);
  double without = cost_of(all, best, cells, K, lost, appear);
  if (e < 0) {  // a cell without any candidate: no other way
    bool explained = false;
    for (int x : best) explained = explained || all[static_cast<size_t>(x)].j1 == new_cell || all[static_cast<size_t>(x)].j2 == new_cell;
    if (!explained) without = with + kForbidden;
  }
  return std::max(0.0, without - with);
}

// The pair's events of least total cost.
std::vector<Event> assign_pair(const LinkModel& m, const Frame& a, const Frame& b, const std::vector<double>& mx,
                               const std::vector<double>& my, int frames, bool want_margins,
                               const PairConstraints* fix = nullptr) {
  const CellGrid grid_b(b);
  Candidates cand = candidates_of(m, a, b, grid_b, mx, my, frames);
  const size_t K = static_cast<size_t>(a.count()), M = static_cast<size_t>(b.count());
  std::vector<double> lost(K), appear(M);
  for (size_t i = 0; i < K; ++i) lost[i] = lost_cost(m, rod(a, static_cast<int>(i)));
  for (size_t j = 0; j < M; ++j) appear[j] = appear_cost(m, rod(b, static_cast<int>(j)));
  if (fix) constrain(*fix, m, a, b, mx, my, frames, cand, lost, appear);
  Groups g(K + M);
  for (const Event& e : cand.events) {
    g.join(e.i, static_cast<int>(K) + e.j1);
    if (e.kind == 1) g.join(e.i, static_cast<int>(K) + e.j2);
  }
  // Group by root, in the order of the first cell of each group.
  std::vector<int> root_index(K + M, -1);
  std::vector<std::vector<int>> ev, ca, cb;
  auto group_of = [&](int cell) {
    const int r = g.find(cell);
    if (root_index[static_cast<size_t>(r)] < 0) {
      root_index[static_cast<size_t>(r)] = static_cast<int>(ev.size());
      ev.emplace_back(), ca.emplace_back(), cb.emplace_back();
    }
    return static_cast<size_t>(root_index[static_cast<size_t>(r)]);
  };
  for (size_t i = 0; i < K; ++i) ca[group_of(static_cast<int>(i))].push_back(static_cast<int>(i));
  for (size_t j = 0; j < M; ++j) cb[group_of(static_cast<int>(K + j))].push_back(static_cast<int>(j));
  for (size_t e = 0; e < cand.events.size(); ++e) ev[group_of(cand.events[e].i)].push_back(static_cast<int>(e));
  std::vector<int> chosen;
  for (size_t k = 0; k < ev.size(); ++k) {
    if (ev[k].empty()) continue;
    for (int e : solve_group(cand.events, ev[k], ca[k], cb[k], lost, appear)) chosen.push_back(e);
  }
  std::vector<std::vector<int>> by_cell(K + M);  // per cell, the candidates that explain it
  std::vector<int> held_by(K + M, -1);           // per cell, the chosen event that explains it
  std::vector<int> touch;
  for (size_t e = 0; e < cand.events.size(); ++e) {
    touch.clear();
    cells_of(cand.events[e], K, touch);
    for (int c : touch) by_cell[static_cast<size_t>(c)].push_back(static_cast<int>(e));
  }
  for (int e : chosen) {
    touch.clear();
    cells_of(cand.events[static_cast<size_t>(e)], K, touch);
    for (int c : touch) held_by[static_cast<size_t>(c)] = e;
  }
  std::vector<Event> out;
  for (int e : chosen) {
    out.push_back(cand.events[static_cast<size_t>(e)]);
    if (want_margins) out.back().margin = margin_of(cand.events, e, -1, by_cell, held_by, K, lost, appear);
  }
  if (want_margins)
    for (size_t j = 0; j < M; ++j)
      if (held_by[K + j] < 0) out.push_back({2, -1, static_cast<int>(j), -1, appear[j],
                                             margin_of(cand.events, -1, static_cast<int>(j), by_cell, held_by, K, lost, appear)});
  return out;
}

PairLinks links_of(const std::vector<Event>& events, const PairLinks& proposed, int K, int M) {
  PairLinks pl = proposed;
  pl.K = K;
  pl.M = M;
  for (auto& r : pl.row) r.assign(static_cast<size_t>(M), -1);
  for (const Event& e : events) {
    if (e.kind == 2) continue;
    if (e.kind == 0) {
      pl.row[0][static_cast<size_t>(e.j1)] = e.i;
    } else {
      pl.row[1][static_cast<size_t>(e.j1)] = e.i;
      pl.row[2][static_cast<size_t>(e.j2)] = e.i;
    }
  }
  return pl;
}

// The field the cells live in: the images' frame, else the cells' extent.
void set_field(LinkModel& m, const TimeLapse& tl) {
  if (tl.width > 0 && tl.height > 0) {
    m.min_x = 0, m.min_y = 0, m.max_x = tl.width, m.max_y = tl.height;
  } else {
    bool any = false;
    for (const Frame& f : tl.frames)
      for (int i = 0; i < f.count(); ++i) {
        const double x = f.x[static_cast<size_t>(i)], y = f.y[static_cast<size_t>(i)];
        if (!std::isfinite(x) || !std::isfinite(y)) continue;
        if (!any) m.min_x = m.max_x = x, m.min_y = m.max_y = y, any = true;
        m.min_x = std::min(m.min_x, x), m.max_x = std::max(m.max_x, x);
        m.min_y = std::min(m.min_y, y), m.max_y = std::max(m.max_y, y);
      }
  }
  std::vector<double> logs;
  for (const Frame& f : tl.frames)
    for (double l : f.length)
      if (l > 0 && std::isfinite(l)) logs.push_back(std::log(l));
  double mean = 0, var = 0;
  for (double v : logs) mean += v;
  mean /= std::max<size_t>(1, logs.size());
  for (double v : logs) var += (v - mean) * (v - mean);
  var /= std::max<size_t>(1, logs.size());
  m.length_range = std::max(0.5, std::sqrt(12.0 * var));
  const double spacing = neighbour_spacing(tl);
  if (spacing > 0) m.border = m.spacing = spacing;
}

// What the links of one pair show, added to `s`.
void add_samples(const Frame& a, const Frame& b, const std::vector<Event>& events,
                 const std::vector<double>& mx, const std::vector<double>& my, int frames, LinkSamples& s) {
  const double f = frames;
  s.mothers += a.count();
  for (const Event& e : events) {
    if (e.kind == 2) continue;
    const RodCell ra = rod(a, e.i);
    const double px = ra.x + mx[static_cast<size_t>(e.i)], py = ra.y + my[static_cast<size_t>(e.i)];
    if (e.kind == 0) {
      const RodCell rb = rod(b, e.j1);
      s.residual.push_back(std::hypot(rb.x - px, rb.y - py) / std::sqrt(f));
      s.growth.push_back(std::log(rb.length / ra.length) / f);
      s.axis.push_back(axis_change(ra.angle, rb.angle));
    } else {
      const RodCell r1 = rod(b, e.j1), r2 = rod(b, e.j2);
      ++s.divisions;
      const double sum = r1.length + r2.length;
      const double w1 = r1.length / sum, w2 = 1.0 - w1;
      s.residual.push_back(std::hypot(w1 * r1.x + w2 * r2.x - px, w1 * r1.y + w2 * r2.y - py) / std::sqrt(f));
      s.division_growth.push_back(std::log(sum / ra.length) / f);
      s.share.push_back(std::fabs(r1.length / sum - 0.5));
      s.division_axis.push_back(axis_change(ra.angle, r1.angle));
      s.division_axis.push_back(axis_change(ra.angle, r2.angle));
      s.separation.push_back(std::hypot(r2.x - r1.x, r2.y - r1.y) / (0.5 * sum));
    }
  }
}

// The movie's model with the position spread of one pair: the residuals of
// its own links, pooled with the movie's spread as if it were kPooled more
// (motion grows as a colony grows and crowds).
LinkModel pair_model(const LinkModel& m, const std::vector<double>& residual) {
  constexpr double kPooled = 10.0;
  LinkModel p = m;
  if (residual.size() < 3) return p;
  const double own = median_of(residual) / 1.1774;
  const double n = static_cast<double>(residual.size());
  p.position_spread = std::max(1.0, std::sqrt((n * own * own + kPooled * m.position_spread * m.position_spread) / (n + kPooled)));
  return p;
}

}  // namespace

int frames_between(const TimeLapse& tl, size_t t) {
  const long d = tl.frames[t + 1].number - tl.frames[t].number;
  return d >= 1 && d < 1000 ? static_cast<int>(d) : 1;
}

DecidedLinks assign_links(const TimeLapse& tl, const std::vector<PairLinks>& proposed, const LinkConstraints& fixed) {
  const size_t P = tl.frames.size() < 2 ? 0 : tl.frames.size() - 1;
  LinkModel m;
  set_field(m, tl);
  std::vector<CellGrid> grids;
  grids.reserve(tl.frames.size());
  for (const Frame& f : tl.frames) grids.emplace_back(f);
  std::vector<PairLinks> links(proposed.begin(), proposed.begin() + static_cast<long>(std::min(P, proposed.size())));
  links.resize(P);
  std::vector<std::vector<double>> mx(P), my(P);
  std::vector<std::vector<double>> spread(P);  // per pair, the residuals of its last links
  auto motion_from = [&](const std::vector<PairLinks>& from) {
    for (size_t t = 0; t < P; ++t) {
      std::vector<double> dx, dy;
      link_displacements(tl.frames[t], tl.frames[t + 1], from[t], dx, dy);
      local_motion(tl.frames[t], grids[t], dx, dy, mx[t], my[t]);
    }
  };
  // The first fit: what the matcher's links show, with wide spreads.
  motion_from(links);
  {
    LinkSamples s;
    for (size_t t = 0; t < P; ++t)
    {
      LinkSamples own;
      add_samples(tl.frames[t], tl.frames[t + 1], events_of(links[t], tl.frames[t], tl.frames[t + 1]), mx[t], my[t],
                  frames_between(tl, t), own);
      spread[t] = own.residual;
      s.add(own);
    }
    fit_link_model(m, s);
    m.position_spread *= 1.5;
    m.growth_spread *= 1.5;
    m.division_spread *= 1.5;
  }
  DecidedLinks out;
  out.margin.resize(P);
  for (int pass = 0; pass < kPasses; ++pass) {
    const bool last = pass + 1 == kPasses;
    LinkSamples s;
    std::vector<PairLinks> next(P);
    for (size_t t = 0; t < P; ++t) {
      const Frame &a = tl.frames[t], &b = tl.frames[t + 1];
      const int frames = frames_between(tl, t);
      const std::vector<Event> ev = assign_pair(pair_model(m, spread[t]), a, b, mx[t], my[t], frames, last, fixed.at(t));
      if (last) {
        out.margin[t].assign(static_cast<size_t>(b.count()), NAN);
        for (const Event& e : ev) {
          out.margin[t][static_cast<size_t>(e.j1)] = e.margin;
          if (e.kind == 1) out.margin[t][static_cast<size_t>(e.j2)] = e.margin;
        }
      }
      LinkSamples own;
      add_samples(a, b, free_events(ev, fixed.at(t)), mx[t], my[t], frames, own);
      spread[t] = own.residual;
      s.add(own);
      next[t] = links_of(ev, links[t], a.count(), b.count());
    }
    links.swap(next);
    fit_link_model(m, s);
    motion_from(links);
  }
  out.model = m;
  out.links = std::move(links);
  return out;
}

void assignment_confidence(const Lineage& lin, const DecidedLinks& d, std::vector<std::vector<double>>& conf) {
  const size_t T = lin.track.size();
  if (d.links.size() + 1 < T) return;
  std::vector<int> cell_of;  // per track, its cell in the frame before
  for (size_t t = 1; t < T; ++t) {
    cell_of.assign(lin.tracks.size() + 1, -1);
    for (size_t i = 0; i < lin.track[t - 1].size(); ++i) cell_of[static_cast<size_t>(lin.track[t - 1][i])] = static_cast<int>(i);
    const PairLinks& pl = d.links[t - 1];
    for (size_t j = 0; j < lin.track[t].size(); ++j) {
      const int k = lin.track[t][j];
      const Track& tr = lin.tracks[static_cast<size_t>(k - 1)];
      int from = cell_of[static_cast<size_t>(k)];
      bool daughter = false;
      if (from < 0 && tr.first == static_cast<int>(t) && tr.parent > 0) from = cell_of[static_cast<size_t>(tr.parent)], daughter = true;
      if (from < 0 && tr.first != static_cast<int>(t)) continue;  // a link across a closed gap
      if (j >= d.margin[t - 1].size() || !std::isfinite(d.margin[t - 1][j])) continue;
      const bool same = from < 0 ? pl.row[0][j] < 0 && pl.row[1][j] < 0 && pl.row[2][j] < 0
                                 : daughter ? (pl.row[1][j] == from || pl.row[2][j] == from) : pl.row[0][j] == from;
      if (!same) continue;
      double& c = conf[t][j];
      const double decided = 1.0 / (1.0 + std::exp(-d.margin[t - 1][j] / kConfidenceScale));
      // A cell from no cell is only as sure as both ratings say: the model
      // has no hypothesis for a cell whose sister or mother went undetected.
      const bool flagged = !lin.flag.empty() && lin.flag[t][j] != kNormal;
      c = flagged || from < 0 ? std::min(c, decided) : decided;
    }
  }
}

int flag_orphans(const TimeLapse& tl, const LinkModel& m, Lineage& lin) {
  if (lin.flag.empty()) {
    lin.flag.resize(lin.track.size());
    for (size_t t = 0; t < lin.track.size(); ++t) lin.flag[t].assign(lin.track[t].size(), kNormal);
  }
  int flagged = 0;
  for (size_t t = 1; t < lin.track.size(); ++t)
    for (size_t j = 0; j < lin.track[t].size(); ++j) {
      const Track& tr = lin.tracks[static_cast<size_t>(lin.track[t][j] - 1)];
      if (tr.first != static_cast<int>(t) || tr.parent != 0 || lin.flag[t][j] != kNormal) continue;
      if (at_border(m, rod(tl.frames[t], static_cast<int>(j)))) continue;
      lin.flag[t][j] = kNoOrigin;
      ++flagged;
    }
  return flagged;
}

}  // namespace vantu
