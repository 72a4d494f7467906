// Hard match decisions: a balanced weight above the threshold is a match.
#include "match/match.h"

namespace vantu {

void clear_matches(MatchState& ms) {
  for (auto& ids : ms.matched_id) ids.assign(static_cast<size_t>(ms.M), 0);
  for (auto& rows : ms.matched_row) rows.assign(static_cast<size_t>(ms.M), -1);
}

void decide_matches(MatchState& ms, const ParameterSet& p, int l) {
  ms.match_count = 0;
  if (l == 0 || ms.matched_id[0].empty()) clear_matches(ms);
  ms.walk_levels();
  // Row by row: when two rows of one column pass, the later row's id stays.
  for (bool more = ms.walk.first(); more; more = ms.walk.next()) {
    if (ms.walk.cval[l] > p.match_threshold) {
      ++ms.match_count;
      ms.matched_id[l][ms.walk.col()] = round_to_int(ms.first_id[ms.walk.row()]);
      ms.matched_row[l][ms.walk.col()] = ms.walk.row();
    }
  }
}

}  // namespace vantu
