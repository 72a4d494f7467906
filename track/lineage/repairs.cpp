// Repairs of the chained lineage that need the time axis.
//
// A frame pair cannot tell a missed cell or a spurious detection from a real
// event; the frames around it can. The repairs, in this order:
//   1. Relinking. At each pair, two links are exchanged (the tracks swap
//      their futures), or a link moves to a cell that starts a track without
//      parent, when the colony's motion, the length change and the axis
//      change make the other way round much more likely (link_cost). The
//      motion at a cell is the one predictor's (predicted_motion, as the
//      assignment and the confidence use it): the median displacement of
//      its nearest neighbours whose tracks are seen in both frames. Runs
//      again after the other repairs.
//   2. Gap closing. A track that ends without successor and without daughters
//      at frame t, and a track without parent that starts at t+1 to t+3, are
//      one cell (missed in between, or its last detection cut short) when the
//      link model prices the continuation below one lost and one new (without
//      a model: the cell is where the motion carries the first, with a length
//      and an axis that fit). Weighed together with the divisions across a
//      gap: a mother missed around her division, or one daughter missed just
//      after it, gets her daughters (division_joins). We do not run the
//      matcher on (t, t+2): the pairs' matches already sample its warp around
//      every cell, a gap needs only the motion at one place, and a second
//      annealing per gap would cost a pair's time for what the neighbours give
//      at once (and could not change anything on a fault-free time-lapse,
//      where no gap is looked at). The track then skips the missing frame(s).
//   3. Divisions that make sense. A division whose daughters' lengths do not
//      add up to their mother's (times the colony's growth over one frame) or
//      one of whose daughters is seen in one frame only is taken for the
//      mother going on beside a spurious detection, a split segmentation or a
//      cell coming back after a gap: the daughter that best continues the
//      mother (one that lives on before one that vanishes, then position,
//      length and axis) joins the mother's track, the other one starts a
//      track without parent, and gap closing runs again for cells that came
//      back. Then the divisions the pairs missed are found: a mother going on
//      as a cell of about half her length beside the other half (a track
//      without parent, or a cell reached through a one-frame detection or a
//      poor link). Two rounds, as a found division may leave a one-frame
//      daughter of an earlier one.
//   4. Debris. A track without parent seen in one frame only (neither the
//      first nor the last frame) is flagged as probable debris, not removed.
// On a lineage the pairs got right (as they do on most time-lapses without
// missed or spurious cells) no track ends early, no track starts without
// parent after the first frame, no link is poor and every division adds up,
// so nothing changes. Tracks are numbered again as build_lineage
// numbers them (by first frame, then the first cell's id).
//
// Every step takes time about proportional to the cells: neighbours come from
// each frame's grid of buckets (CellGrid), a mother's daughters from her list
// of children, gap candidates from a table of the tracks starting in each
// frame, and a track's cell in a frame from a binary search over its frames.
#include <algorithm>
#include <array>
#include <cmath>
#include <map>
#include <tuple>
#include <utility>

#include "track/lineage/assign.h"
#include "track/lineage/corrections.h"
#include "track/lineage/link_cost.h"
#include "track/lineage/lineage.h"

namespace vantu {

namespace {

// Bounds on the daughters' summed length over the mother's length, in units
// of the colony's growth over one frame. Real divisions fall near 1; a
// continuation with a spurious or returning cell beside it adds a cell.
constexpr double kDivisionSumLow = 0.8, kDivisionSumHigh = 1.2;
// A daughter's share of her mother's length (the rest is the other daughter).
constexpr double kHalfLow = 0.3, kHalfHigh = 0.7;
// Gap closing: the distance gate in units of the typical neighbour spacing,
// the length ratio allowed (after growth) and the largest axis change.
constexpr double kGapGate = 0.6, kGapLengthRatio = 1.35, kGapAxisDegrees = 35.0;
constexpr int kLongestGap = 2;  // missing frames a closed gap may span
// Relinking: the spreads of a link's length change (log ratio) and axis
// change (degrees), the least position spread in units of the spacing, the
// cost two loose ends must stay under to be joined, and the least gain of a
// change (costs are squared deviations in units of their spreads).
constexpr double kRelinkLengthSpread = kFixedLengthSpread, kRelinkAxisSpread = kFixedAxisSpread;
constexpr double kRelinkLeastSpread = kFixedLeastSpread, kRelinkUnlinked = kFixedNoLinkCost, kRelinkMargin = 4.0;
constexpr int kRelinkPasses = 3;

struct Cell {
  int frame, index;
};

// The lineage as lists of cells per track while it is being repaired.
struct Work {
  const TimeLapse& tl;
  std::vector<std::vector<Cell>> cells;  // per track, in frame order
  std::vector<int> parent;               // per track, 0: none
  std::vector<Start> start;
  std::vector<char> alive;               // false: merged into another track
  std::vector<std::vector<int>> children;  // per track, the tracks whose parent it is, ascending
  std::vector<std::vector<int>> flag;    // [frame][cell]
  std::vector<std::vector<int>> track;   // [frame][cell] -> track, kept current
  double growth = 1.0;                   // median length ratio of a continuation
  double spacing = 1.0;                  // median distance to the nearest neighbour
  std::vector<CellGrid> grids;           // per frame, its cells' neighbours
  // The motion predicted at each cell of a frame towards a later frame, by
  // the tracks as they are: (frame, later frame) -> displacements (carried).
  // Cleared whenever a cell changes track.
  mutable std::map<std::pair<int, int>, std::pair<std::vector<double>, std::vector<double>>> motion;
  // The links were decided by the assignment over the link model, which
  // already weighed every division's lengths and geometry: only what it
  // cannot see (the time axis) is left to check.
  bool assigned = false;
  // The link model the assignment fitted to the movie (null: none).
  const LinkModel* model = nullptr;
  // The user's corrections: [frame][cell] bit 1 its link from the frame
  // before is fixed, bit 2 its link onwards; the links ruled out (frame,
  // cell, later frame, cell). Empty: none.
  std::vector<std::vector<char>> fixed;
  std::vector<std::array<int, 4>> ruled_out;

  explicit Work(const TimeLapse& t) : tl(t) {}
  int count() const { return static_cast<int>(cells.size()); }
  const Frame& frame(int t) const { return tl.frames[static_cast<size_t>(t)]; }
  int first(int k) const { return cells[static_cast<size_t>(k)].front().frame; }
  int last(int k) const { return cells[static_cast<size_t>(k)].back().frame; }
  const Cell& first_cell(int k) const { return cells[static_cast<size_t>(k)].front(); }
  const Cell& last_cell(int k) const { return cells[static_cast<size_t>(k)].back(); }
  double length(const Cell& c) const { return frame(c.frame).length[static_cast<size_t>(c.index)]; }
  double x(const Cell& c) const { return frame(c.frame).x[static_cast<size_t>(c.index)]; }
  double y(const Cell& c) const { return frame(c.frame).y[static_cast<size_t>(c.index)]; }
  double angle(const Cell& c) const { return frame(c.frame).angle[static_cast<size_t>(c.index)]; }
  int track_of(const Cell& c) const { return track[static_cast<size_t>(c.frame)][static_cast<size_t>(c.index)]; }
  std::vector<int>& children_of(int k) { return children[static_cast<size_t>(k)]; }
};

bool has_daughters(const Work& w, int k) { return !w.children[static_cast<size_t>(k)].empty(); }

bool fixed_in(const Work& w, const Cell& c) {
  return !w.fixed.empty() && c.index >= 0 && (w.fixed[static_cast<size_t>(c.frame)][static_cast<size_t>(c.index)] & 1);
}
bool fixed_out(const Work& w, const Cell& c) {
  return !w.fixed.empty() && c.index >= 0 && (w.fixed[static_cast<size_t>(c.frame)][static_cast<size_t>(c.index)] & 2);
}
bool ruled_out(const Work& w, const Cell& a, const Cell& b) {
  return std::find(w.ruled_out.begin(), w.ruled_out.end(), std::array<int, 4>{a.frame, a.index, b.frame, b.index}) !=
         w.ruled_out.end();
}

// Sets track k's parent (0: none), keeping the lists of children.
void set_parent(Work& w, int k, int parent) {
  int& p = w.parent[static_cast<size_t>(k)];
  if (p > 0) {
    std::vector<int>& kids = w.children_of(p - 1);
    kids.erase(std::find(kids.begin(), kids.end(), k));
  }
  p = parent;
  if (p > 0) {
    std::vector<int>& kids = w.children_of(p - 1);
    kids.insert(std::lower_bound(kids.begin(), kids.end(), k), k);
  }
}

Work work_from(const TimeLapse& tl, const Lineage& lin) {
  Work w(tl);
  const size_t n = lin.tracks.size();
  w.cells.resize(n);
  for (size_t t = 0; t < lin.track.size(); ++t)
    for (size_t i = 0; i < lin.track[t].size(); ++i)
      w.cells[static_cast<size_t>(lin.track[t][i] - 1)].push_back({static_cast<int>(t), static_cast<int>(i)});
  for (const Track& tr : lin.tracks) {
    w.parent.push_back(tr.parent);
    w.start.push_back(tr.start);
  }
  w.alive.assign(n, 1);
  w.children.resize(n);
  for (size_t k = 0; k < n; ++k)
    if (lin.tracks[k].parent > 0) w.children_of(lin.tracks[k].parent - 1).push_back(static_cast<int>(k));
  for (const Frame& f : tl.frames) w.grids.emplace_back(f);
  w.track = lin.track;
  w.flag.resize(lin.track.size());
  for (size_t t = 0; t < lin.track.size(); ++t) w.flag[t].assign(lin.track[t].size(), kNormal);
  return w;
}

// The colony's growth over one frame and the spacing of its cells.
void measure_colony(Work& w) {
  std::vector<double> ratios;
  for (const std::vector<Cell>& cs : w.cells)
    for (size_t k = 1; k < cs.size(); ++k)
      if (cs[k].frame == cs[k - 1].frame + 1 && w.length(cs[k - 1]) > 0)
        ratios.push_back(w.length(cs[k]) / w.length(cs[k - 1]));
  if (!ratios.empty()) w.growth = median_of(std::move(ratios));
  const bool neighbours = std::any_of(w.tl.frames.begin(), w.tl.frames.end(), [](const Frame& f) { return f.count() > 1; });
  if (neighbours) w.spacing = std::max(neighbour_spacing(w.tl), 1e-9);
}

// The cell of track k in frame t, or index -1 (a track's cells are in frame
// order).
Cell cell_at(const Work& w, int k, int t) {
  const std::vector<Cell>& cs = w.cells[static_cast<size_t>(k)];
  const auto at = std::lower_bound(cs.begin(), cs.end(), t, [](const Cell& c, int frame) { return c.frame < frame; });
  return at != cs.end() && at->frame == t ? *at : Cell{t, -1};
}

// Where the colony's motion carries cell c of frame t by frame s: the one
// motion predictor (predicted_motion), fed by the tracks' displacements
// from frame t to s. Kept per pair of frames until a track changes.
std::pair<double, double> carried(const Work& w, const Cell& c, int s) {
  auto& motion = w.motion[{c.frame, s}];
  if (motion.first.empty()) {
    const Frame& f = w.frame(c.frame);
    std::vector<double> dx(static_cast<size_t>(f.count()), NAN), dy(dx);
    for (int i = 0; i < f.count(); ++i) {
      const Cell to = cell_at(w, w.track_of({c.frame, i}) - 1, s);
      if (to.index < 0) continue;
      dx[static_cast<size_t>(i)] = w.x(to) - w.x({c.frame, i});
      dy[static_cast<size_t>(i)] = w.y(to) - w.y({c.frame, i});
    }
    predicted_motion(f, w.grids[static_cast<size_t>(c.frame)], dx, dy, motion.first, motion.second);
  }
  const double mx = motion.first[static_cast<size_t>(c.index)], my = motion.second[static_cast<size_t>(c.index)];
  return {w.x(c) + (std::isfinite(mx) ? mx : 0.0), w.y(c) + (std::isfinite(my) ? my : 0.0)};
}

// Difference of two cell axes in degrees, 0 to 90.
// Moves the cells and daughters of track `from` onto track `to` (which ends
// before `from` starts).
void merge_tracks(Work& w, int to, int from) {
  for (const Cell& c : w.cells[static_cast<size_t>(from)]) {
    w.cells[static_cast<size_t>(to)].push_back(c);
    w.track[static_cast<size_t>(c.frame)][static_cast<size_t>(c.index)] = to + 1;
  }
  w.motion.clear();
  w.cells[static_cast<size_t>(from)].clear();
  w.alive[static_cast<size_t>(from)] = 0;
  set_parent(w, from, 0);
  const std::vector<int> kids = w.children_of(from);
  for (int c : kids) set_parent(w, c, to + 1);
}

// A track that ends early: no daughters, not at the last frame.
bool ends_early(const Work& w, int k, int frames) {
  return w.alive[static_cast<size_t>(k)] && w.last(k) < frames - 1 && !has_daughters(w, k);
}

// A daughter seen in one frame only, before the last frame.
bool vanishes(const Work& w, int d, int frames) {
  return w.first(d) == w.last(d) && w.last(d) < frames - 1 && !has_daughters(w, d);
}

// The length of track k's last cell, or of the cell before it grown to its
// frame when that is longer: a detection cut short (its mask partly taken by
// a neighbour or debris) is the last of a track the assignment could not
// carry on.
double last_length(const Work& w, int k) {
  const std::vector<Cell>& cs = w.cells[static_cast<size_t>(k)];
  const Cell& end = cs.back();
  if (cs.size() < 2) return w.length(end);
  const Cell& before = cs[cs.size() - 2];
  return std::max(w.length(end), w.length(before) * std::pow(w.growth, end.frame - before.frame));
}


// Whether a track that ends at `end` goes on as the cell `begin` after
// `frames` frame numbers, and at what cost (lower: better). With the link
// model: its continuation within the position gate, costing less than the one
// being lost and the other new (ranked by what the link saves). Without it:
// fixed gates on distance, length and axis. The length expected is the
// track's last one or, when longer, the one before it grown on (last_length).
bool gap_fits(const Work& w, int ended, const Cell& end, const Cell& begin, int frames, const std::pair<double, double>& at,
              double& cost) {
  const double expected = last_length(w, ended) * std::pow(w.growth, frames);
  if (w.model != nullptr) {
    // A detection seen in one frame only on either side is probable debris.
    const int T = static_cast<int>(w.tl.frames.size());
    if (vanishes(w, w.track_of(begin) - 1, T) || (w.cells[static_cast<size_t>(ended)].size() == 1 && end.frame > 0 &&
                                                  w.parent[static_cast<size_t>(ended)] == 0))
      return false;
    const LinkModel& m = *w.model;
    if (std::hypot(w.x(begin) - at.first, w.y(begin) - at.second) > position_gate(m, frames)) return false;
    const RodCell a{w.x(end), w.y(end), std::max(last_length(w, ended), 1e-6), w.angle(end)};
    const RodCell b{w.x(begin), w.y(begin), std::max(w.length(begin), 1e-6), w.angle(begin)};
    const double link = continuation_cost(m, a, at.first - a.x, at.second - a.y, b, frames);
    const double apart = lost_cost(m, a) + appear_cost(m, b);
    cost = link - apart;
    return std::isfinite(link) && link < apart;
  }
  const double dist = std::hypot(w.x(begin) - at.first, w.y(begin) - at.second) / (kGapGate * w.spacing);
  const double ratio = std::fabs(std::log(std::max(w.length(begin), 1e-9) / std::max(expected, 1e-9)));
  const double turn = axis_change(w.angle(end), w.angle(begin)) / kGapAxisDegrees;
  cost = dist + ratio / std::log(kGapLengthRatio) + 0.5 * turn;
  return dist <= 1 && ratio <= std::log(kGapLengthRatio) && turn <= 1;
}


// A join across a gap: track `ended` goes on as track d1 (d2 < 0), or
// divides into d1 and d2; `gain` is what it saves (higher: taken first).
struct Join {
  double gain;
  int ended, d1, d2;
  bool operator<(const Join& o) const {
    if (gain != o.gain) return gain > o.gain;
    return std::tie(ended, d1, d2) < std::tie(o.ended, o.d1, o.d2);
  }
};

// Tracks without parent by the frame they start in (after the first).
std::vector<std::vector<int>> tracks_starting(const Work& w) {
  std::vector<std::vector<int>> starting(w.tl.frames.size());
  for (int b = 0; b < w.count(); ++b)
    if (w.alive[static_cast<size_t>(b)] && w.parent[static_cast<size_t>(b)] == 0 && w.first(b) != 0)
      starting[static_cast<size_t>(w.first(b))].push_back(b);
  return starting;
}

// Where a track that ends early is carried from: its last cell, or the one
// before when the last was cut short (a piece of a split segmentation, or a
// mask partly taken by a neighbour), whose centre is not the cell's.
Cell gap_origin(const Work& w, int k) {
  const std::vector<Cell>& cs = w.cells[static_cast<size_t>(k)];
  const Cell& end = cs.back();
  if (cs.size() < 2) return end;
  const Cell& before = cs[cs.size() - 2];
  const double grown = w.length(before) * std::pow(w.growth, end.frame - before.frame);
  return w.length(end) < kHalfHigh * grown ? before : end;
}

// Gap closing's candidates: track a, which ends early, going on as a track
// without parent that starts 1 to kLongestGap + 1 frames later.
void gap_joins(const Work& w, const std::vector<std::vector<int>>& starting, int a, std::vector<Join>& out) {
  const int T = static_cast<int>(w.tl.frames.size());
  const Cell end = w.last_cell(a), from = gap_origin(w, a);
  for (int skip = 0; skip <= kLongestGap && end.frame + skip + 1 < T; ++skip) {
    const std::vector<int>& later = starting[static_cast<size_t>(end.frame + skip + 1)];
    if (later.empty()) continue;
    const std::pair<double, double> at = carried(w, from, end.frame + skip + 1);
    for (int b : later) {
      const Cell begin = w.first_cell(b);
      double cost = 0;
      if (fixed_in(w, begin) || ruled_out(w, end, begin) ||
          !gap_fits(w, a, from, begin, begin.frame - from.frame, at, cost))
        continue;
      out.push_back({-cost, a, b, -1});
    }
  }
}

// A mother missed in the frame(s) around her division, or one of her
// daughters missed in the frame after it: track a, which ends early at frame
// t, divides into two tracks without parent that start at t+1 to t+3 where
// the motion carries her (both at t+1 too: the assignment weighed that
// division by a motion predicted from links that may have been wrong around
// her). Priced by the link model at the later daughter's first
// frame (the earlier one by her cell there), and a candidate where that costs
// less than her being lost and both new, and less than her going on as either
// one with the other new. A daughter seen in one frame only is left out
// (probable debris).
void division_joins(const Work& w, const std::vector<std::vector<int>>& starting, int a, std::vector<Join>& out) {
  const LinkModel& m = *w.model;
  const int T = static_cast<int>(w.tl.frames.size());
  auto rod_of = [&](const Cell& c) { return RodCell{w.x(c), w.y(c), std::max(w.length(c), 1e-6), w.angle(c)}; };
  const Cell end = w.last_cell(a);
  const RodCell ra = rod_of(end);
  // Where the motion carries her by each later frame, and the tracks that
  // start there within reach (ordered by first frame).
  std::array<std::pair<double, double>, kLongestGap + 2> at{};
  std::vector<int> near;
  for (int s = end.frame + 1; s <= end.frame + kLongestGap + 1 && s < T; ++s) {
    const std::vector<int>& later = starting[static_cast<size_t>(s)];
    if (later.empty()) continue;
    at[static_cast<size_t>(s - end.frame)] = carried(w, end, s);
    const auto [ax, ay] = at[static_cast<size_t>(s - end.frame)];
    const double reach =
        position_gate(m, s - end.frame) + ra.length * std::exp(std::max(m.division_growth, 0.0) * (s - end.frame));
    for (int b : later) {
      const Cell c = w.first_cell(b);
      if (vanishes(w, b, T) || fixed_in(w, c) || ruled_out(w, end, c)) continue;
      if (std::hypot(w.x(c) - ax, w.y(c) - ay) <= reach) near.push_back(b);
    }
  }
  // What each costs as her continuation across the gap (her length the
  // longer of her last two, as gap closing takes it).
  std::vector<double> going_on;
  const RodCell rg{ra.x, ra.y, std::max(last_length(w, a), 1e-6), ra.angle};
  for (int b : near) {
    const int span = w.first(b) - end.frame;
    const auto [ax, ay] = at[static_cast<size_t>(span)];
    going_on.push_back(continuation_cost(m, rg, ax - ra.x, ay - ra.y, rod_of(w.first_cell(b)), span));
  }
  for (size_t u = 0; u < near.size(); ++u)
    for (size_t v = u + 1; v < near.size(); ++v) {
      const int s = w.first(near[v]), span = s - end.frame;
      const Cell c1 = cell_at(w, near[u], s);  // the earlier daughter where her sister is first seen
      if (c1.index < 0) continue;
      const double dx = at[static_cast<size_t>(span)].first - ra.x, dy = at[static_cast<size_t>(span)].second - ra.y;
      const double cost = division_cost(m, ra, dx, dy, rod_of(c1), rod_of(w.first_cell(near[v])), span);
      const double app_u = appear_cost(m, rod_of(w.first_cell(near[u])));
      const double app_v = appear_cost(m, rod_of(w.first_cell(near[v])));
      const double apart = lost_cost(m, ra) + app_u + app_v;
      if (std::isfinite(cost) && cost < std::min({apart, going_on[u] + app_v, going_on[v] + app_u}))
        out.push_back({apart - cost, a, near[u], near[v]});
    }
}

// Joins tracks across gaps (and, with `divisions`, mothers to daughters
// across them), the candidates that save most first, each track in one join
// at most. Returns the gaps closed and the divisions found.
std::pair<int, int> join_across_gaps(Work& w, bool divisions) {
  const int T = static_cast<int>(w.tl.frames.size());
  const std::vector<std::vector<int>> starting = tracks_starting(w);
  std::vector<Join> joins;
  for (int a = 0; a < w.count(); ++a) {
    if (!ends_early(w, a, T) || fixed_out(w, w.last_cell(a))) continue;  // the user said how it ends
    gap_joins(w, starting, a, joins);
    if (divisions && w.model != nullptr) division_joins(w, starting, a, joins);
  }
  std::sort(joins.begin(), joins.end());
  std::vector<char> used(static_cast<size_t>(w.count()), 0);
  std::pair<int, int> made{0, 0};
  auto is_used = [&](int k) -> char& { return used[static_cast<size_t>(k)]; };
  for (const Join& j : joins) {
    if (is_used(j.ended) || is_used(j.d1) || (j.d2 >= 0 && is_used(j.d2))) continue;
    is_used(j.ended) = is_used(j.d1) = 1;
    if (j.d2 < 0) {
      merge_tracks(w, j.ended, j.d1);
      ++made.first;
      continue;
    }
    is_used(j.d2) = 1;
    for (int d : {j.d1, j.d2}) {
      set_parent(w, d, j.ended + 1);
      w.start[static_cast<size_t>(d)] = Start::kDaughter;
      const Cell c = w.first_cell(d);
      if (c.frame > w.last(j.ended) + 1) w.flag[static_cast<size_t>(c.frame)][static_cast<size_t>(c.index)] = kAfterGap;
    }
    ++made.second;
  }
  return made;
}

int close_gaps(Work& w) { return join_across_gaps(w, false).first; }

// The mother's length before dividing: the larger of its last two lengths
// (one of them may be a piece of a split segmentation).
double mother_length(const Work& w, int m, int t) {
  const Cell now = cell_at(w, m, t), before = cell_at(w, m, t - 1);
  double len = w.length(now);
  if (before.index >= 0) len = std::max(len, w.length(before) * w.growth);
  return len;
}

// Whether daughter d of mother m is daughter-sized (at most kHalfHigh of her
// mother), and still so in her next cell: her own length grown, not her
// mother's (a mother split in two by the segmentation is whole again in the
// frame after; a mother going on beside debris is mother-sized).
bool stays_daughter_sized(const Work& w, int m, int d) {
  const std::vector<Cell>& cs = w.cells[static_cast<size_t>(d)];
  if (cs.size() < 2) return false;
  if (w.length(cs[0]) > kHalfHigh * mother_length(w, m, w.last(m)) * w.growth) return false;
  const double expected = w.length(cs[0]) * std::pow(w.growth, cs[1].frame - cs[0].frame);
  return std::fabs(std::log(std::max(w.length(cs[1]), 1e-9) / std::max(expected, 1e-9))) <= std::log(kGapLengthRatio);
}

// Whether daughter d of mother m, seen in one frame only, was the mother
// split in two by the segmentation for that frame: in the next frame a track
// without parent starts where the motion carries d, at about the mother's
// whole length grown on (not a daughter's), and the link model prices that
// continuation below one lost and one new.
bool split_heals(const Work& w, int m, int d) {
  if (w.model == nullptr) return false;
  const Cell piece = w.first_cell(d), mother = w.last_cell(m);
  const int next = piece.frame + 1;
  if (next >= static_cast<int>(w.tl.frames.size())) return false;
  const double whole = std::max(w.length(piece), w.length(mother) * w.growth);
  const std::pair<double, double> at = carried(w, piece, next);
  const LinkModel& model = *w.model;
  const RodCell a{w.x(piece), w.y(piece), std::max(whole, 1e-6), w.angle(piece)};
  for (int b = 0; b < w.count(); ++b) {
    if (!w.alive[static_cast<size_t>(b)] || w.parent[static_cast<size_t>(b)] != 0 || w.first(b) != next) continue;
    const Cell begin = w.first_cell(b);
    if (w.length(begin) <= kHalfHigh * whole * w.growth) continue;  // daughter-sized
    if (std::hypot(w.x(begin) - at.first, w.y(begin) - at.second) > position_gate(model, 1)) continue;
    const RodCell c{w.x(begin), w.y(begin), std::max(w.length(begin), 1e-6), w.angle(begin)};
    const double link = continuation_cost(model, a, at.first - a.x, at.second - a.y, c, 1);
    if (std::isfinite(link) && link < lost_cost(model, a) + appear_cost(model, c)) return true;
  }
  return false;
}

// With one daughter seen once (missed after it), the other going on at her
// own size says it was a division (the assignment weighed its lengths and
// geometry).
bool one_daughter_missed(const Work& w, int m, int d0, int d1, int frames) {
  const bool v0 = vanishes(w, d0, frames), v1 = vanishes(w, d1, frames);
  if (!w.assigned || v0 == v1) return false;
  const double l0 = w.length(w.first_cell(d0)), l1 = w.length(w.first_cell(d1)), share = l0 / std::max(l0 + l1, 1e-9);
  return share >= kHalfLow && share <= kHalfHigh && stays_daughter_sized(w, m, v0 ? d1 : d0);
}

// The piece seen once of such a division that was the mother split for one
// frame (split_heals), or -1.
int healed_piece(const Work& w, int m, int d0, int d1, int frames) {
  if (!one_daughter_missed(w, m, d0, d1, frames)) return -1;
  const int piece = vanishes(w, d0, frames) ? d0 : d1;
  return split_heals(w, m, piece) ? piece : -1;
}

bool division_makes_sense(const Work& w, int m, int d0, int d1, int frames) {
  const bool v0 = vanishes(w, d0, frames), v1 = vanishes(w, d1, frames);
  if (w.assigned && v0 != v1)
    return one_daughter_missed(w, m, d0, d1, frames) && healed_piece(w, m, d0, d1, frames) < 0;
  if (v0 || v1) return false;
  if (w.assigned) return true;
  const double sum = w.length(w.first_cell(d0)) + w.length(w.first_cell(d1));
  const double ratio = sum / (std::max(mother_length(w, m, w.last(m)), 1e-9) * w.growth);
  return ratio >= kDivisionSumLow && ratio <= kDivisionSumHigh;
}

// How badly daughter d continues mother m: vanishing, then the link model's
// cost of the continuation (without the model: the
// distance from where the motion carries the mother, length and axis).
double continuation_cost(const Work& w, int m, int d, int frames) {
  const Cell end = w.last_cell(m), begin = w.first_cell(d);
  const std::pair<double, double> at = carried(w, end, begin.frame);
  if (w.model != nullptr) {
    const RodCell a{w.x(end), w.y(end), std::max(w.length(end), 1e-6), w.angle(end)};
    const RodCell b{w.x(begin), w.y(begin), std::max(w.length(begin), 1e-6), w.angle(begin)};
    const double cost = continuation_cost(*w.model, a, at.first - a.x, at.second - a.y, b, begin.frame - end.frame);
    return (vanishes(w, d, frames) ? 1e6 : 0.0) + (std::isfinite(cost) ? cost : 1e5);
  }
  const double dist = std::hypot(w.x(begin) - at.first, w.y(begin) - at.second) / w.spacing;
  const double len = std::fabs(std::log(std::max(w.length(begin), 1e-9) / std::max(w.length(end) * w.growth, 1e-9)));
  const double turn = axis_change(w.angle(end), w.angle(begin)) / kGapAxisDegrees;
  return (vanishes(w, d, frames) ? 100.0 : 0.0) + dist + 2.0 * len + turn;
}

int resolve_divisions(Work& w) {
  const int T = static_cast<int>(w.tl.frames.size());
  int resolved = 0;
  for (int m = 0; m < w.count(); ++m) {
    if (!w.alive[static_cast<size_t>(m)]) continue;
    const std::vector<int> kids = w.children_of(m);
    if (kids.size() != 2 || w.first(kids[0]) != w.last(m) + 1 || w.first(kids[1]) != w.last(m) + 1) continue;
    if (division_makes_sense(w, m, kids[0], kids[1], T)) continue;
    if (fixed_in(w, w.first_cell(kids[0])) || fixed_in(w, w.first_cell(kids[1]))) continue;
    const double c0 = continuation_cost(w, m, kids[0], T), c1 = continuation_cost(w, m, kids[1], T);
    // A split segmentation: the piece seen once goes on as the mother made
    // whole again (gap closing joins it), the other piece is debris.
    const int healed = healed_piece(w, m, kids[0], kids[1], T);
    const int keep = healed >= 0 ? healed : c1 < c0 ? kids[1] : kids[0];
    const int other = keep == kids[0] ? kids[1] : kids[0];
    set_parent(w, other, 0);
    w.start[static_cast<size_t>(other)] = Start::kNew;
    const Cell begin = w.first_cell(keep);
    w.flag[static_cast<size_t>(begin.frame)][static_cast<size_t>(begin.index)] = kDivisionResolved;
    merge_tracks(w, m, keep);
    ++resolved;
    --m;  // the mother's new end may be another division to look at
  }
  return resolved;
}

// ---- Relinking ----

// The links of one pair in the motion's terms: per cell of frame t, where the
// colony's motion carries it by t+1; the spread of the links' residuals.
struct PairMotion {
  int t = 0;
  std::vector<std::pair<double, double>> at;
  double sd = 1.0;
};

PairMotion pair_motion(const Work& w, int t) {
  PairMotion pm;
  pm.t = t;
  const Frame& f = w.frame(t);
  std::vector<double> residual;
  for (int i = 0; i < f.count(); ++i) {
    pm.at.push_back(carried(w, {t, i}, t + 1));
    const Cell next = cell_at(w, w.track_of({t, i}) - 1, t + 1);
    if (next.index >= 0)
      residual.push_back(std::hypot(w.x(next) - pm.at.back().first, w.y(next) - pm.at.back().second));
  }
  // The median distance of a 2-D normal residual is 1.177 standard deviations.
  pm.sd = std::max(median_of(std::move(residual)) / 1.177, kRelinkLeastSpread * w.spacing);
  return pm;
}

// How unlikely it is that cell j of frame t+1 is cell i of frame t going on,
// by fixed spreads. (The link model's cost, with its stray share, exchanged
// more right links than wrong ones on the agar movie and on simulated movies
// with missed cells, and without the stray share (as a deviation from the
// ideal continuation) still cost the agar movie a link in a thousand; it is
// left to the assignment.)
double link_cost(const Work& w, const PairMotion& pm, int i, int j) {
  const Cell a{pm.t, i}, b{pm.t + 1, j};
  const double d = std::hypot(w.x(b) - pm.at[static_cast<size_t>(i)].first, w.y(b) - pm.at[static_cast<size_t>(i)].second);
  const double len = std::log(std::max(w.length(b), 1e-9) / std::max(w.length(a) * w.growth, 1e-9)) / kRelinkLengthSpread;
  const double turn = axis_change(w.angle(a), w.angle(b)) / kRelinkAxisSpread;
  return d * d / (pm.sd * pm.sd) + len * len + turn * turn;
}

// Swaps the futures of tracks a and b from frame s on; daughters go with the
// future they hang from.
void swap_tails(Work& w, int a, int b, int s) {
  std::vector<Cell>& ca = w.cells[static_cast<size_t>(a)];
  std::vector<Cell>& cb = w.cells[static_cast<size_t>(b)];
  auto split = [s](const std::vector<Cell>& v) {
    return std::find_if(v.begin(), v.end(), [s](const Cell& c) { return c.frame >= s; }) - v.begin();
  };
  const long ka = split(ca), kb = split(cb);
  std::vector<Cell> na(ca.begin(), ca.begin() + ka), nb(cb.begin(), cb.begin() + kb);
  na.insert(na.end(), cb.begin() + kb, cb.end());
  nb.insert(nb.end(), ca.begin() + ka, ca.end());
  ca = std::move(na);
  cb = std::move(nb);
  // Two loose ends joined: the track that started at s is now empty.
  for (int k : {a, b})
    if (w.cells[static_cast<size_t>(k)].empty()) {
      w.alive[static_cast<size_t>(k)] = 0;
      set_parent(w, k, 0);
    }
  for (const Cell& c : ca) w.track[static_cast<size_t>(c.frame)][static_cast<size_t>(c.index)] = a + 1;
  for (const Cell& c : cb) w.track[static_cast<size_t>(c.frame)][static_cast<size_t>(c.index)] = b + 1;
  w.motion.clear();
  for (int c : w.children_of(a)) w.parent[static_cast<size_t>(c)] = b + 1;
  for (int c : w.children_of(b)) w.parent[static_cast<size_t>(c)] = a + 1;
  std::swap(w.children_of(a), w.children_of(b));
}

// Cells of frame t+1 that may take over a link: going on from frame t (not
// daughters) or starting a track without parent.
bool relinkable_next(const Work& w, int t, int j) {
  const int k = w.track_of({t + 1, j}) - 1;
  return w.first(k) <= t || w.parent[static_cast<size_t>(k)] == 0;
}

// Cells of frame t that may give or take a link: going on at t+1, or ending
// at t without daughters.
bool relinkable_here(const Work& w, int t, int i) {
  const int k = w.track_of({t, i}) - 1;
  return w.last(k) > t || !has_daughters(w, k);
}

// Exchanges the futures of two tracks at one pair where the motion, the
// lengths and the axes say the links are crossed: cell i of frame t going on
// to j, and cell i2 going on to j2 (either may be missing: a track that ends
// or starts there), become i to j2 and i2 to j when that costs less by a
// clear margin.
int relink_pair(Work& w, int t) {
  const PairMotion pm = pair_motion(w, t);
  const Frame& f = w.frame(t);
  const Frame& g = w.frame(t + 1);
  const double reach = w.spacing;
  const CellGrid& grid = w.grids[static_cast<size_t>(t + 1)];
  std::vector<int> near;
  int changed = 0;
  for (int i = 0; i < f.count(); ++i) {
    if (!relinkable_here(w, t, i) || fixed_out(w, {t, i})) continue;
    const int ka = w.track_of({t, i}) - 1;
    const Cell j = cell_at(w, ka, t + 1);
    if (fixed_in(w, j)) continue;
    const double own = j.index >= 0 ? link_cost(w, pm, i, j.index) : HUGE_VAL;
    double best_gain = kRelinkMargin;
    int best = -1;
    grid.near(pm.at[static_cast<size_t>(i)].first, pm.at[static_cast<size_t>(i)].second, reach, near);
    for (int j2 : near) {
      if (j2 == j.index || !relinkable_next(w, t, j2) || fixed_in(w, {t + 1, j2}) || ruled_out(w, {t, i}, {t + 1, j2}))
        continue;
      const double dx = g.x[static_cast<size_t>(j2)] - pm.at[static_cast<size_t>(i)].first;
      const double dy = g.y[static_cast<size_t>(j2)] - pm.at[static_cast<size_t>(i)].second;
      if (std::hypot(dx, dy) > reach) continue;
      const int kb = w.track_of({t + 1, j2}) - 1;
      const Cell i2 = cell_at(w, kb, t);
      if (i2.index >= 0 && (!relinkable_here(w, t, i2.index) || fixed_out(w, i2) || ruled_out(w, i2, j))) continue;
      // The piece a resolved division kept as its mother going on keeps her
      // future: the other piece beside it, nearer the whole cell's centre
      // perhaps, is the one the segmentation cut off.
      if (i2.index >= 0 && w.flag[static_cast<size_t>(t)][static_cast<size_t>(i2.index)] == kDivisionResolved &&
          w.cells[static_cast<size_t>(ka)].size() == 1 && w.parent[static_cast<size_t>(ka)] == 0)
        continue;
      // Costs of the links before and after; a missing link costs the same on
      // both sides and drops out.
      const double before = (j.index >= 0 ? own : 0) + (i2.index >= 0 ? link_cost(w, pm, i2.index, j2) : 0);
      const double after = link_cost(w, pm, i, j2) + (i2.index >= 0 && j.index >= 0 ? link_cost(w, pm, i2.index, j.index) : 0);
      double gain = before - after;
      if (j.index < 0 && i2.index < 0) gain = kRelinkUnlinked - after;  // two loose ends joined
      if (j.index >= 0 && i2.index < 0) gain = own - link_cost(w, pm, i, j2);
      if (j.index < 0 && i2.index >= 0) gain = link_cost(w, pm, i2.index, j2) - link_cost(w, pm, i, j2);
      if (gain > best_gain) {
        best_gain = gain;
        best = j2;
      }
    }
    if (best < 0) continue;
    swap_tails(w, ka, w.track_of({t + 1, best}) - 1, t + 1);
    ++changed;
  }
  return changed;
}

// Passes over all pairs until one changes nothing (a change at one pair moves
// the motion its neighbours see), at most kRelinkPasses.
int relink(Work& w) {
  int changed = 0;
  for (int pass = 0; pass < kRelinkPasses; ++pass) {
    int now = 0;
    for (int t = 0; t + 1 < static_cast<int>(w.tl.frames.size()); ++t) now += relink_pair(w, t);
    changed += now;
    if (now == 0) break;
  }
  return changed;
}

// Splits track k before frame s: its cells from s on become a new track
// (which takes k's daughters); returns the new track's index.
int split_track(Work& w, int k, int s, int parent, Start start) {
  std::vector<Cell>& ck = w.cells[static_cast<size_t>(k)];
  const auto at = std::find_if(ck.begin(), ck.end(), [s](const Cell& c) { return c.frame >= s; });
  std::vector<Cell> tail(at, ck.end());
  ck.erase(at, ck.end());
  const int n = w.count();
  std::vector<int> moved = std::move(w.children_of(k));
  w.children_of(k).clear();
  for (int c : moved) w.parent[static_cast<size_t>(c)] = n + 1;
  for (const Cell& c : tail) w.track[static_cast<size_t>(c.frame)][static_cast<size_t>(c.index)] = n + 1;
  w.motion.clear();
  w.cells.push_back(std::move(tail));
  w.children.push_back(std::move(moved));
  w.parent.push_back(0);
  w.start.push_back(start);
  w.alive.push_back(1);
  set_parent(w, n, parent);
  return n;
}

// Whether track k is seen after frame s, or s is the last frame.
bool lives_on(const Work& w, int k, int s) {
  return w.last(k) > s || has_daughters(w, k) || s == static_cast<int>(w.tl.frames.size()) - 1;
}

// A division the pairs missed: the mother goes on at t+1 as a cell about half
// her length, and beside it a cell starts a track without parent (or goes on
// from a one-frame track without parent, a spurious detection before it) with
// which it adds up to the mother. Both become her daughters.
int find_missed_divisions(Work& w) {
  int found = 0;
  const int T = static_cast<int>(w.tl.frames.size());
  for (int t = 0; t + 1 < T; ++t) {
    const Frame& f = w.frame(t);
    const PairMotion pm = pair_motion(w, t);
    std::vector<int> near;
    for (int i = 0; i < f.count(); ++i) {
      const int m = w.track_of({t, i}) - 1;
      const Cell d1 = cell_at(w, m, t + 1);
      if (d1.index < 0) continue;
      // Her own length at t: if she was shorter the frame before, the cell at
      // t may already be a daughter of a division the pairs missed.
      const double mother = std::max(w.length({t, i}), 1e-9) * w.growth;
      const double half = w.length(d1) / mother;
      if (half < kHalfLow || half > kHalfHigh) continue;
      const std::pair<double, double> at = carried(w, {t, i}, t + 1);
      double best_cost = HUGE_VAL;
      int best = -1;
      // Only cells within reach of where the motion carries her (dist <= 1 below).
      w.grids[static_cast<size_t>(t + 1)].near(at.first, at.second, 0.5 * mother + w.spacing, near);
      for (int j : near) {
        const int k = w.track_of({t + 1, j}) - 1;
        if (k == m) continue;
        const bool starts = w.first(k) == t + 1 && w.parent[static_cast<size_t>(k)] == 0;
        const Cell d2{t + 1, j};
        // Or after one cell of another size: a spurious detection chained on.
        const bool after_one = w.first(k) == t && t > 0 &&
                               std::fabs(std::log(w.length(w.first_cell(k)) / std::max(w.length(d2), 1e-9))) >
                                   std::log(kGapLengthRatio);
        // Or taken by a neighbour's track through a link the motion, length
        // and axis do not support.
        const Cell from = cell_at(w, k, t);
        const bool poor_link = from.index >= 0 && link_cost(w, pm, from.index, j) > kRelinkUnlinked;
        if (!starts && !after_one && !poor_link) continue;
        const double share = w.length(d2) / mother;
        if (share < kHalfLow || share > kHalfHigh || !lives_on(w, k, t + 1) || !lives_on(w, m, t + 1)) continue;
        const double sum = (w.length(d1) + w.length(d2)) / mother;
        const double dist = std::hypot(w.x(d2) - at.first, w.y(d2) - at.second) / (0.5 * mother + w.spacing);
        if (sum < kDivisionSumLow || sum > kDivisionSumHigh || dist > 1) continue;
        const double turn = axis_change(w.angle({t, i}), w.angle(d2)) / kGapAxisDegrees;
        const double cost = std::fabs(std::log(sum)) + dist + turn;
        if (cost < best_cost) {
          best_cost = cost;
          best = k;
        }
      }
      if (best < 0) continue;
      // The cells before keep their track (and parent); the tail becomes hers.
      if (w.first(best) <= t) best = split_track(w, best, t + 1, 0, Start::kNew);
      split_track(w, m, t + 1, m + 1, Start::kDaughter);  // before: it hands m's daughters on
      set_parent(w, best, m + 1);
      w.start[static_cast<size_t>(best)] = Start::kDaughter;
      ++found;
    }
  }
  return found;
}

int flag_debris(Work& w) {
  const int T = static_cast<int>(w.tl.frames.size());
  int flagged = 0;
  for (int k = 0; k < w.count(); ++k) {
    if (!w.alive[static_cast<size_t>(k)] || w.parent[static_cast<size_t>(k)] != 0) continue;
    if (w.first(k) == 0 || !vanishes(w, k, T)) continue;
    const Cell c = w.first_cell(k);
    w.flag[static_cast<size_t>(c.frame)][static_cast<size_t>(c.index)] = kProbableDebris;
    ++flagged;
  }
  return flagged;
}

// The repaired lineage: surviving tracks in their order, relabelled from 1.
void write_back(const Work& w, Lineage& lin) {
  std::vector<int> order;
  for (int k = 0; k < w.count(); ++k)
    if (w.alive[static_cast<size_t>(k)]) order.push_back(k);
  // The order of build_lineage: by first frame, then by the first cell's id.
  std::stable_sort(order.begin(), order.end(), [&](int a, int b) {
    const Cell ca = w.first_cell(a), cb = w.first_cell(b);
    if (ca.frame != cb.frame) return ca.frame < cb.frame;
    return w.frame(ca.frame).id[static_cast<size_t>(ca.index)] < w.frame(cb.frame).id[static_cast<size_t>(cb.index)];
  });
  std::vector<int> label(static_cast<size_t>(w.count()) + 1, 0);
  int next = 0;
  for (int k : order) label[static_cast<size_t>(k) + 1] = ++next;
  std::vector<Track> tracks;
  for (int k : order) {
    const std::vector<Cell>& cs = w.cells[static_cast<size_t>(k)];
    Track tr;
    tr.first = cs.front().frame;
    tr.last = cs.back().frame;
    tr.parent = label[static_cast<size_t>(w.parent[static_cast<size_t>(k)])];
    tr.start = w.start[static_cast<size_t>(k)];
    tr.skipped = tr.last - tr.first + 1 - static_cast<int>(cs.size());
    tracks.push_back(tr);
    for (const Cell& c : cs) lin.track[static_cast<size_t>(c.frame)][static_cast<size_t>(c.index)] = label[static_cast<size_t>(k) + 1];
  }
  lin.tracks = std::move(tracks);
  lin.flag = w.flag;
  // A cell taken for its mother going on (flag 3) that relinking moved to
  // the start of a track no longer goes on from anyone.
  for (int k : order) {
    const Cell& c = w.first_cell(k);
    int& f = lin.flag[static_cast<size_t>(c.frame)][static_cast<size_t>(c.index)];
    if (f == kDivisionResolved) f = kNormal;
  }
  // The first cell after each gap (set here: relinking may move a gap's end).
  for (int k : order) {
    const std::vector<Cell>& cs = w.cells[static_cast<size_t>(k)];
    for (size_t n = 1; n < cs.size(); ++n)
      if (cs[n].frame > cs[n - 1].frame + 1) lin.flag[static_cast<size_t>(cs[n].frame)][static_cast<size_t>(cs[n].index)] = kAfterGap;
  }
}

// The user's corrections in the work: what is fixed and ruled out, and the
// links across gaps joined (the assignment left both ends loose: the earlier
// cell ends its track, the later one starts one without parent). Two such
// links from one cell make its daughters.
void take_corrections(Work& w, const Corrections& c) {
  w.fixed.resize(w.tl.frames.size());
  for (size_t t = 0; t < w.tl.frames.size(); ++t) w.fixed[t].assign(static_cast<size_t>(w.tl.frames[t].count()), 0);
  std::map<std::pair<int, int>, std::vector<Cell>> across;
  std::vector<Correction> daughter;
  for (const Correction& r : c.rows) {
    const Cell to{r.t, r.j}, from{r.from_t, r.from_i};
    if (r.action == Fix::kNot) {
      w.ruled_out.push_back({from.frame, from.index, to.frame, to.index});
      continue;
    }
    w.fixed[static_cast<size_t>(to.frame)][static_cast<size_t>(to.index)] |= r.action == Fix::kDebris ? 3 : 1;
    if (r.action != Fix::kLink && r.action != Fix::kDaughter) continue;
    w.fixed[static_cast<size_t>(from.frame)][static_cast<size_t>(from.index)] |= 2;
    if (from.frame + 1 < to.frame) across[{from.frame, from.index}].push_back(to);
    if (r.action == Fix::kDaughter) daughter.push_back(r);
  }
  for (const auto& [o, kids] : across) {
    const int m = w.track_of({o.first, o.second}) - 1;
    if (w.last(m) != o.first || has_daughters(w, m)) continue;
    std::vector<int> ks;
    for (const Cell& k : kids) {
      const int tk = w.track_of(k) - 1;
      if (w.first_cell(tk).index == k.index && w.first(tk) == k.frame && w.parent[static_cast<size_t>(tk)] == 0)
        ks.push_back(tk);
    }
    if (ks.size() != kids.size()) continue;
    const bool lone = std::any_of(daughter.begin(), daughter.end(), [&](const Correction& d) {
      return d.from_t == o.first && d.from_i == o.second;
    });
    if (ks.size() == 1 && !lone) {
      merge_tracks(w, m, ks[0]);
      continue;
    }
    for (int k : ks) {
      set_parent(w, k, m + 1);
      w.start[static_cast<size_t>(k)] = Start::kDaughter;
    }
  }
  // A lone daughter the assignment took for her mother going on starts a
  // track of her own.
  for (const Correction& d : daughter) {
    const int k = w.track_of({d.t, d.j}) - 1;
    if (d.from_t + 1 == d.t && w.track_of({d.from_t, d.from_i}) == k + 1) split_track(w, k, d.t, k + 1, Start::kDaughter);
  }
}

}  // namespace

RepairCounts repair_lineage(const TimeLapse& tl, Lineage& lin, const TrackOptions::Repairs& which,
                            const LinkModel* model, const Corrections* fixed) {
  RepairCounts counts;
  if (lin.tracks.empty()) return counts;
  Work w = work_from(tl, lin);
  w.assigned = which.assign;
  w.model = model;
  if (fixed && !fixed->empty()) take_corrections(w, *fixed);
  measure_colony(w);
  if (which.relink) counts.relinked = relink(w);
  if (which.close_gaps) {
    const std::pair<int, int> joined = join_across_gaps(w, which.check_divisions);
    counts.gaps_closed += joined.first;
    counts.divisions_found += joined.second;
  }
  // Finding a missed division may leave a one-frame daughter of an earlier
  // one (the spurious detection the pairs chained into a daughter): a second
  // round resolves that.
  for (int round = 0; round < 2 && which.check_divisions; ++round) {
    const int resolved = resolve_divisions(w);
    counts.divisions_resolved += resolved;
    if (which.close_gaps && resolved > 0) counts.gaps_closed += close_gaps(w);
    const int found = w.assigned ? 0 : find_missed_divisions(w);
    counts.divisions_found += found;
    if (found == 0) break;
  }
  if (which.relink) counts.relinked += relink(w);
  if (which.flag_debris) counts.debris = flag_debris(w);
  if (fixed)
    for (const Correction& r : fixed->rows)
      if (r.action == Fix::kDebris) w.flag[static_cast<size_t>(r.t)][static_cast<size_t>(r.j)] = kProbableDebris;
  write_back(w, lin);
  return counts;
}

}  // namespace vantu
