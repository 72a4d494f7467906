// The lineage stage of a run, shared by the command line and the library:
// the pairs' matches chained into tracks, mended along the time axis, its
// links rated, and the texts of the files that hold it. Nothing here writes
// a file.
#include <algorithm>
#include <array>
#include <numeric>

#include "base/check.h"
#include "track/lineage/assign.h"
#include "track/track.h"

namespace vantu {

namespace {

// The cells the user set: sure (confidence 1) and not flagged as without
// origin (a cell set new has none by the user's word); refuses a lineage
// that does not hold every correction.
void hold_corrections(const TimeLapse& tl, const Corrections& fixed, LineageTexts& out) {
  Lineage& lin = out.lineage;
  lin.by_hand = cells_by_hand(tl, fixed);
  for (size_t t = 0; t < lin.by_hand.size(); ++t)
    for (size_t j = 0; j < lin.by_hand[t].size(); ++j) {
      if (!lin.by_hand[t][j]) continue;
      lin.confidence[t][j] = 1.0;
      if (!lin.flag.empty() && lin.flag[t][j] == kNoOrigin) lin.flag[t][j] = kNormal;
    }
  const std::vector<long> broken = corrections_not_held(lin, fixed);
  if (!broken.empty())
    throw TrackError(strprintf("%s:%ld: this correction could not be held (%zu in all); please report it",
                               fixed.source.c_str(), broken.front(), broken.size()));
  out.corrections = fixed.rows.size();
}

// The corrections with the links decided again around them, which the
// repairs keep as they keep the corrections.
Corrections with_links_around(const Corrections& fixed, const DecidedLinks& decided) {
  Corrections out = fixed;
  out.rows.insert(out.rows.end(), decided.around.begin(), decided.around.end());
  return out;
}


// Where each cell of a lineage comes from: its track's cell before (across a
// gap too) or, for a daughter, her mother's last cell; frame -1: from none.
struct Origin {
  int frame = -1, cell = -1;
  bool daughter = false;
};
std::vector<std::vector<Origin>> origins_of(const Lineage& lin) {
  std::vector<std::vector<Origin>> out(lin.track.size());
  std::vector<Origin> last(lin.tracks.size() + 1);  // per track, its latest cell so far
  for (size_t t = 0; t < lin.track.size(); ++t) {
    out[t].resize(lin.track[t].size());
    for (size_t j = 0; j < lin.track[t].size(); ++j) {
      const int k = lin.track[t][j];
      const Track& tr = lin.tracks[static_cast<size_t>(k - 1)];
      if (tr.first < static_cast<int>(t)) out[t][j] = last[static_cast<size_t>(k)];
      else if (tr.parent > 0) out[t][j] = last[static_cast<size_t>(tr.parent)], out[t][j].daughter = true;
    }
    for (size_t j = 0; j < lin.track[t].size(); ++j)
      last[static_cast<size_t>(lin.track[t][j])] = Origin{static_cast<int>(t), static_cast<int>(j), false};
  }
  return out;
}

// The cells a correction reaches: those it names, those decided again
// around it, and those whose link differs from the run without corrections.
std::vector<std::vector<char>> reached_cells(const TimeLapse& tl, const Corrections& fixed, const DecidedLinks& d) {
  std::vector<std::vector<char>> reached(tl.frames.size());
  for (size_t t = 0; t < tl.frames.size(); ++t) reached[t].assign(static_cast<size_t>(tl.frames[t].count()), 0);
  auto mark = [&](int t, int j) {
    if (t >= 0 && j >= 0) reached[static_cast<size_t>(t)][static_cast<size_t>(j)] = 1;
  };
  for (const auto* rows : {&fixed.rows, &d.around})
    for (const Correction& r : *rows) mark(r.t, r.j), mark(r.from_t, r.from_i);
  for (size_t t = 0; t < d.links.size(); ++t)
    for (int j = 0; j < d.links[t].M; ++j)
      for (int l = 0; l < 3; ++l)
        if (d.links[t].row[l][static_cast<size_t>(j)] != d.free_links[t].row[l][static_cast<size_t>(j)])
          mark(static_cast<int>(t + 1), j);
  return reached;
}

// Within each pair, the cells tied by a link of either decision or of the
// lineage without corrections; [side][cell] -> 1 where no cell so tied is
// reached (side 0: the earlier frame, 1: the later).
std::array<std::vector<char>, 2> unreached_in_pair(const DecidedLinks& d, const std::vector<std::vector<Origin>>& from,
                                                   const std::vector<std::vector<char>>& reached, size_t t) {
  const PairLinks& pl = d.links[t];
  const size_t K = static_cast<size_t>(pl.K), M = static_cast<size_t>(pl.M);
  std::vector<size_t> root(K + M);
  std::iota(root.begin(), root.end(), size_t{0});
  auto find = [&](size_t x) {
    while (root[x] != x) x = root[x] = root[root[x]];
    return x;
  };
  auto join = [&](int i, size_t j) {
    if (i >= 0) root[find(static_cast<size_t>(i))] = find(K + j);
  };
  for (size_t j = 0; j < M; ++j) {
    for (int l = 0; l < 3; ++l) join(pl.row[l][j], j), join(d.free_links[t].row[l][j], j);
    if (from[t + 1][j].frame == static_cast<int>(t)) join(from[t + 1][j].cell, j);
  }
  std::vector<char> hit(K + M, 0);
  for (size_t i = 0; i < K; ++i)
    if (reached[t][i]) hit[find(i)] = 1;
  for (size_t j = 0; j < M; ++j)
    if (reached[t + 1][j]) hit[find(K + j)] = 1;
  std::array<std::vector<char>, 2> out{std::vector<char>(K), std::vector<char>(M)};
  for (size_t i = 0; i < K; ++i) out[0][i] = !hit[find(i)];
  for (size_t j = 0; j < M; ++j) out[1][j] = !hit[find(K + j)];
  return out;
}

// A rerun with corrections keeps every link of the lineage the same run has
// without them (its repairs included) where no correction reaches: those
// links replace the decided ones in `links`, and join `held` so that the
// repairs keep them as they keep the corrections.
void keep_unreached(const TimeLapse& tl, const Lineage& free, const DecidedLinks& d, const Corrections& fixed,
                    std::vector<PairLinks>& links, Corrections& held) {
  const std::vector<std::vector<Origin>> from = origins_of(free);
  const std::vector<std::vector<char>> reached = reached_cells(tl, fixed, d);
  std::vector<std::vector<char>> keep_in(tl.frames.size()), keep_out(tl.frames.size());
  for (size_t t = 0; t < links.size(); ++t) {
    std::array<std::vector<char>, 2> u = unreached_in_pair(d, from, reached, t);
    keep_out[t] = std::move(u[0]);
    keep_in[t + 1] = std::move(u[1]);
    PairLinks& pl = links[t];
    std::vector<int> daughters(static_cast<size_t>(pl.K), 0);
    for (size_t j = 0; j < keep_in[t + 1].size(); ++j) {
      if (!keep_in[t + 1][j]) continue;
      for (int l = 0; l < 3; ++l) pl.row[l][j] = -1;
      const Origin& o = from[t + 1][j];
      if (o.frame != static_cast<int>(t)) continue;
      const int level = o.daughter ? 1 + std::min(daughters[static_cast<size_t>(o.cell)]++, 1) : 0;
      pl.row[level][j] = o.cell;
    }
  }
  for (size_t t = 1; t < keep_in.size(); ++t)
    for (size_t j = 0; j < keep_in[t].size(); ++j) {
      const Origin& o = from[t][j];
      if (!keep_in[t][j] || (o.frame >= 0 && !keep_out[static_cast<size_t>(o.frame)][static_cast<size_t>(o.cell)]))
        continue;
      const Fix action = o.frame < 0 ? Fix::kNew : o.daughter ? Fix::kDaughter : Fix::kLink;
      held.rows.push_back({0, action, static_cast<int>(t), static_cast<int>(j), o.frame, o.cell});
    }
}

}  // namespace

LineageTexts lineage_texts(const TimeLapse& tl, const std::vector<PairLinks>& links, int max_split,
                           const TrackOptions::Repairs& repairs, bool masks, const Units& units,
                           const Corrections* fixed, const std::string* start) {
  LineageTexts out;
  const bool assign = repairs.assign && max_split > 1;
  const bool corrected = fixed && !fixed->empty();
  if (corrected && !assign)
    throw TrackError("--corrections: the corrections are constraints of the assignment; drop --no-assign and --raw");
  DecidedLinks decided;
  AssignStart kept;
  if (assign && start) kept = assign_start_of_text(*start);
  if (assign)
    decided = assign_links(tl, links, corrected ? link_constraints(*fixed, tl.frames.size()) : LinkConstraints{},
                           start ? &kept : nullptr);
  if (assign && start) out.assign_start = assign_start_text(kept);
  TrackOptions::Repairs which = repairs;
  which.assign = assign;
  Corrections held = corrected ? with_links_around(*fixed, decided) : Corrections{};
  std::vector<PairLinks> chosen = assign ? decided.links : links;
  if (corrected && decided.free_links.size() == decided.links.size()) {
    Lineage free = build_lineage(tl, decided.free_links, 3);
    repair_lineage(tl, free, which, &decided.free_model, nullptr);
    keep_unreached(tl, free, decided, *fixed, chosen, held);
  }
  out.lineage = build_lineage(tl, chosen, assign ? 3 : max_split);
  out.repaired = repair_lineage(tl, out.lineage, which, assign ? &decided.model : nullptr, corrected ? &held : nullptr);
  if (assign && repairs.flag_debris) flag_orphans(tl, decided.model, out.lineage);
  out.lineage.confidence = link_confidence(tl, out.lineage, assign ? &decided.model : nullptr);
  if (assign) assignment_confidence(out.lineage, decided, out.lineage.confidence);
  if (corrected) hold_corrections(tl, *fixed, out);
  if (masks) check_track_labels(ctc_labels(tl, out.lineage));
  out.cells_csv = cells_csv_text(tl, out.lineage);
  out.res_track = res_track_text(tl, out.lineage);
  out.tracks_csv = tracks_csv_text(tl, out.lineage, units);
  out.units = units_text(units);
  if (out.corrections)
    out.units += strprintf("by_hand: cells.csv marks with 1 the cells the %zu corrections of corrections.csv set "
                           "(confidence 1)\n", out.corrections);
  out.pairs_log = pairs_log_text(tl, links, out.lineage);
  return out;
}

std::string lineage_summary(const TimeLapse& tl, const LineageTexts& texts) {
  int divisions = 0;
  for (const Track& tr : texts.lineage.tracks) divisions += tr.start == Start::kDaughter;
  const RepairCounts& r = texts.repaired;
  return strprintf(
      "%zu frames, %zu tracks, %d divisions (%d gaps closed, %d divisions resolved, %d found, %d probable debris, "
      "%d links exchanged)",
      tl.frames.size(), texts.lineage.tracks.size(), divisions / 2, r.gaps_closed, r.divisions_resolved,
      r.divisions_found, r.debris, r.relinked) +
         (texts.corrections ? strprintf(", %zu corrections by hand held", texts.corrections) : std::string());
}

}  // namespace vantu
