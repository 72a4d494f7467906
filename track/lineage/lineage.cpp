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
// Tracks are numbered from 1 in the order they start: the cells of the first
// frame by id, then frame by frame the new tracks by their cell's id.
#include <algorithm>
#include <numeric>

#include "track/lineage/lineage.h"

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
    const std::vector<Claims> claims = claims_of(links[t], max_split);
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
