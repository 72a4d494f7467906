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
// about the mother's, is taken as a division into those two cells. First a
// "division" that cannot be one (one daughter as long as the cell itself,
// the two far longer together) becomes a continuation into the daughter of
// the cell's length, leaving the other to nobody. The sister may also be
// held as the continuation of a neighbour for which a cell of the right
// length is left to nobody nearer to where the neighbour should be: the
// neighbour takes that one. A lone daughter beside a halved continuation,
// with the lengths adding up, is the sister.
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
constexpr double kHolderReach = 0.6;     // a better cell for the sister's holder within 0.6 of its length
constexpr double kSumLow = 0.75, kSumHigh = 1.6;  // the daughters' lengths over the mother's
constexpr double kWhole = 0.8;           // a "daughter" this long (of its mother) is the mother itself
constexpr int kMotionNeighbours = 5;     // neighbours whose motion moves a cell

double median_of(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0.0 : v[v.size() / 2];
}

// Mends the mix-ups of neighbouring divisions in the claims of one pair.
class SisterSearch {
 public:
  SisterSearch(std::vector<Claims>& claims, const Frame& a, const Frame& b) : c_(claims), a_(a), b_(b) {}

  void run() {
    release_impossible_divisions();
    mark_claimed();
    for (size_t i = 0; i < c_.size(); ++i) mend(i);
  }

 private:
  std::vector<Claims>& c_;
  const Frame& a_;
  const Frame& b_;
  std::vector<bool> free_;

  double la(size_t i) const { return a_.length[i]; }
  double lb(int j) const { return b_.length[static_cast<size_t>(j)]; }
  bool plain(const Claims& c) const { return c.same >= 0 && c.daughter[0] < 0 && c.daughter[1] < 0; }
  double distance_b(int j, double x, double y) const {
    return std::hypot(b_.x[static_cast<size_t>(j)] - x, b_.y[static_cast<size_t>(j)] - y);
  }

  // A "division" with one daughter as long as the cell itself and the two
  // far longer together is the cell going on beside someone else's cell.
  void release_impossible_divisions() {
    for (size_t x = 0; x < c_.size(); ++x) {
      Claims& c = c_[x];
      if (c.same >= 0 || c.daughter[0] < 0 || c.daughter[1] < 0) continue;
      const double L = la(x), l0 = lb(c.daughter[0]), l1 = lb(c.daughter[1]);
      if (l0 + l1 <= kSumHigh * L || std::max(l0, l1) < kWhole * L) continue;
      c.same = std::fabs(l0 - L) <= std::fabs(l1 - L) ? c.daughter[0] : c.daughter[1];
      c.daughter[0] = c.daughter[1] = -1;
    }
  }

  void mark_claimed() {
    free_.assign(static_cast<size_t>(b_.count()), true);
    for (const Claims& c : c_) {
      if (c.daughter[0] >= 0 && c.daughter[1] >= 0) {
        free_[static_cast<size_t>(c.daughter[0])] = free_[static_cast<size_t>(c.daughter[1])] = false;
        continue;
      }
      const int lone = c.daughter[0] >= 0 ? c.daughter[0] : c.daughter[1];
      const int successor = c.same >= 0 ? c.same : lone;
      if (successor >= 0) free_[static_cast<size_t>(successor)] = false;
    }
  }

  // Where cell i of frame a should be in frame b: moved as its neighbours
  // with plain continuations moved (median per coordinate).
  void moved_centre(size_t i, double& x, double& y) const {
    std::vector<std::pair<double, size_t>> near;
    for (size_t k = 0; k < c_.size(); ++k)
      if (k != i && plain(c_[k])) near.push_back({std::hypot(a_.x[k] - a_.x[i], a_.y[k] - a_.y[i]), k});
    std::sort(near.begin(), near.end());
    std::vector<double> dx, dy;
    for (size_t n = 0; n < near.size() && n < kMotionNeighbours; ++n) {
      const size_t k = near[n].second, s = static_cast<size_t>(c_[k].same);
      dx.push_back(b_.x[s] - a_.x[k]);
      dy.push_back(b_.y[s] - a_.y[k]);
    }
    x = a_.x[i] + median_of(dx);
    y = a_.y[i] + median_of(dy);
  }

  // A free cell that would do for cell z instead of its continuation k:
  // as long as z and nearer to where z should be than k is.
  int replacement_for(size_t z, int k) const {
    double x, y;
    moved_centre(z, x, y);
    int best = -1;
    double best_d = std::min(kHolderReach * la(z), distance_b(k, x, y));
    for (int j = 0; j < b_.count(); ++j) {
      if (!free_[static_cast<size_t>(j)] || lb(j) < kWhole * la(z) || lb(j) > kSumHigh * la(z)) continue;
      const double d = distance_b(j, x, y);
      if (d < best_d) {
        best = j;
        best_d = d;
      }
    }
    return best;
  }

  void divide(Claims& c, int j, int k) {
    c.daughter[0] = j;
    c.daughter[1] = k;
    c.same = -1;
    free_[static_cast<size_t>(k)] = false;
  }

  void mend(size_t i) {
    Claims& c = c_[i];
    const int j = c.same;
    const double L = la(i);
    if (j < 0 || !(lb(j) < kShrunk * L) || (c.daughter[0] >= 0 && c.daughter[1] >= 0)) return;
    auto sums_up = [&](int k) { return lb(j) + lb(k) >= kSumLow * L && lb(j) + lb(k) <= kSumHigh * L; };
    const int lone = c.daughter[0] >= 0 ? c.daughter[0] : c.daughter[1];
    if (lone >= 0) {  // the sister is the lone daughter beside the continuation
      if (sums_up(lone)) divide(c, j, lone);
      return;
    }
    // Where the sister should be: the daughter mirrored through the mother's
    // moved centre.
    double cx, cy;
    moved_centre(i, cx, cy);
    const double px = 2 * cx - b_.x[static_cast<size_t>(j)], py = 2 * cy - b_.y[static_cast<size_t>(j)];
    int best = -1, holder = -1, holder_gets = -1;
    double best_d = kSisterReach * L;
    for (int k = 0; k < b_.count(); ++k) {
      const double d = distance_b(k, px, py);
      if (d >= best_d || !sums_up(k)) continue;
      int z = -1, z_gets = -1;
      if (!free_[static_cast<size_t>(k)]) {  // taken as the continuation of a cell that has a better one free
        for (size_t q = 0; q < c_.size() && z < 0; ++q)
          if (q != i && plain(c_[q]) && c_[q].same == k) z = static_cast<int>(q);
        if (z < 0 || (z_gets = replacement_for(static_cast<size_t>(z), k)) < 0) continue;
      }
      best = k;
      best_d = d;
      holder = z;
      holder_gets = z_gets;
    }
    if (best < 0) return;
    if (holder >= 0) {
      c_[static_cast<size_t>(holder)].same = holder_gets;
      free_[static_cast<size_t>(holder_gets)] = false;
    }
    divide(c, j, best);
  }
};

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
    if (max_split >= 2) SisterSearch(claims, tl.frames[t], next).run();
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
