// res_track.txt: one line "L B E P" per track (label, first and last frame,
// parent label or 0), the layout of the Cell Tracking Challenge.
#include "track/track.h"

namespace vantu {

std::string res_track_text(const TimeLapse& tl, const Lineage& lin) {
  std::string text;
  for (size_t k = 0; k < lin.tracks.size(); ++k) {
    const Track& tr = lin.tracks[k];
    text += std::to_string(k + 1) + " " + std::to_string(tl.frames[static_cast<size_t>(tr.first)].number) + " " +
            std::to_string(tl.frames[static_cast<size_t>(tr.last)].number) + " " + std::to_string(tr.parent) + "\n";
  }
  return text;
}

}  // namespace vantu
