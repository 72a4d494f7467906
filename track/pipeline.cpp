// The lineage stage of a run, shared by the command line and the library:
// the pairs' matches chained into tracks, mended along the time axis, its
// links rated, and the texts of the files that hold it. Nothing here writes
// a file.
#include "base/check.h"
#include "track/lineage/assign.h"
#include "track/track.h"

namespace vantu {

LineageTexts lineage_texts(const TimeLapse& tl, const std::vector<PairLinks>& links, int max_split,
                           const TrackOptions::Repairs& repairs, bool masks, const Units& units) {
  LineageTexts out;
  const bool assign = repairs.assign && max_split > 1;
  DecidedLinks decided;
  if (assign) decided = assign_links(tl, links);
  out.lineage = build_lineage(tl, assign ? decided.links : links, assign ? 3 : max_split);
  TrackOptions::Repairs which = repairs;
  which.assign = assign;
  out.repaired = repair_lineage(tl, out.lineage, which, assign ? &decided.model : nullptr);
  if (assign && repairs.flag_debris) flag_orphans(tl, decided.model, out.lineage);
  out.lineage.confidence = link_confidence(tl, out.lineage);
  if (assign) assignment_confidence(out.lineage, decided, out.lineage.confidence);
  if (masks) check_track_labels(ctc_labels(tl, out.lineage));
  out.cells_csv = cells_csv_text(tl, out.lineage);
  out.res_track = res_track_text(tl, out.lineage);
  out.tracks_csv = tracks_csv_text(tl, out.lineage, units);
  out.units = units_text(units);
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
      r.divisions_found, r.debris, r.relinked);
}

}  // namespace vantu
