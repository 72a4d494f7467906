// cells.csv: one row per cell per frame, sorted by frame then id, with the
// cell's track and its parent track (0: none), the input's extra columns, the
// cell's flag (CellFlag), its track's generation (0: no parent) and the
// confidence of its link (empty when the lineage was not rated); for masks,
// last, border: 1 when the cell touches the image's edge (it may be cut off,
// its length and area too small). With --intensity, per channel NAME:
// NAME_mean and NAME_total (the mean and the sum of the channel's values over
// the cell's pixels) and NAME_background (the frame's median outside every
// cell), in the image's own units. After a run with corrections, last,
// by_hand: 1 for a cell the user's corrections set. Added last so that no
// column moves.
#include <algorithm>
#include <cmath>
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

// A value that may be unknown (NaN: empty).
std::string value_text(double v) { return std::isnan(v) ? std::string() : number_text(v); }

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
  for (const std::string& name : tl.intensity_names) text += "," + name + "_mean," + name + "_total," + name + "_background";
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
      for (size_t c = 0; c < tl.intensity_names.size(); ++c)
        text += "," + value_text(f.intensity_mean[c][i]) + "," + value_text(f.intensity_total[c][i]) + "," +
                value_text(f.intensity_background[c]);
      if (by_hand) text += lin.by_hand[t][i] ? ",1" : ",0";
      text += "\n";
    }
  }
  return text;
}

}  // namespace vantu
