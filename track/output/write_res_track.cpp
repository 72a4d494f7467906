// res_track.txt: one line "L B E P" per track (label, first and last frame,
// parent label or 0), the layout of the Cell Tracking Challenge, whose labels
// never skip a frame: a track of the lineage that skips frames (a closed gap,
// or frame numbers without a frame) is cut there, and the part after the gap
// gets a new label whose parent is the part before it.
#include <algorithm>

#include "base/check.h"
#include "track/output/output.h"

namespace vantu {

namespace {

struct Part {
  int start;  // frame index of its first cell
  int label;
};

}  // namespace

CtcLabels ctc_labels(const TimeLapse& tl, const Lineage& lin) {
  const size_t L = lin.tracks.size();
  std::vector<std::vector<int>> present(L);  // per track, the frame indices of its cells
  for (size_t t = 0; t < lin.track.size(); ++t)
    for (int k : lin.track[t])
      if (present[static_cast<size_t>(k - 1)].empty() || present[static_cast<size_t>(k - 1)].back() != static_cast<int>(t))
        present[static_cast<size_t>(k - 1)].push_back(static_cast<int>(t));
  auto number = [&](int t) { return tl.frames[static_cast<size_t>(t)].number; };

  CtcLabels c;
  c.lines.resize(L);
  std::vector<std::vector<Part>> parts(L);
  int next = static_cast<int>(L) + 1;
  for (size_t k = 0; k < L; ++k) {
    const Track& tr = lin.tracks[k];
    const std::vector<int>& at = present[k];
    const int label = static_cast<int>(k) + 1;
    c.lines[k] = {label, number(tr.first), number(tr.last), 0};
    parts[k].push_back({tr.first, label});
    for (size_t j = 1; j < at.size(); ++j) {
      if (at[j] == at[j - 1] + 1 && number(at[j]) == number(at[j - 1]) + tl.step) continue;
      CtcLabels::Line& before = parts[k].back().label == label ? c.lines[k] : c.lines.back();
      before.last = number(at[j - 1]);
      c.lines.push_back({next, number(at[j]), number(tr.last), parts[k].back().label});
      parts[k].push_back({at[j], next++});
    }
  }
  for (size_t k = 0; k < L; ++k)
    if (const int p = lin.tracks[k].parent) c.lines[k].parent = parts[static_cast<size_t>(p - 1)].back().label;
  c.label.resize(lin.track.size());
  for (size_t t = 0; t < lin.track.size(); ++t)
    for (int k : lin.track[t]) {
      const std::vector<Part>& ps = parts[static_cast<size_t>(k - 1)];
      const auto it = std::upper_bound(ps.begin(), ps.end(), static_cast<int>(t),
                                       [](int frame, const Part& p) { return frame < p.start; });
      c.label[t].push_back(it == ps.begin() ? ps.front().label : std::prev(it)->label);
    }
  return c;
}

std::string res_track_text(const TimeLapse& tl, const Lineage& lin) {
  std::string text;
  for (const CtcLabels::Line& l : ctc_labels(tl, lin).lines)
    text += std::to_string(l.label) + " " + std::to_string(l.first) + " " + std::to_string(l.last) + " " +
            std::to_string(l.parent) + "\n";
  return text;
}

}  // namespace vantu
