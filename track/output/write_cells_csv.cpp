// cells.csv: one row per cell per frame, sorted by frame then id, with the
// cell's track and its parent track (0: none), the input's extra columns, the
// cell's flag (CellFlag), its track's generation (0: no parent) and the
// confidence of its link (empty when the lineage was not rated); for masks,
// last, border: 1 when the cell touches the image's edge (it may be cut off,
// its length and area too small); after a run with corrections, by_hand: 1
// for a cell the user's corrections set. Added last so that no column moves.
#include <algorithm>
#include <cstdio>
#include <numeric>

#include "track/output/output.h"

namespace vantu {

namespace {

// Three decimals: enough to sort by, short enough to read.
std::string confidence_text(double c) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%.3f", c);
  return buf;
}

}  // namespace

bool has_border_flags(const TimeLapse& tl) {
  if (tl.frames.empty()) return false;
  for (const Frame& f : tl.frames)
    if (f.border.size() != static_cast<size_t>(f.count())) return false;
  return true;
}

std::string cells_csv_text(const TimeLapse& tl, const Lineage& lin) {
  const bool border = has_border_flags(tl);
  std::string text = "frame,id,track,parent_track,x,y,length,angle";
  for (const std::string& name : tl.extra_names) text += "," + name;
  const bool by_hand = !lin.by_hand.empty();
  text += border ? ",flag,generation,confidence,border" : ",flag,generation,confidence";
  text += by_hand ? ",by_hand\n" : "\n";
  std::vector<int> generation(lin.tracks.size(), 0);
  for (size_t k = 0; k < lin.tracks.size(); ++k)
    for (int p = lin.tracks[k].parent; p > 0 && generation[k] <= static_cast<int>(lin.tracks.size());
         p = lin.tracks[static_cast<size_t>(p - 1)].parent)
      ++generation[k];
  for (size_t t = 0; t < tl.frames.size(); ++t) {
    const Frame& f = tl.frames[t];
    std::vector<size_t> order(static_cast<size_t>(f.count()));
    std::iota(order.begin(), order.end(), size_t{0});
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return f.id[a] < f.id[b]; });
    const std::string frame = std::to_string(f.number);
    for (size_t i : order) {
      const int track = lin.track[t][i];
      text += frame + "," + number_text(f.id[i]) + "," + std::to_string(track) + "," +
              std::to_string(lin.tracks[static_cast<size_t>(track - 1)].parent) + "," + number_text(f.x[i]) + "," +
              number_text(f.y[i]) + "," + number_text(f.length[i]) + "," + number_text(f.angle[i]);
      for (const std::vector<double>& column : f.extra) text += "," + number_text(column[i]);
      text += "," + std::to_string(lin.flag.empty() ? 0 : lin.flag[t][i]) + "," +
              std::to_string(generation[static_cast<size_t>(track - 1)]) + "," +
              (lin.confidence.empty() ? std::string() : confidence_text(lin.confidence[t][i]));
      if (border) text += f.border[i] ? ",1" : ",0";
      if (by_hand) text += lin.by_hand[t][i] ? ",1" : ",0";
      text += "\n";
    }
  }
  return text;
}

}  // namespace vantu
