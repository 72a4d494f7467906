// The lineage stage of a run, shared by the command line and the library:
// the pairs' matches chained into tracks, mended along the time axis, its
// links rated, and the texts of the files that hold it. Nothing here writes
// a file.
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
  out.lineage = build_lineage(tl, assign ? decided.links : links, assign ? 3 : max_split);
  TrackOptions::Repairs which = repairs;
  which.assign = assign;
  const Corrections held = corrected ? with_links_around(*fixed, decided) : Corrections{};
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
