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
//      candidate can never be part of the best assignment); of those, each
//      cell's cheapest few (CandidateCap).
//   3. The assignment of least total cost in which every cell of frame t
//      continues, divides or is lost, and every cell of frame t+1 is
//      explained once (a continuation, a daughter, or new): a set partition,
//      solved exactly as a 0-1 program, one connected group of candidates
//      at a time; a group too large for one program in overlapping windows
//      (solve_in_windows), and a program that reaches the node limit keeps
//      its best solution so far (solve_group). With these bounds a pair's
//      time and memory grow about linearly with its cells, however far they
//      move.
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
// Four passes: the anisotropy of the motion fitted to the matcher's links is
// far from the movie's (their wrong links scatter every way), and it takes
// three fits from the assignment's own links to settle (every 3rd frame of
// the agar movie: across 0.59, 0.53, 0.50, 0.25, 0.23).
constexpr int kPasses = 4;
// A cell that moves unlike its neighbours strays this many neighbour spacings
// (the wide component of the motion, link_cost.h).
constexpr double kStraySpacings = 1.5;
constexpr double kLeastStrayShare = 0.005;
// Degrees an axis may turn beyond its spreads in a link of the second chance
// (a short cell's axis is poorly measured).
constexpr double kAxisSlack = 10.0;
// The cost that keeps a choice out of an assignment.
constexpr double kForbidden = 1e6;
// An alternative link costlier than a cell's explanation by this much leaves
// its confidence at 1 (the logistic of 4 scales).
constexpr double kImplausible = 4 * kConfidenceScale;
// The bounds that keep a pair's assignment about linear in its cells however
// far cells move relative to their spacing (see CandidateCap,
// solve_in_windows, solve_group): the cheapest continuations and divisions
// kept per cell of frame t; the most cells (of both frames) solved as one
// 0-1 program, and the cells of frame t a window commits at a time; the
// branch-and-bound nodes one program may take before its best solution so
// far is kept.
constexpr size_t kContinuationsPerCell = 8;
constexpr size_t kDivisionsPerCell = 8;
constexpr size_t kDivisionsPerDaughter = 16;
constexpr size_t kGroupCells = 600;
constexpr size_t kWindowCells = 120;
constexpr int kNodeLimit = 2000;

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
  bool lone = false;    // a continuation that is a daughter whose sister is not seen
  bool around = false;  // decided again around a correction (a sister or a swap's other half)
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

// The cells (frame a's as i, frame b's as K + j) an event explains.
void cells_of(const Event& e, size_t K, std::vector<int>& out) {
  out.push_back(e.i);
  out.push_back(static_cast<int>(K) + e.j1);
  if (e.kind == 1) out.push_back(static_cast<int>(K) + e.j2);
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

// Cells that look like a cell missed for one frame: a cell of frame a that a
// cell new two frames on continues, a cell of frame b that continues a cell
// lost two frames before (by the links of the pass before).
struct Gaps {
  std::vector<char> missed_after;   // per cell of frame a
  std::vector<char> missed_before;  // per cell of frame b
  bool second_chance = true;        // the movie's detections are reliable enough for it
  long gaps = 0;                    // cells of frame a lost that come back two frames on
};

struct Candidates {
  std::vector<Event> events;
};

// Bounds a pair's candidates: an event is kept when it is among the cheapest
// few of its kind for its cell of frame t, or among the cheapest few of its
// kind that explain one of its cells of frame t+1 (a cell's
// true division is often not its mother's cheapest: those reuse a daughter
// that a neighbour's continuation holds; it is among the cheapest of one of
// its daughters). Kept events stay in the order they were offered, so that
// where no bound bites the candidates are all of them, as found.
class CandidateCap {
 public:
  explicit CandidateCap(size_t cells_b) : best_of_b_{Heaps(cells_b), Heaps(cells_b)} {}
  // One cell of frame t's candidates of one kind (all of that kind at once).
  void offer(std::vector<Event>& mine) {
    if (mine.empty()) return;
    const int kind = mine.front().kind;
    const size_t keep = kind == 0 ? kContinuationsPerCell : kDivisionsPerCell;
    const size_t first = seq_;
    seq_ += mine.size();
    for (size_t k = 0; k < mine.size(); ++k) {
      const Ranked r{mine[k].cost, first + k, mine[k]};
      to_b(kind, mine[k].j1, r);
      if (kind == 1) to_b(kind, mine[k].j2, r);
    }
    std::vector<Ranked> own;
    for (size_t k = 0; k < mine.size(); ++k) own.push_back({mine[k].cost, first + k, mine[k]});
    if (own.size() > keep) {
      std::nth_element(own.begin(), own.begin() + static_cast<long>(keep), own.end());
      own.resize(keep);
    }
    kept_.insert(kept_.end(), own.begin(), own.end());
    mine.clear();
  }
  // Every kept event, once, in the order offered.
  void take(std::vector<Event>& out) {
    for (auto& of_kind : best_of_b_)
      for (auto& heap : of_kind) kept_.insert(kept_.end(), heap.begin(), heap.end());
    std::sort(kept_.begin(), kept_.end(), [](const Ranked& x, const Ranked& y) { return x.seq < y.seq; });
    for (size_t k = 0; k < kept_.size(); ++k)
      if (k == 0 || kept_[k].seq != kept_[k - 1].seq) out.push_back(kept_[k].event);
    kept_.clear();
  }

 private:
  struct Ranked {
    double cost;
    size_t seq;
    Event event;
    bool operator<(const Ranked& o) const { return cost < o.cost || (cost == o.cost && seq < o.seq); }
  };
  // Frame t+1's cell j: a max-heap of the cheapest events offered that explain it.
  void to_b(int kind, int j, const Ranked& r) {
    std::vector<Ranked>& heap = best_of_b_[static_cast<size_t>(kind)][static_cast<size_t>(j)];
    const size_t keep = kind == 0 ? kContinuationsPerCell : kDivisionsPerDaughter;
    if (heap.size() < keep) {
      heap.push_back(r);
      std::push_heap(heap.begin(), heap.end());
    } else if (keep > 0 && r < heap.front()) {
      std::pop_heap(heap.begin(), heap.end());
      heap.back() = r;
      std::push_heap(heap.begin(), heap.end());
    }
  }
  size_t seq_ = 0;
  using Heaps = std::vector<std::vector<Ranked>>;
  Heaps best_of_b_[2];  // per kind, per cell of frame t+1
  std::vector<Ranked> kept_;
};

Candidates candidates_of(const LinkModel& m, const Frame& a, const Frame& b, const CellGrid& grid_b,
                         const std::vector<double>& mx, const std::vector<double>& my, int frames, const Gaps& gaps) {
  Candidates c;
  // A cell that looks missed for a frame is priced without the stray share:
  // a neighbour that strayed is not its likelier successor (origin).
  LinkModel narrow = m;
  narrow.stray = std::min(m.stray, kLeastStrayShare);
  auto model_for = [&](int i, int j1, int j2) -> const LinkModel& {
    auto at = [](const std::vector<char>& v, int k) { return k >= 0 && static_cast<size_t>(k) < v.size() && v[static_cast<size_t>(k)]; };
    return !gaps.second_chance || at(gaps.missed_after, i) || at(gaps.missed_before, j1) || at(gaps.missed_before, j2) ? narrow : m;
  };
  const double gate = position_gate(m, frames);
  std::vector<int> near;
  std::vector<Event> cont, div;
  std::vector<std::pair<int, RodCell>> in_reach;
  CandidateCap cap(static_cast<size_t>(b.count()));
  for (int i = 0; i < a.count(); ++i) {
    const RodCell ra = rod(a, i);
    const double px = ra.x + mx[static_cast<size_t>(i)], py = ra.y + my[static_cast<size_t>(i)];
    const double reach = gate + 0.75 * ra.length * std::exp(std::max(m.division_growth, 0.0) * frames);
    grid_b.near(px, py, reach, near);
    const double lost = lost_cost(m, ra);
    // Squared distances: the gates are compared as squares.
    auto far = [&](double x, double y, double limit) { return (x - px) * (x - px) + (y - py) * (y - py) > limit * limit; };
    in_reach.clear();
    for (int j : near) {
      const RodCell rb = rod(b, j);
      if (!far(rb.x, rb.y, reach)) in_reach.push_back({j, rb});
      if (far(rb.x, rb.y, gate)) continue;
      const double cost = continuation_cost(model_for(i, j, -1), ra, mx[static_cast<size_t>(i)], my[static_cast<size_t>(i)], rb, frames);
      if (std::isfinite(cost) && cost < lost + appear_cost(m, rb)) cont.push_back({0, i, j, -1, cost});
    }
    for (size_t u = 0; u < in_reach.size(); ++u) {
      const RodCell& r1 = in_reach[u].second;
      for (size_t v = u + 1; v < in_reach.size(); ++v) {
        const RodCell& r2 = in_reach[v].second;
        const double w1 = r1.length / (r1.length + r2.length), w2 = 1.0 - w1;
        if (far(w1 * r1.x + w2 * r2.x, w1 * r1.y + w2 * r2.y, gate)) continue;
        const double cost =
            division_cost(model_for(i, in_reach[u].first, in_reach[v].first), ra, mx[static_cast<size_t>(i)], my[static_cast<size_t>(i)], r1, r2, frames);
        if (std::isfinite(cost) && cost < lost + appear_cost(m, r1) + appear_cost(m, r2))
          div.push_back({1, i, in_reach[u].first, in_reach[v].first, cost});
      }
    }
    cap.offer(cont);
    cap.offer(div);
  }
  cap.take(c.events);
  return c;
}

// The cost of i dividing with `d` as one daughter whose sister is not seen:
// the division with the sister where the division puts her (the rest of the
// expected summed length, on the far side of i's predicted centre). So a
// cell the user named a daughter takes a seen sister only where that cell has
// no better explanation, not one that goes on from a neighbour.
double lone_daughter_cost(const LinkModel& m, const RodCell& a, double dx, double dy, const RodCell& d, int frames) {
  const double sum = a.length * std::exp(m.division_growth * frames);
  const double rest = std::max(sum - d.length, 0.25 * d.length);
  const double w1 = d.length / (d.length + rest), w2 = 1.0 - w1;
  const double px = a.x + dx, py = a.y + dy;
  const RodCell sister{(px - w1 * d.x) / w2, (py - w1 * d.y) / w2, rest, a.angle};
  return division_cost(m, a, dx, dy, d, sister, frames);
}

// A correction's consequences stay with the cells that depended on the
// corrected link: per event decided without the corrections (`before`), 1
// where it shares no cell with a corrected cell, that cell's old or new
// origin, or the other cells of their events before. Those are kept as they
// were; the rest (and the cells no event explained) are decided again.
std::vector<char> unaffected(const std::vector<Event>& before, const PairConstraints& fix, size_t K, size_t M) {
  std::vector<char> touched(K + M, 0);  // frame a's cells, then frame b's
  for (const auto* list : {&fix.fixed, &fix.daughters, &fix.forbidden})
    for (const auto& [i, j] : *list) touched[static_cast<size_t>(i)] = touched[K + static_cast<size_t>(j)] = 1;
  for (int j : fix.fresh) touched[K + static_cast<size_t>(j)] = 1;
  for (int i : fix.ends) touched[static_cast<size_t>(i)] = 1;
  std::vector<char> out(before.size(), 0);
  std::vector<int> cells;
  for (size_t e = 0; e < before.size(); ++e) {
    if (before[e].kind == 2) continue;
    cells.clear();
    cells_of(before[e], K, cells);
    out[e] = std::none_of(cells.begin(), cells.end(), [&](int x) { return touched[static_cast<size_t>(x)] != 0; });
  }
  return out;
}

bool same_event(const Event& e, const Event& d) {
  return e.kind == d.kind && e.i == d.i && e.lone == d.lone &&
         (e.kind == 0 ? e.j1 == d.j1 : (e.j1 == d.j1 && e.j2 == d.j2) || (e.j1 == d.j2 && e.j2 == d.j1));
}

// The candidates that would take a cell of a kept event (`keep`, per event
// of `before`) another way are dropped, and the kept event's cells can be
// neither lost nor new.
void keep_unaffected(const std::vector<Event>& before, const std::vector<char>& keep, size_t K, Candidates& c,
                     std::vector<double>& lost, std::vector<double>& appear) {
  std::vector<int> held(K + appear.size(), -1);  // per cell, the kept event that explains it
  std::vector<int> cells;
  for (size_t e = 0; e < before.size(); ++e) {
    if (!keep[e]) continue;
    cells.clear();
    cells_of(before[e], K, cells);
    for (int x : cells) held[static_cast<size_t>(x)] = static_cast<int>(e);
  }
  auto breaks = [&](const Event& e) {
    cells.clear();
    cells_of(e, K, cells);
    return std::any_of(cells.begin(), cells.end(), [&](int x) {
      const int h = held[static_cast<size_t>(x)];
      return h >= 0 && !same_event(e, before[static_cast<size_t>(h)]);
    });
  };
  c.events.erase(std::remove_if(c.events.begin(), c.events.end(), breaks), c.events.end());
  for (const Event& e : c.events) {
    cells.clear();
    cells_of(e, K, cells);
    if (held[static_cast<size_t>(cells[0])] < 0) continue;
    for (int x : cells) (static_cast<size_t>(x) < K ? lost[static_cast<size_t>(x)] : appear[static_cast<size_t>(x) - K]) = kForbidden;
  }
}

// The user's corrections of one pair (corrections.h) as constraints of its
// assignment (one cell linked to i: i going on; two: i's daughters):
// candidates that break one are dropped, a fixed link is added
// when the gates left it out (at its model cost, or at the cost of the lost
// and new cells it replaces when the model rules it out), and a cell fixed
// to a link can be neither lost nor new.
void constrain(const PairConstraints& fix, const LinkModel& m, const Frame& a, const Frame& b,
               const std::vector<double>& mx, const std::vector<double>& my, int frames, const std::vector<Event>* before,
               Candidates& c, std::vector<double>& lost, std::vector<double>& appear) {
  const size_t K = lost.size(), M = appear.size();
  std::vector<int> from(M, -1);                   // frame b's cell -> the cell it must come from
  std::vector<std::vector<int>> kids(K);          // frame a's cell -> the cells that must come from it
  std::vector<char> fresh(M, 0), ends(K, 0), lone(K, 0);  // lone: i's one fixed cell is a daughter
  for (const auto& [i, j] : fix.fixed) from[static_cast<size_t>(j)] = i, kids[static_cast<size_t>(i)].push_back(j);
  for (const auto& [i, j] : fix.daughters)
    from[static_cast<size_t>(j)] = i, kids[static_cast<size_t>(i)].push_back(j), lone[static_cast<size_t>(i)] = 1;
  for (int j : fix.fresh) fresh[static_cast<size_t>(j)] = 1;
  for (int i : fix.ends) ends[static_cast<size_t>(i)] = 1;
  // A division decided without the corrections, one of whose daughters the
  // user made new (or debris): the mother still divided, so the other
  // daughter stays hers (her sister not seen), as if the user had said so;
  // her link did not depend on the corrected one. (A daughter the user gives
  // to another cell is different: the division was likely a neighbour's
  // cell taken for a daughter, and the mother may go on as the other.)
  std::vector<std::pair<int, int>> still;  // (mother, daughter)
  for (const Event& d : before ? *before : std::vector<Event>{}) {
    const size_t i = static_cast<size_t>(d.i);
    if (d.kind != 1 || ends[i] || !kids[i].empty()) continue;
    for (const auto& [gone, kept] : {std::pair{d.j1, d.j2}, {d.j2, d.j1}}) {
      const size_t g = static_cast<size_t>(gone), k = static_cast<size_t>(kept);
      if (fresh[g] && !fresh[k] && from[k] < 0) {
        from[k] = d.i, kids[i].push_back(kept), lone[i] = 1;
        still.emplace_back(d.i, kept);
        break;
      }
    }
  }
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
  // A lone daughter taken as her mother going on is priced as a division.
  auto lone_cost = [&](int i, int j) {
    const size_t u = static_cast<size_t>(i);
    const double cost = lone_daughter_cost(m, rod(a, i), mx[u], my[u], rod(b, j), frames);
    return std::isfinite(cost) ? cost : lost_cost(m, rod(a, i)) + appear_cost(m, rod(b, j));
  };
  // The sisters a correction leaves: a division of a cell the user did not
  // set, one of whose daughters the user gave to another cell, is decided
  // again with the other daughter alone (her sister not seen, priced as
  // lost), so that the mother does not take a neighbour's successor instead.
  std::vector<Event> left;
  for (const Event& e : c.events) {
    if (e.kind != 1 || allowed(e) || ends[static_cast<size_t>(e.i)] || !kids[static_cast<size_t>(e.i)].empty()) continue;
    for (const auto& [gone, kept] : {std::pair{e.j1, e.j2}, {e.j2, e.j1}}) {
      const size_t g = static_cast<size_t>(gone);
      const Event alone{0, e.i, kept, -1, lone_cost(e.i, kept) + lost_cost(m, rod(a, e.i)), 0, true, true};
      if (fresh[g] || (from[g] >= 0 && from[g] != e.i)) left.push_back(alone);
    }
  }
  // The other half of a swap: a link the user fixed (i0 -> j) takes j from a
  // cell i that could go on as j, and leaves a cell k that i0 could go on as;
  // i -> k is priced with the motion the user's link shows there (two cells
  // taken one for the other moved alike).
  for (size_t i0 = 0; i0 < K; ++i0) {
    if (kids[i0].size() != 1 || lone[i0]) continue;
    const int j = kids[i0][0];
    const double dx = b.x[static_cast<size_t>(j)] - a.x[i0], dy = b.y[static_cast<size_t>(j)] - a.y[i0];
    std::vector<int> was_from, went_to;
    for (const Event& e : c.events) {
      if (e.kind != 0) continue;
      if (e.j1 == j && static_cast<size_t>(e.i) != i0) was_from.push_back(e.i);
      if (static_cast<size_t>(e.i) == i0 && e.j1 != j) went_to.push_back(e.j1);
    }
    for (int i : was_from)
      for (int k : went_to) {
        const double cost = continuation_cost(m, rod(a, i), dx, dy, rod(b, k), frames);
        if (std::isfinite(cost)) left.push_back({0, i, k, -1, cost, 0, false, true});
      }
  }
  c.events.erase(std::remove_if(c.events.begin(), c.events.end(), [&](const Event& e) { return !allowed(e); }),
                 c.events.end());
  if (before) keep_unaffected(*before, unaffected(*before, fix, K, M), K, c, lost, appear);
  for (const Event& x : left) {
    if (!allowed(x)) continue;
    const auto same = std::find_if(c.events.begin(), c.events.end(),
                                   [&](const Event& e) { return e.kind == 0 && e.i == x.i && e.j1 == x.j1; });
    if (same == c.events.end()) c.events.push_back(x);
    else if (x.cost < same->cost) *same = x;
  }
  for (Event& e : c.events)
    if (e.kind == 0 && lone[static_cast<size_t>(e.i)]) e.cost = std::min(e.cost, lone_cost(e.i, e.j1));
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
    const double least = lone[i] ? std::min(cost, lone_cost(ii, k[0])) : cost;
    c.events.push_back({division ? 1 : 0, ii, k[0], division ? k[1] : -1, std::isfinite(least) ? least : instead});
  }
  for (Event& e : c.events)
    if (e.kind == 0 && std::find(still.begin(), still.end(), std::make_pair(e.i, e.j1)) != still.end())
      e.lone = e.around = true;
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

// A good assignment found quickly: the events of `ev` by their values in the
// program's relaxation `relaxed` (most first; at least one half), then by how
// much they save over leaving their cells lost and new, each taken while its
// cells are free. The fallback of a program stopped before it was solved.
std::vector<int> greedy_events(const std::vector<Event>& all, const std::vector<int>& ev,
                               const std::vector<double>& relaxed, size_t K, const std::vector<double>& lost,
                               const std::vector<double>& appear, int forbid_new) {
  struct Choice {
    double relaxed, gain;
    int e;
  };
  std::vector<Choice> order;
  for (size_t k = 0; k < ev.size(); ++k) {
    const Event& x = all[static_cast<size_t>(ev[k])];
    double alone = lost[static_cast<size_t>(x.i)] + appear[static_cast<size_t>(x.j1)];
    if (x.kind == 1) alone += appear[static_cast<size_t>(x.j2)];
    if (x.j1 == forbid_new || (x.kind == 1 && x.j2 == forbid_new)) alone += kForbidden;
    order.push_back({relaxed[k], x.cost - alone, ev[k]});
  }
  std::stable_sort(order.begin(), order.end(), [](const Choice& p, const Choice& q) {
    return p.relaxed > q.relaxed || (p.relaxed == q.relaxed && p.gain < q.gain);
  });
  std::vector<int> used, chosen, cells;
  for (const auto& [weight, gain, e] : order) {
    if (gain >= 0 || weight < 0.5) continue;
    cells.clear();
    cells_of(all[static_cast<size_t>(e)], K, cells);
    bool free = true;
    for (int c : cells) free = free && !std::binary_search(used.begin(), used.end(), c);
    if (!free) continue;
    chosen.push_back(e);
    for (int c : cells) used.insert(std::upper_bound(used.begin(), used.end(), c), c);
  }
  std::sort(chosen.begin(), chosen.end());
  return chosen;
}

// Stops a branch and bound after kNodeLimit nodes: a count, not a clock, so
// that a run decides the same links on any machine and under any load.
void stop_after_node_limit(glp_tree* tree, void*) {
  if (glp_ios_reason(tree) != GLP_ISELECT) return;
  int active = 0, current = 0, total = 0;
  glp_ios_tree_size(tree, &active, &current, &total);
  if (total > kNodeLimit) glp_ios_terminate(tree);
}

// The events of least total cost among `ev` (indices into all), every cell
// of `cells_a` and `cells_b` explained once; the rest lost or new. A program
// stopped at the node limit keeps the better of its best solution so far and
// the greedy one.
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
  parm.cb_func = stop_after_node_limit;
  std::vector<int> chosen;
  const int rc = glp_intopt(lp, &parm);
  const int status = glp_mip_status(lp);
  const bool found = (rc == 0 || rc == GLP_ESTOP) && (status == GLP_OPT || status == GLP_FEAS);
  if (found)
    for (size_t k = 0; k < ev.size(); ++k)
      if (glp_mip_col_val(lp, static_cast<int>(k) + 1) > 0.5) chosen.push_back(ev[k]);
  const double best = found ? glp_mip_obj_val(lp) : HUGE_VAL;
  if (found && status == GLP_OPT && rc == 0) {
    glp_delete_prob(lp);
    return chosen;
  }
  // Stopped early: the relaxation's values guide the greedy assignment.
  std::vector<double> relaxed(ev.size(), 1.0);  // without a relaxation: by what they save alone
  glp_smcp lp_parm;
  glp_init_smcp(&lp_parm);
  lp_parm.msg_lev = GLP_MSG_OFF;
  if (glp_simplex(lp, &lp_parm) == 0 && glp_get_status(lp) == GLP_OPT)
    for (size_t k = 0; k < ev.size(); ++k) relaxed[k] = glp_get_col_prim(lp, static_cast<int>(k) + 1);
  glp_delete_prob(lp);
  // Stopped early (or failed): the greedy assignment where it costs less.
  const size_t K = lost.size();
  std::vector<int> cells;
  for (int i : cells_a) cells.push_back(i);
  for (int j : cells_b) cells.push_back(static_cast<int>(K) + j);
  std::vector<int> greedy = greedy_events(all, ev, relaxed, K, lost, appear, forbid_new);
  double greedy_cost = cost_of(all, greedy, cells, K, lost, appear);
  if (forbid_new >= 0) {
    bool explained = false;
    for (int e : greedy) explained = explained || all[static_cast<size_t>(e)].j1 == forbid_new || all[static_cast<size_t>(e)].j2 == forbid_new;
    if (!explained) greedy_cost += kForbidden;
  }
  return greedy_cost < best ? greedy : chosen;
}

// The cells of `cells` (of frame a) in blocks of at most `size` that lie
// together: split in halves across the longer side of their extent, again and
// again (ties by cell number, so the blocks are the same on every run).
void spatial_blocks(const Frame& a, std::vector<int> cells, size_t size, std::vector<std::vector<int>>& out) {
  if (cells.size() <= size) {
    out.push_back(std::move(cells));
    return;
  }
  double lo_x = HUGE_VAL, hi_x = -HUGE_VAL, lo_y = HUGE_VAL, hi_y = -HUGE_VAL;
  for (int i : cells) {
    const size_t k = static_cast<size_t>(i);
    lo_x = std::min(lo_x, a.x[k]), hi_x = std::max(hi_x, a.x[k]);
    lo_y = std::min(lo_y, a.y[k]), hi_y = std::max(hi_y, a.y[k]);
  }
  const std::vector<double>& along = hi_x - lo_x >= hi_y - lo_y ? a.x : a.y;
  std::sort(cells.begin(), cells.end(), [&](int p, int q) {
    const double u = along[static_cast<size_t>(p)], v = along[static_cast<size_t>(q)];
    return u < v || (u == v && p < q);
  });
  const auto half = cells.begin() + static_cast<long>(cells.size() / 2);
  spatial_blocks(a, std::vector<int>(cells.begin(), half), size, out);
  spatial_blocks(a, std::vector<int>(half, cells.end()), size, out);
}

// A group too large for one program, solved in overlapping windows: block by
// block of frame a's cells (spatial_blocks), a program over the block's cells
// and their neighbours (the cells of frame a whose candidates reach the same
// cells of frame b), of which only the block's own decisions are kept; the
// cells of frame b they take are out of later windows. A neighbour's choices
// are weighed but left to its own window, so a block's edge decides with what
// lies beyond it.
std::vector<int> solve_in_windows(const Frame& a, const std::vector<Event>& all, const std::vector<int>& ev,
                                  const std::vector<int>& cells_a, const std::vector<double>& lost,
                                  const std::vector<double>& appear) {
  const size_t K = lost.size(), M = appear.size();
  std::vector<std::vector<int>> of_a(K), of_b(M);  // per cell, the group's events that hold it
  for (int e : ev) {
    const Event& x = all[static_cast<size_t>(e)];
    of_a[static_cast<size_t>(x.i)].push_back(e);
    of_b[static_cast<size_t>(x.j1)].push_back(e);
    if (x.kind == 1) of_b[static_cast<size_t>(x.j2)].push_back(e);
  }
  std::vector<std::vector<int>> blocks;
  spatial_blocks(a, cells_a, kWindowCells, blocks);
  std::vector<char> done(K, 0), taken(M, 0), in_a(K, 0), in_b(M, 0);
  auto free_event = [&](int e) {
    const Event& x = all[static_cast<size_t>(e)];
    return !taken[static_cast<size_t>(x.j1)] && (x.kind == 0 || !taken[static_cast<size_t>(x.j2)]);
  };
  std::vector<int> chosen, wa, wb, wev;
  auto add_b = [&](int j) {
    if (!in_b[static_cast<size_t>(j)]) in_b[static_cast<size_t>(j)] = 1, wb.push_back(j);
  };
  auto reach_of = [&](int i) {  // the free cells of frame b that cell i of frame a may explain
    for (int e : of_a[static_cast<size_t>(i)]) {
      if (!free_event(e)) continue;
      add_b(all[static_cast<size_t>(e)].j1);
      if (all[static_cast<size_t>(e)].kind == 1) add_b(all[static_cast<size_t>(e)].j2);
    }
  };
  for (const std::vector<int>& block : blocks) {
    wa.clear(), wb.clear(), wev.clear();
    for (int i : block) in_a[static_cast<size_t>(i)] = 1, wa.push_back(i), reach_of(i);
    // The neighbours: undecided cells of frame a that reach the block's cells of frame b.
    const size_t core_b = wb.size();
    for (size_t k = 0; k < core_b; ++k)
      for (int e : of_b[static_cast<size_t>(wb[k])]) {
        const int i = all[static_cast<size_t>(e)].i;
        if (!done[static_cast<size_t>(i)] && !in_a[static_cast<size_t>(i)]) in_a[static_cast<size_t>(i)] = 1, wa.push_back(i);
      }
    for (size_t k = block.size(); k < wa.size(); ++k) reach_of(wa[k]);
    for (int i : wa)
      for (int e : of_a[static_cast<size_t>(i)])
        if (free_event(e)) wev.push_back(e);
    std::sort(wev.begin(), wev.end());
    std::sort(wa.begin(), wa.end());
    std::sort(wb.begin(), wb.end());
    const std::vector<int> best = solve_group(all, wev, wa, wb, lost, appear);
    for (int i : wa) in_a[static_cast<size_t>(i)] = 0;
    for (int j : wb) in_b[static_cast<size_t>(j)] = 0;
    for (int i : block) done[static_cast<size_t>(i)] = 1;
    for (int e : best) {
      const Event& x = all[static_cast<size_t>(e)];
      if (!done[static_cast<size_t>(x.i)]) continue;  // a neighbour's: left to its own window
      chosen.push_back(e);
      taken[static_cast<size_t>(x.j1)] = 1;
      if (x.kind == 1) taken[static_cast<size_t>(x.j2)] = 1;
    }
  }
  std::sort(chosen.begin(), chosen.end());
  return chosen;
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

// Per cell of a frame, whether the pair's links leave it without a successor
// (`from` true: cells of the earlier frame) or without an origin.
std::vector<char> unlinked(const PairLinks& pl, int K, int M, bool from) {
  std::vector<char> out(static_cast<size_t>(from ? K : M), 1);
  for (int j = 0; j < M; ++j)
    for (const auto& r : pl.row) {
      const int i = r.size() > static_cast<size_t>(j) ? r[static_cast<size_t>(j)] : -1;
      if (i < 0) continue;
      if (from && i < K) out[static_cast<size_t>(i)] = 0;
      if (!from) out[static_cast<size_t>(j)] = 0;
    }
  return out;
}

// Whether cell `c` of frame `a` goes on as a cell of frame `z` (`frames` on)
// marked in `open`, by the narrow motion (no stray) and the cost of the model.
bool continues_across(const LinkModel& m, const RodCell& c, double dx, double dy, const Frame& z, const CellGrid& grid_z,
                      const std::vector<char>& open, int frames) {
  LinkModel narrow = m;
  narrow.stray = kLeastStrayShare;
  const double gate = position_gate(m, frames);
  std::vector<int> near;
  grid_z.near(c.x + dx, c.y + dy, gate, near);
  for (int k : near) {
    if (!open[static_cast<size_t>(k)]) continue;
    const RodCell rk = rod(z, k);
    if (std::hypot(rk.x - c.x - dx, rk.y - c.y - dy) > gate) continue;
    if (continuation_cost(narrow, c, dx, dy, rk, frames) < lost_cost(m, c) + appear_cost(m, rk)) return true;
  }
  return false;
}

// Whether cell b (a division's daughters as one cell of their summed
// length) is as long as cell a grown over `frames` and, for a continuation,
// turned little: within kAlike spreads. Far from its prediction a link must
// match in everything else (a spurious piece or debris beside a lost cell
// does not).
constexpr double kAlike = 3.0;
bool alike(const LinkModel& m, const RodCell& a, const RodCell& b, double growth, double spread, int frames) {
  const double f = frames;
  if (!cut_by_edge(m, a) && !cut_by_edge(m, b) &&
      std::fabs(std::log(b.length / a.length) - growth * f) > kAlike * spread * std::sqrt(f))
    return false;
  return axis_change(a.angle, b.angle) <= kAlike * m.axis_spread * std::sqrt(f) + kAxisSlack;
}

// A second chance for the cells the assignment left lost (frame a) and new
// (frame b): the continuations and divisions among them within the wide gate
// of a cell that moves unlike its neighbours (stray_gate), priced by the same
// model, decided together by the same assignment (the cells the first one
// linked stay as they are). A cell that only looks like a lost one stays new.
// The candidates are added to `cand`, the chosen ones to `chosen`.
void second_chance(const LinkModel& m, const Frame& a, const Frame& b, const CellGrid& grid_b,
                   const std::vector<double>& mx, const std::vector<double>& my, int frames,
                   const PairConstraints* fix, Candidates& cand, std::vector<int>& chosen,
                   const std::vector<double>& lost, const std::vector<double>& appear) {
  const size_t K = static_cast<size_t>(a.count()), M = static_cast<size_t>(b.count());
  std::vector<char> free(K + M, 1);
  // The user's cells set new or ending stay so; a link they ruled out is
  // not offered again.
  if (fix) {
    for (int j : fix->fresh) free[K + static_cast<size_t>(j)] = 0;
    for (int i : fix->ends) free[static_cast<size_t>(i)] = 0;
  }
  auto ruled_out = [&](int i, int j) {
    return fix && std::find(fix->forbidden.begin(), fix->forbidden.end(), std::make_pair(i, j)) != fix->forbidden.end();
  };
  // A cell that looks missed for a frame (by the links of the pass before)
  // competes too: where a new cell beside it goes on to where it would come
  // back, those links said so only because they had left both loose.
  std::vector<int> touch;
  for (int e : chosen) {
    touch.clear();
    cells_of(cand.events[static_cast<size_t>(e)], K, touch);
    for (int c : touch) free[static_cast<size_t>(c)] = 0;
  }
  auto free_b = [&](int j) { return free[K + static_cast<size_t>(j)] != 0; };
  std::vector<int> extra;  // indices into cand.events of the second chance's candidates
  for (size_t e = 0; e < cand.events.size(); ++e) {
    const Event& x = cand.events[e];
    if (free[static_cast<size_t>(x.i)] && free_b(x.j1) && (x.kind == 0 || free_b(x.j2))) extra.push_back(static_cast<int>(e));
  }
  const double gate = position_gate(m, frames), wide = stray_gate(m, frames);
  std::vector<int> near;
  for (size_t i = 0; i < K; ++i) {
    if (!free[i]) continue;
    const int ii = static_cast<int>(i);
    const RodCell ra = rod(a, ii);
    const double px = ra.x + mx[i], py = ra.y + my[i];
    const double reach = wide + 0.75 * ra.length * std::exp(std::max(m.division_growth, 0.0) * frames);
    grid_b.near(px, py, reach, near);
    near.erase(std::remove_if(near.begin(), near.end(), [&](int j) { return !free_b(j); }), near.end());
    for (int j : near) {
      const RodCell rb = rod(b, j);
      const double r = std::hypot(rb.x - px, rb.y - py);
      if (r <= gate || r > wide || ruled_out(ii, j)) continue;  // inside the gate: a candidate already
      if (!alike(m, ra, rb, m.growth, m.growth_spread, frames)) continue;
      const double cost = continuation_cost(m, ra, mx[i], my[i], rb, frames);
      if (std::isfinite(cost) && cost < lost[i] + appear[static_cast<size_t>(j)]) {
        extra.push_back(static_cast<int>(cand.events.size()));
        cand.events.push_back({0, ii, j, -1, cost});
      }
    }
    const double gate_reach = gate + 0.75 * ra.length * std::exp(std::max(m.division_growth, 0.0) * frames);
    for (size_t u = 0; u < near.size(); ++u)
      for (size_t v = u + 1; v < near.size(); ++v) {
        const RodCell r1 = rod(b, near[u]), r2 = rod(b, near[v]);
        const double w1 = r1.length / (r1.length + r2.length), w2 = 1.0 - w1;
        const double r = std::hypot(w1 * r1.x + w2 * r2.x - px, w1 * r1.y + w2 * r2.y - py);
        const bool gated = r <= gate && std::hypot(r1.x - px, r1.y - py) <= gate_reach &&
                           std::hypot(r2.x - px, r2.y - py) <= gate_reach;
        if (gated || r > wide || ruled_out(ii, near[u]) || ruled_out(ii, near[v])) continue;
        const RodCell both{0, 0, r1.length + r2.length, ra.angle};
        if (!alike(m, ra, both, m.division_growth, m.division_spread, frames)) continue;
        const double cost = division_cost(m, ra, mx[i], my[i], r1, r2, frames);
        if (std::isfinite(cost) && cost < lost[i] + appear[static_cast<size_t>(near[u])] + appear[static_cast<size_t>(near[v])]) {
          extra.push_back(static_cast<int>(cand.events.size()));
          cand.events.push_back({1, ii, near[u], near[v], cost});
        }
      }
  }
  if (extra.empty()) return;
  Groups g(K + M);
  for (int e : extra) {
    const Event& x = cand.events[static_cast<size_t>(e)];
    g.join(x.i, static_cast<int>(K) + x.j1);
    if (x.kind == 1) g.join(x.i, static_cast<int>(K) + x.j2);
  }
  std::vector<int> root_index(K + M, -1);
  std::vector<std::vector<int>> ev, ca, cb;
  for (int e : extra) {
    const Event& x = cand.events[static_cast<size_t>(e)];
    const int r = g.find(x.i);
    if (root_index[static_cast<size_t>(r)] < 0) {
      root_index[static_cast<size_t>(r)] = static_cast<int>(ev.size());
      ev.emplace_back(), ca.emplace_back(), cb.emplace_back();
    }
    ev[static_cast<size_t>(root_index[static_cast<size_t>(r)])].push_back(e);
  }
  for (size_t c = 0; c < K + M; ++c) {
    if (!free[c] || root_index[static_cast<size_t>(g.find(static_cast<int>(c)))] < 0) continue;
    const size_t k = static_cast<size_t>(root_index[static_cast<size_t>(g.find(static_cast<int>(c)))]);
    if (c < K) ca[k].push_back(static_cast<int>(c));
    else cb[k].push_back(static_cast<int>(c - K));
  }
  for (size_t k = 0; k < ev.size(); ++k)
    for (int e : solve_group(cand.events, ev[k], ca[k], cb[k], lost, appear)) chosen.push_back(e);
}

// Per cell j1 of a frame, the cells j2 > j1 that lie end to end with it
// (their centres about half their summed length apart, within a neighbour
// spacing), ascending.
std::vector<std::vector<int>> end_to_end(const LinkModel& m, const Frame& b, const CellGrid& grid_b) {
  double longest = 0.0;
  for (int j = 0; j < b.count(); ++j) longest = std::max(longest, rod(b, j).length);
  std::vector<std::vector<int>> out(static_cast<size_t>(b.count()));
  std::vector<int> near;
  for (int j1 = 0; j1 < b.count(); ++j1) {
    const RodCell r1 = rod(b, j1);
    grid_b.near(r1.x, r1.y, 0.5 * (r1.length + longest) + m.spacing, near);
    for (int j2 : near) {
      if (j2 <= j1) continue;
      const RodCell r2 = rod(b, j2);
      const double apart = std::hypot(r2.x - r1.x, r2.y - r1.y);
      if (!(std::fabs(apart - 0.5 * (r1.length + r2.length)) > m.spacing)) out[static_cast<size_t>(j1)].push_back(j2);
    }
  }
  return out;
}

// The continuations outside the position gate but inside the wide one, from
// any cell of frame a to any of frame b, added to `cand` (after the decision:
// only the margins see them), so that a link or a new cell is rated against
// its best alternative found without the gate.
void wide_alternatives(const LinkModel& m, const Frame& a, const Frame& b, const CellGrid& grid_b,
                       const std::vector<double>& mx, const std::vector<double>& my, int frames, Candidates& cand,
                       const std::vector<int>& chosen, const std::vector<double>& lost,
                       const std::vector<double>& appear) {
  const double gate = position_gate(m, frames), wide = stray_gate(m, frames);
  // Only alternatives with a cell left lost or new at one end (a link
  // between two linked cells, both far from where they would be, is no
  // likely alternative), and costlier than that cell's explanation by
  // less than kImplausible.
  const size_t K = static_cast<size_t>(a.count());
  std::vector<double> now(lost);
  now.insert(now.end(), appear.begin(), appear.end());
  std::vector<char> open(now.size(), 1);
  std::vector<int> touch;
  for (int e : chosen) {
    touch.clear();
    cells_of(cand.events[static_cast<size_t>(e)], K, touch);
    for (int c : touch) open[static_cast<size_t>(c)] = 0;
  }
  auto plausible = [&](int i, int j, int j2, double cost) {
    double least = HUGE_VAL;
    for (size_t c : {static_cast<size_t>(i), K + static_cast<size_t>(j), j2 < 0 ? K + static_cast<size_t>(j) : K + static_cast<size_t>(j2)})
      if (open[c]) least = std::min(least, now[c]);
    return std::isfinite(cost) && cost < least + kImplausible;
  };
  std::vector<char> seen;
  std::vector<int> near;
  std::vector<std::vector<int>> has(static_cast<size_t>(a.count()));
  for (const Event& e : cand.events)
    if (e.kind == 0) has[static_cast<size_t>(e.i)].push_back(e.j1);
  std::vector<std::vector<std::pair<int, int>>> divides(static_cast<size_t>(a.count()));
  for (const Event& e : cand.events)
    if (e.kind == 1) divides[static_cast<size_t>(e.i)].push_back({std::min(e.j1, e.j2), std::max(e.j1, e.j2)});
  const std::vector<std::vector<int>> ends = end_to_end(m, b, grid_b);
  for (int i = 0; i < a.count(); ++i) {
    const size_t u = static_cast<size_t>(i);
    const RodCell ra = rod(a, i);
    const double px = ra.x + mx[u], py = ra.y + my[u];
    grid_b.near(px, py, wide, near);
    const bool open_i = open[u] != 0;
    auto open_b = [&](int j) { return open[K + static_cast<size_t>(j)] != 0; };
    for (int j : near) {
      if (!open_i && !open_b(j)) continue;
      const RodCell rb = rod(b, j);
      const double r = std::hypot(rb.x - px, rb.y - py);
      if (r <= gate || r > wide || std::find(has[u].begin(), has[u].end(), j) != has[u].end()) continue;
      const double cost = continuation_cost(m, ra, mx[u], my[u], rb, frames);
      if (std::isfinite(cost) && cost < lost[u] + appear[static_cast<size_t>(j)] && plausible(i, j, -1, cost))
        cand.events.push_back({0, i, j, -1, cost});
    }
    // Divisions into two cells end to end (about half the mother's grown
    // length apart) whose midpoint lies outside the gate.
    for (int j1 : near) {
      const RodCell r1 = rod(b, j1);
      const double beside = 0.75 * (ra.length + r1.length) + m.spacing;
      for (int j2 : ends[static_cast<size_t>(j1)]) {
        if (!grid_b.near_holds(r1.x, r1.y, beside, j2) || (!open_i && !open_b(j1) && !open_b(j2))) continue;
        const RodCell r2 = rod(b, j2);
        const double w1 = r1.length / (r1.length + r2.length), w2 = 1.0 - w1;
        const double r = std::hypot(w1 * r1.x + w2 * r2.x - px, w1 * r1.y + w2 * r2.y - py);
        if (r <= gate || r > wide) continue;
        const auto& known = divides[u];
        if (std::find(known.begin(), known.end(), std::make_pair(j1, j2)) != known.end()) continue;
        const double cost = division_cost(m, ra, mx[u], my[u], r1, r2, frames);
        if (std::isfinite(cost) && cost < lost[u] + appear[static_cast<size_t>(j1)] + appear[static_cast<size_t>(j2)] &&
            plausible(i, j1, j2, cost))
          cand.events.push_back({1, i, j1, j2, cost});
      }
    }
  }
}

// The pair's events of least total cost.
std::vector<Event> assign_pair(const LinkModel& m, const Frame& a, const Frame& b, const std::vector<double>& mx,
                               const std::vector<double>& my, int frames, bool want_margins, const Gaps& gaps = {},
                               const PairConstraints* fix = nullptr, std::vector<Event>* unconstrained = nullptr) {
  const CellGrid grid_b(b);
  Candidates cand = candidates_of(m, a, b, grid_b, mx, my, frames, gaps);
  const size_t K = static_cast<size_t>(a.count()), M = static_cast<size_t>(b.count());
  std::vector<double> lost(K), appear(M);
  for (size_t i = 0; i < K; ++i) lost[i] = lost_cost(m, rod(a, static_cast<int>(i)));
  for (size_t j = 0; j < M; ++j) appear[j] = appear_cost(m, rod(b, static_cast<int>(j)));
  // What this pair decides without the corrections: what they leave alone
  // keeps its links and its margins.
  std::vector<Event> before;
  if (fix && fix->fixed.empty() && fix->daughters.empty() && fix->forbidden.empty() && fix->fresh.empty() &&
      fix->ends.empty())
    fix = nullptr;
  if (fix) {
    before = assign_pair(m, a, b, mx, my, frames, want_margins, gaps, nullptr);
    constrain(*fix, m, a, b, mx, my, frames, &before, cand, lost, appear);
  }
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
    const bool large = ca[k].size() + cb[k].size() > kGroupCells;
    for (int e : large ? solve_in_windows(a, cand.events, ev[k], ca[k], lost, appear)
                       : solve_group(cand.events, ev[k], ca[k], cb[k], lost, appear))
      chosen.push_back(e);
  }
  if (gaps.second_chance) second_chance(m, a, b, grid_b, mx, my, frames, fix, cand, chosen, lost, appear);
  if (want_margins) wide_alternatives(m, a, b, grid_b, mx, my, frames, cand, chosen, lost, appear);
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
  const std::vector<char> kept = fix ? unaffected(before, *fix, K, M) : std::vector<char>{};
  for (int e : chosen) {
    out.push_back(cand.events[static_cast<size_t>(e)]);
    if (want_margins) out.back().margin = margin_of(cand.events, e, -1, by_cell, held_by, K, lost, appear);
    for (size_t d = 0; d < kept.size(); ++d)
      if (kept[d] && same_event(out.back(), before[d])) out.back().margin = before[d].margin;
  }
  if (want_margins)
    for (size_t j = 0; j < M; ++j)
      if (held_by[K + j] < 0) out.push_back({2, -1, static_cast<int>(j), -1, appear[j],
                                             margin_of(cand.events, -1, static_cast<int>(j), by_cell, held_by, K, lost, appear)});
  if (unconstrained) *unconstrained = fix ? std::move(before) : out;
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
      pl.row[e.lone ? 1 : 0][static_cast<size_t>(e.j1)] = e.i;
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
  m.stray_spread = kStraySpacings * m.spacing;
}

// A link's deviation (dx, dy) from its prediction over `frames`, per
// sqrt(frame): its distance, and its parts along and across the `axis`
// (degrees) the model measures them by (a continuation's axis halfway
// between the cell's two, a division's the mother's).
void add_residual(double axis, double dx, double dy, double frames, LinkSamples& s) {
  const double root = std::sqrt(frames), th = axis * 3.14159265358979323846 / 180.0;
  const double ux = std::cos(th), uy = -std::sin(th);
  s.residual.push_back(std::hypot(dx, dy) / root);
  s.along.push_back(std::fabs(dx * ux + dy * uy) / root);
  s.across.push_back(std::fabs(dy * ux - dx * uy) / root);
}

// What the links of one pair show, added to `s`.
// The costs take a link across `frames` steps as that many steps of a random
// walk: the mean growth `frames` times one step's, every spread sqrt(frames)
// times one step's. So each sample is turned into one step's: the distance and
// the axis change divided by sqrt(frames), the growth's deviation from the
// model's `m` too (around its rate per step).
void add_samples(const LinkModel& m, const Frame& a, const Frame& b, const std::vector<Event>& events,
                 const std::vector<double>& mx, const std::vector<double>& my, int frames, LinkSamples& s) {
  const double f = frames, root = std::sqrt(f);
  auto one_step = [&](double log_ratio, double rate) { return f == 1 ? log_ratio : rate + (log_ratio - rate * f) / root; };
  s.mothers += a.count();
  for (const Event& e : events) {
    if (e.kind == 2) continue;
    const RodCell ra = rod(a, e.i);
    const double px = ra.x + mx[static_cast<size_t>(e.i)], py = ra.y + my[static_cast<size_t>(e.i)];
    if (e.kind == 0) {
      const RodCell rb = rod(b, e.j1);
      add_residual(ra.angle + 0.5 * std::remainder(rb.angle - ra.angle, 180.0), rb.x - px, rb.y - py, f, s);
      s.growth.push_back(one_step(std::log(rb.length / ra.length), m.growth));
      s.axis.push_back(axis_change(ra.angle, rb.angle) / root);
    } else {
      const RodCell r1 = rod(b, e.j1), r2 = rod(b, e.j2);
      ++s.divisions;
      const double sum = r1.length + r2.length;
      const double w1 = r1.length / sum, w2 = 1.0 - w1;
      add_residual(ra.angle, w1 * r1.x + w2 * r2.x - px, w1 * r1.y + w2 * r2.y - py, f, s);
      s.division_growth.push_back(one_step(std::log(sum / ra.length), m.division_growth));
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

LinkModel movie_model(const TimeLapse& tl) {
  LinkModel m;
  set_field(m, tl);
  return m;
}

void predicted_motion(const Frame& a, const CellGrid& grid, const std::vector<double>& dx,
                      const std::vector<double>& dy, std::vector<double>& mx, std::vector<double>& my) {
  local_motion(a, grid, dx, dy, mx, my);
}

int frames_between(const TimeLapse& tl, size_t t) {
  const long d = (tl.frames[t + 1].number - tl.frames[t].number) / std::max(1L, tl.step);
  return d >= 1 && d < 1000 ? static_cast<int>(d) : 1;
}

namespace {

// The cells of pair t that look missed for a frame, by the links of the pass
// before (see Gaps).
Gaps likely_gaps(const TimeLapse& tl, const std::vector<CellGrid>& grids, const std::vector<PairLinks>& links,
                 const std::vector<std::vector<double>>& mx, const std::vector<std::vector<double>>& my,
                 const LinkModel& m, size_t t) {
  Gaps g;
  const size_t P = links.size();
  const Frame &a = tl.frames[t], &b = tl.frames[t + 1];
  if (t + 1 < P) {  // a lost cell of frame t that a new cell of t+2 continues
    const Frame& z = tl.frames[t + 2];
    const std::vector<char> fresh = unlinked(links[t + 1], b.count(), z.count(), false);
    const std::vector<char> lost = unlinked(links[t], a.count(), b.count(), true);
    const int frames = frames_between(tl, t) + frames_between(tl, t + 1);
    g.missed_after.assign(static_cast<size_t>(a.count()), 0);
    for (int i = 0; i < a.count(); ++i) {
      const size_t u = static_cast<size_t>(i);
      if (!std::isfinite(mx[t][u])) continue;
      const double f = double(frames) / frames_between(tl, t);
      g.missed_after[u] = continues_across(m, rod(a, i), f * mx[t][u], f * my[t][u], z, grids[t + 2], fresh, frames);
      g.gaps += g.missed_after[u] && lost[u];
    }
  }
  if (t > 0) {  // a new cell of frame t+1 that continues a lost cell of t-1
    const Frame& y = tl.frames[t - 1];
    const std::vector<char> lost = unlinked(links[t - 1], y.count(), a.count(), true);
    const int frames = frames_between(tl, t - 1) + frames_between(tl, t);
    g.missed_before.assign(static_cast<size_t>(b.count()), 0);
    std::vector<char> one(static_cast<size_t>(b.count()), 0);
    std::vector<int> near;
    for (int h = 0; h < y.count(); ++h) {
      const size_t u = static_cast<size_t>(h);
      if (!lost[u] || !std::isfinite(mx[t - 1][u])) continue;
      const double f = double(frames) / frames_between(tl, t - 1);
      const RodCell c = rod(y, h);
      const double dx = f * mx[t - 1][u], dy = f * my[t - 1][u];
      grids[t + 1].near(c.x + dx, c.y + dy, position_gate(m, frames), near);
      for (int j : near) {
        one[static_cast<size_t>(j)] = 1;
        if (continues_across(m, c, dx, dy, b, grids[t + 1], one, frames)) g.missed_before[static_cast<size_t>(j)] = 1;
        one[static_cast<size_t>(j)] = 0;
      }
    }
  }
  return g;
}

// The second chance only where the detections are reliable: where more than
// kReliableMissed of the cells are lost and come back two frames on (by the
// pass before's links), a cell lost beside one that is new is as likely a
// missed cell beside a spurious one or one that comes back as a cell that
// strayed. (On simulated movies with 1 % of the cells missed and as many
// spurious, 0.6 %; with 2 % and 5 %, 1 to 2 %; on the agar movie none.)
constexpr double kReliableMissed = 0.008;
void second_chance_if_reliable(const TimeLapse& tl, std::vector<Gaps>& gaps) {
  long missed = 0, cells = 0;
  for (size_t t = 0; t < gaps.size(); ++t) {
    missed += gaps[t].gaps;
    cells += tl.frames[t].count();
  }
  const bool reliable = double(missed) <= kReliableMissed * double(std::max(cells, 1L));
  for (Gaps& g : gaps) g.second_chance = reliable;
}

}  // namespace

DecidedLinks assign_links(const TimeLapse& tl, const std::vector<PairLinks>& proposed, const LinkConstraints& fixed,
                          AssignStart* start) {
  const size_t P = tl.frames.size() < 2 ? 0 : tl.frames.size() - 1;
  LinkModel m = movie_model(tl);
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
  const unsigned long long key = start ? assign_start_key(tl, proposed) : 0;
  int first_pass = 0;
  auto fits = [&](const AssignStart& st) {  // a start that names these frames' cells
    if (st.key != key || st.links.size() != P || st.spread.size() != P) return false;
    for (size_t t = 0; t < P; ++t)
      if (st.links[t].K != tl.frames[t].count() || st.links[t].M != tl.frames[t + 1].count()) return false;
    return true;
  };
  if (start && fits(*start)) {
    m = start->model;
    for (size_t t = 0; t < P; ++t) {
      const PairLinks& kept = start->links[t];
      for (int l = 0; l < 3; ++l) links[t].row[l] = kept.row[l];
      links[t].K = kept.K, links[t].M = kept.M;
    }
    spread = start->spread;
    motion_from(links);
    first_pass = kPasses - 1;
  }
  // The first fit: what the matcher's links show, with wide spreads.
  if (first_pass == 0) motion_from(links);
  if (first_pass == 0) {
    LinkSamples s;
    for (size_t t = 0; t < P; ++t)
    {
      LinkSamples own;
      add_samples(m, tl.frames[t], tl.frames[t + 1], events_of(links[t], tl.frames[t], tl.frames[t + 1]), mx[t], my[t],
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
  const LinkConstraints none;
  for (int pass = first_pass; pass < kPasses; ++pass) {
    const bool last = pass + 1 == kPasses;
    if (last && start && first_pass == 0) *start = AssignStart{m, links, spread, key};
    // Only the last pass obeys the corrections: the passes before are those
    // of the movie without them (kept by a folder for its reruns).
    const LinkConstraints& fix = last ? fixed : none;
    const bool free_too = last && !fixed.pairs.empty();  // the same pass without the corrections, alongside
    LinkSamples s, s_free;
    std::vector<PairLinks> next(P);
    std::vector<Gaps> gaps(P);
    for (size_t t = 0; t < P; ++t) gaps[t] = likely_gaps(tl, grids, links, mx, my, m, t);
    if (pass > 0) second_chance_if_reliable(tl, gaps);  // the matcher's links say little about it
    for (size_t t = 0; t < P; ++t) {
      const Frame &a = tl.frames[t], &b = tl.frames[t + 1];
      const int frames = frames_between(tl, t);
      std::vector<Event> ev_free;
      const std::vector<Event> ev = assign_pair(pair_model(m, spread[t]), a, b, mx[t], my[t], frames, last, gaps[t],
                                                fix.at(t), free_too ? &ev_free : nullptr);
      if (free_too) {
        LinkSamples own;
        add_samples(m, a, b, ev_free, mx[t], my[t], frames, own);
        s_free.add(own);
        out.free_links.push_back(links_of(ev_free, links[t], a.count(), b.count()));
      }
      if (last) {
        for (const Event& e : ev)
          if (e.around) out.around.push_back({0, e.lone ? Fix::kDaughter : Fix::kLink, static_cast<int>(t + 1), e.j1,
                                              static_cast<int>(t), e.i});
        out.margin[t].assign(static_cast<size_t>(b.count()), NAN);
        for (const Event& e : ev) {
          out.margin[t][static_cast<size_t>(e.j1)] = e.margin;
          if (e.kind == 1) out.margin[t][static_cast<size_t>(e.j2)] = e.margin;
        }
      }
      LinkSamples own;
      add_samples(m, a, b, free_events(ev, fix.at(t)), mx[t], my[t], frames, own);
      spread[t] = own.residual;
      s.add(own);
      next[t] = links_of(ev, links[t], a.count(), b.count());
    }
    links.swap(next);
    if (free_too) {
      out.free_model = m;
      fit_link_model(out.free_model, s_free);
    }
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
      double& c = conf[t][j];
      const double decided = 1.0 / (1.0 + std::exp(-d.margin[t - 1][j] / kConfidenceScale));
      // A link the repairs made against the assignment: as unsure as the
      // assignment was sure of its own.
      if (!same) {
        c = std::min(c, 1.0 - decided);
        continue;
      }
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
