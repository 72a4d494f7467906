// Chaining the pairs' hard matches into a lineage.
//
// For every cell i of frame t, the cells of frame t+1 that the matcher gave
// it are its claims: at level 0 (the same cell) and, under three levels, at
// levels 1 and 2 (the first and second daughter); under two levels a cell
// matched at both levels has divided. The rules, as a biologist reads them:
//   - two daughters: a division; both start new tracks whose parent is i's
//     track. A level-0 claim beside them is a third cell, which cannot come
//     from one division: it starts a track of its own, without parent.
//   - a level-0 claim without two daughters: i's track continues there; a
//     lone daughter beside it starts a track without parent.
//   - a lone daughter and nothing else: the cell was seen as one daughter
//     only; a division needs two, so i's track continues there.
//   - no claim: i's track ends at frame t.
// A cell of frame t+1 that nobody claims starts a track without parent.
// One mix-up of the matcher is mended before these rules: two neighbours
// that both divide can come out with each mother holding one daughter as its
// continuation and the other daughters left to nobody. A continuation that
// is much shorter than its mother, with an unclaimed cell where the other
// daughter should be (the daughter mirrored through the mother's centre,
// moved as the mother's neighbours moved) and the two lengths adding up to
// about the mother's, is taken as a division into those two cells. The cell
// there may also be the second "daughter" of a neighbour whose division
// cannot be one (one daughter as long as the neighbour itself, the two far
// longer together): that neighbour then continues into its other daughter.
// A lone daughter beside such a continuation, with the lengths adding up,
// is the sister.
// Tracks are numbered from 1 in the order they start: the cells of the first
// frame by id, then frame by frame the new tracks by their cell's id.
#include <algorithm>
#include <cmath>
#include <numeric>

#include "track/track.h"

namespace vantu {

namespace {

// Indices of a frame's cells, ordered by id.
std::vector<int> by_id(const Frame& f) {
  std::vector<int> order(static_cast<size_t>(f.count()));
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(),
                   [&](int a, int b) { return f.id[static_cast<size_t>(a)] < f.id[static_cast<size_t>(b)]; });
  return order;
}

struct Claims {
  int same = -1, daughter[2] = {-1, -1};
};

// Per cell of frame t, the first claim at each level (the lowest index of
// frame t+1; the matcher gives at most one per level).
std::vector<Claims> claims_of(const PairLinks& pl, int max_split) {
  std::vector<Claims> c(static_cast<size_t>(pl.K));
  for (int j = 0; j < pl.M; ++j)
    for (int l = 0; l < std::min(max_split, 3); ++l) {
      const int i = pl.row[l][static_cast<size_t>(j)];
      if (i < 0) continue;
      Claims& ci = c[static_cast<size_t>(i)];
      // Under two levels, level 1 is the second cell of a division.
      int* slot = l == 0 ? &ci.same : (max_split == 2 ? &ci.daughter[1] : &ci.daughter[l - 1]);
      if (*slot < 0) *slot = j;
    }
  if (max_split == 2)
    for (Claims& ci : c)
      if (ci.same >= 0 && ci.daughter[1] >= 0) {  // both levels: the two cells of a division
        ci.daughter[0] = ci.same;
        ci.same = -1;
      }
  return c;
}

constexpr double kShrunk = 0.7;          // a continuation below 0.7 of the mother's length is suspect
constexpr double kSisterReach = 0.3;     // the sister within 0.3 mother lengths of where it should be
constexpr double kSumLow = 0.75, kSumHigh = 1.6;  // the daughters' lengths over the mother's
constexpr int kMotionNeighbours = 5;     // neighbours whose motion moves the mother
constexpr double kWhole = 0.8;           // a "daughter" this long (of its mother) is the mother itself

// The claimant whose division into d and another cell cannot be one, or -1:
// the other cell is about as long as the claimant and the two together far
// longer.
int implausible_division_of(const std::vector<Claims>& claims, const Frame& a, const Frame& b, int d) {
  for (size_t x = 0; x < claims.size(); ++x) {
    const Claims& c = claims[x];
    if (c.same >= 0 || c.daughter[0] < 0 || c.daughter[1] < 0) continue;
    if (c.daughter[0] != d && c.daughter[1] != d) continue;
    const int other = c.daughter[0] == d ? c.daughter[1] : c.daughter[0];
    const double L = a.length[x], lo = b.length[static_cast<size_t>(other)], ld = b.length[static_cast<size_t>(d)];
    if (lo >= kWhole * L && lo + ld > kSumHigh * L) return static_cast<int>(x);
  }
  return -1;
}

double median_of(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0.0 : v[v.size() / 2];
}

// The cells of b that the claims leave to nobody.
std::vector<bool> unclaimed(const std::vector<Claims>& claims, int M) {
  std::vector<bool> free(static_cast<size_t>(M), true);
  for (const Claims& c : claims) {
    const bool divided = c.daughter[0] >= 0 && c.daughter[1] >= 0;
    if (divided) {
      free[static_cast<size_t>(c.daughter[0])] = free[static_cast<size_t>(c.daughter[1])] = false;
    } else {
      const int lone = c.daughter[0] >= 0 ? c.daughter[0] : c.daughter[1];
      const int successor = c.same >= 0 ? c.same : lone;
      if (successor >= 0) free[static_cast<size_t>(successor)] = false;
    }
  }
  return free;
}

void find_missed_sisters(std::vector<Claims>& claims, const Frame& a, const Frame& b) {
  std::vector<bool> free = unclaimed(claims, b.count());
  // Displacements of the plain continuations.
  std::vector<int> movers;
  for (size_t i = 0; i < claims.size(); ++i)
    if (claims[i].same >= 0 && claims[i].daughter[0] < 0 && claims[i].daughter[1] < 0) movers.push_back(static_cast<int>(i));
  for (size_t i = 0; i < claims.size(); ++i) {
    Claims& c = claims[i];
    const int j = c.same;
    const double L = a.length[i];
    if (j < 0 || !(b.length[static_cast<size_t>(j)] < kShrunk * L)) continue;
    if (c.daughter[0] >= 0 && c.daughter[1] >= 0) continue;
    const int lone = c.daughter[0] >= 0 ? c.daughter[0] : c.daughter[1];
    if (lone >= 0) {  // the sister is the lone daughter beside the continuation
      const double sum = b.length[static_cast<size_t>(j)] + b.length[static_cast<size_t>(lone)];
      if (sum >= kSumLow * L && sum <= kSumHigh * L) {
        c.daughter[0] = j;
        c.daughter[1] = lone;
        c.same = -1;
      }
      continue;
    }
    // How the mother's neighbourhood moved.
    std::vector<std::pair<double, int>> near;
    for (int k : movers)
      if (k != static_cast<int>(i))
        near.push_back({std::hypot(a.x[static_cast<size_t>(k)] - a.x[i], a.y[static_cast<size_t>(k)] - a.y[i]), k});
    std::sort(near.begin(), near.end());
    std::vector<double> dx, dy;
    for (size_t n = 0; n < near.size() && n < kMotionNeighbours; ++n) {
      const size_t k = static_cast<size_t>(near[n].second), s2 = static_cast<size_t>(claims[k].same);
      dx.push_back(b.x[s2] - a.x[k]);
      dy.push_back(b.y[s2] - a.y[k]);
    }
    const double cx = a.x[i] + median_of(dx), cy = a.y[i] + median_of(dy);
    const double px = 2 * cx - b.x[static_cast<size_t>(j)], py = 2 * cy - b.y[static_cast<size_t>(j)];
    int best = -1, best_claimant = -1;
    double best_d = kSisterReach * L;
    for (int k = 0; k < b.count(); ++k) {
      const int claimant = free[static_cast<size_t>(k)] ? -1 : implausible_division_of(claims, a, b, k);
      if (!free[static_cast<size_t>(k)] && claimant < 0) continue;
      const double d = std::hypot(b.x[static_cast<size_t>(k)] - px, b.y[static_cast<size_t>(k)] - py);
      const double sum = b.length[static_cast<size_t>(j)] + b.length[static_cast<size_t>(k)];
      if (d < best_d && sum >= kSumLow * L && sum <= kSumHigh * L) {
        best = k;
        best_d = d;
        best_claimant = claimant;
      }
    }
    if (best < 0) continue;
    if (best_claimant >= 0) {
      Claims& x = claims[static_cast<size_t>(best_claimant)];
      x.same = x.daughter[0] == best ? x.daughter[1] : x.daughter[0];
      x.daughter[0] = x.daughter[1] = -1;
    }
    c.daughter[0] = j;
    c.daughter[1] = best;
    c.same = -1;
    free[static_cast<size_t>(best)] = false;
    // A lone-daughter claim on the sister by another cell goes.
    for (Claims& o : claims)
      for (int& d : o.daughter)
        if (&o != &c && d == best) d = -1;
  }
}

}  // namespace

Lineage build_lineage(const TimeLapse& tl, const std::vector<PairLinks>& links, int max_split) {
  Lineage lin;
  const size_t T = tl.frames.size();
  lin.track.resize(T);
  lin.pairs.resize(links.size());
  auto new_track = [&](int frame, int parent, Start start) {
    lin.tracks.push_back(Track{frame, frame, parent, start});
    return static_cast<int>(lin.tracks.size());
  };

  lin.track[0].assign(static_cast<size_t>(tl.frames[0].count()), 0);
  for (int i : by_id(tl.frames[0])) lin.track[0][static_cast<size_t>(i)] = new_track(0, 0, Start::kFirstFrame);

  for (size_t t = 0; t + 1 < T; ++t) {
    const Frame& next = tl.frames[t + 1];
    std::vector<Claims> claims = claims_of(links[t], max_split);
    if (max_split >= 2) find_missed_sisters(claims, tl.frames[t], next);
    std::vector<int>& tr = lin.track[t + 1];
    tr.assign(static_cast<size_t>(next.count()), 0);
    std::vector<int> parent(static_cast<size_t>(next.count()), 0);  // mother's track of a daughter
    Lineage::PairCounts& counts = lin.pairs[t];

    for (size_t i = 0; i < claims.size(); ++i) {
      const Claims& c = claims[i];
      const int mine = lin.track[t][i];
      const bool divided = c.daughter[0] >= 0 && c.daughter[1] >= 0 && c.daughter[0] != c.daughter[1];
      if (divided) {
        parent[static_cast<size_t>(c.daughter[0])] = parent[static_cast<size_t>(c.daughter[1])] = mine;
        ++counts.divisions;
        continue;
      }
      const int lone = c.daughter[0] >= 0 ? c.daughter[0] : c.daughter[1];
      const int successor = c.same >= 0 ? c.same : lone;
      if (successor < 0 || tr[static_cast<size_t>(successor)] != 0) continue;
      tr[static_cast<size_t>(successor)] = mine;
      lin.tracks[static_cast<size_t>(mine - 1)].last = static_cast<int>(t + 1);
      ++counts.continuations;
    }
    for (int j : by_id(next)) {
      if (tr[static_cast<size_t>(j)] != 0) continue;
      const int p = parent[static_cast<size_t>(j)];
      tr[static_cast<size_t>(j)] = new_track(static_cast<int>(t + 1), p, p ? Start::kDaughter : Start::kNew);
      if (!p) ++counts.unmatched;
    }
  }
  return lin;
}

}  // namespace vantu
