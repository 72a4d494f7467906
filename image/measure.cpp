// Shapes of labelled regions: one pass over the pixels gathers, per label,
// exact integer sums of the coordinates and of their squares and products,
// and each row's leftmost and rightmost pixel; the centroid, the axis and the
// pole-to-pole length then come from these per label.
//
// The sums are exact (128-bit integers, added a whole run of equal labels at
// a time), so the result does not depend on the order of the pixels.
#include <algorithm>
#include <cmath>
#include <unordered_map>

#include "base/check.h"
#include "image/image.h"

namespace vantu {

namespace {

using Wide = __int128;

constexpr double kPi = 3.14159265358979323846;

struct RegionSums {
  std::uint32_t label = 0;
  Wide n = 0, sx = 0, sy = 0, sxx = 0, syy = 0, sxy = 0;
  long last_row = -1;
  std::vector<int> rows;  // per row of the region: y, leftmost x, rightmost x
};

// Sum of k * k for k = 0 .. m.
Wide sum_of_squares(Wide m) { return m * (m + 1) * (2 * m + 1) / 6; }

// Adds the pixels x0..x1 of row y.
void add_run(RegionSums& r, long y, long x0, long x1) {
  const Wide c = x1 - x0 + 1;
  const Wide sx = (Wide(x0) + x1) * c / 2;
  r.n += c;
  r.sx += sx;
  r.sy += Wide(y) * c;
  r.sxx += sum_of_squares(x1) - (x0 > 0 ? sum_of_squares(x0 - 1) : 0);
  r.syy += Wide(y) * y * c;
  r.sxy += Wide(y) * sx;
  if (r.last_row == y) {
    r.rows.back() = static_cast<int>(x1);  // runs of a row come left to right
  } else {
    r.rows.push_back(static_cast<int>(y));
    r.rows.push_back(static_cast<int>(x0));
    r.rows.push_back(static_cast<int>(x1));
    r.last_row = y;
  }
}

// n^2 times the central second moment from the raw sums: exact.
double central(Wide n, Wide suv, Wide su, Wide sv) { return static_cast<double>(n * suv - su * sv); }

RegionShape shape_of(const RegionSums& r) {
  RegionShape s;
  s.label = r.label;
  const double n = static_cast<double>(r.n);
  s.area = n;
  s.x = static_cast<double>(r.sx) / n;
  s.y = static_cast<double>(r.sy) / n;
  // Both scaled by n^2, which leaves the axis unchanged.
  const double cxx = central(r.n, r.sxx, r.sx, r.sx), cyy = central(r.n, r.syy, r.sy, r.sy);
  const double cxy = central(r.n, r.sxy, r.sx, r.sy);
  // The major axis in image coordinates (y down): clockwise on screen.
  const double theta = 0.5 * std::atan2(2 * cxy, cxx - cyy);
  const double c = std::cos(theta), sn = std::sin(theta);
  double lo = 0, hi = 0;
  for (size_t k = 0; k < r.rows.size(); k += 3) {
    const double dy = r.rows[k] - s.y;
    const double a = c * (r.rows[k + 1] - s.x) + sn * dy, b = c * (r.rows[k + 2] - s.x) + sn * dy;
    lo = std::min(lo, std::min(a, b));
    hi = std::max(hi, std::max(a, b));
  }
  s.length = hi - lo + 1;
  s.width = s.area / s.length;
  double deg = -theta * (180.0 / kPi);  // counter-clockwise on screen
  if (deg < 0) deg += 180.0;
  if (deg >= 180.0) deg -= 180.0;
  s.angle = deg;
  return s;
}

// The connected pieces of every label, from the runs of labelled pixels
// row by row (union-find over the runs): a run joins the runs of its label
// in the row above that touch it, also at a corner.
class PieceCounter {
 public:
  // A run of `label` from column `start` to `end` in the row being read,
  // left to right.
  void add_run(long start, long end, std::uint32_t label) {
    const int id = static_cast<int>(parent_.size());
    parent_.push_back(id);
    label_.push_back(label);
    here_.push_back(Run{start, end, label, id});
    labelled_ += end - start + 1;
  }
  void end_row() {
    size_t first = 0;
    for (const Run& r : here_) {
      while (first < above_.size() && above_[first].end + 1 < r.start) ++first;
      for (size_t k = first; k < above_.size() && above_[k].start <= r.end + 1; ++k)
        if (above_[k].label == r.label) parent_[static_cast<size_t>(root(above_[k].id))] = root(r.id);
    }
    std::swap(above_, here_);
    here_.clear();
  }
  LabelLayout layout(long pixels) const {
    LabelLayout out;
    out.pixels = pixels;
    out.labelled_pixels = labelled_;
    // Pieces per label: a table for 16-bit labels, a hash map above.
    std::vector<long> small(65536, 0);
    std::unordered_map<std::uint32_t, long> large;
    for (size_t k = 0; k < parent_.size(); ++k)
      if (parent_[k] == static_cast<int>(k)) ++(label_[k] < small.size() ? small[label_[k]] : large[label_[k]]);
    const auto count = [&out](long pieces) {
      out.labels += pieces > 0;
      out.pieces += pieces;
      out.split_labels += pieces > 1;
    };
    for (const long n : small) count(n);
    for (const auto& kv : large) count(kv.second);
    return out;
  }

 private:
  struct Run {
    long start, end;
    std::uint32_t label;
    int id;
  };
  int root(int k) {
    while (parent_[static_cast<size_t>(k)] != k) {
      parent_[static_cast<size_t>(k)] = parent_[static_cast<size_t>(parent_[static_cast<size_t>(k)])];
      k = parent_[static_cast<size_t>(k)];
    }
    return k;
  }
  std::vector<int> parent_;
  std::vector<std::uint32_t> label_;
  std::vector<Run> above_, here_;
  long labelled_ = 0;
};

}  // namespace

std::vector<RegionShape> measure_regions(const LabelImage& image, int max_labels, const std::string& source) {
  VANTU_REQUIRE(image.labels.size() == static_cast<size_t>(image.width) * static_cast<size_t>(image.height),
                "a label image holds width * height labels");
  return measure_labels(image.labels.data(), image.width, image.height, max_labels, source);
}

std::vector<RegionShape> measure_labels(const std::uint32_t* labels, int width, int height, int max_labels,
                                        const std::string& source, LabelLayout* layout) {
  PieceCounter pieces;
  std::vector<RegionSums> regions;
  // Region of each label: a table for 16-bit labels, a hash map above.
  std::vector<int> small_index(65536, -1);
  std::unordered_map<std::uint32_t, int> index;
  const size_t W = static_cast<size_t>(width);
  for (long y = 0; y < height; ++y) {
    const std::uint32_t* row = labels + static_cast<size_t>(y) * W;
    size_t x = 0;
    while (x < W) {
      const std::uint32_t label = row[x];
      size_t end = x + 1;
      while (end < W && row[end] == label) ++end;
      if (label != 0) {
        int* slot = nullptr;
        if (label < small_index.size()) {
          slot = &small_index[label];
        } else {
          auto found = index.emplace(label, -1).first;
          slot = &found->second;
        }
        if (*slot < 0) {
          if (static_cast<int>(regions.size()) >= max_labels)
            throw ImageError(strprintf("mask %s: more than %d labelled cells in one frame (at most %d)",
                                       source.c_str(), max_labels, max_labels));
          *slot = static_cast<int>(regions.size());
          regions.emplace_back();
          regions.back().label = label;
        }
        add_run(regions[static_cast<size_t>(*slot)], y, static_cast<long>(x), static_cast<long>(end) - 1);
        if (layout) pieces.add_run(static_cast<long>(x), static_cast<long>(end) - 1, label);
      }
      x = end;
    }
    if (layout) pieces.end_row();
  }
  if (layout) *layout = pieces.layout(static_cast<long>(width) * height);
  std::vector<RegionShape> shapes;
  shapes.reserve(regions.size());
  for (const RegionSums& r : regions) shapes.push_back(shape_of(r));
  std::sort(shapes.begin(), shapes.end(), [](const RegionShape& a, const RegionShape& b) { return a.label < b.label; });
  return shapes;
}

LabelLayout label_layout(const std::uint32_t* labels, int width, int height) {
  PieceCounter pieces;
  const size_t W = static_cast<size_t>(width);
  for (long y = 0; y < height; ++y) {
    const std::uint32_t* row = labels + static_cast<size_t>(y) * W;
    for (size_t x = 0, end = 0; x < W; x = end) {
      end = x + 1;
      while (end < W && row[end] == row[x]) ++end;
      if (row[x] != 0) pieces.add_run(static_cast<long>(x), static_cast<long>(end) - 1, row[x]);
    }
    pieces.end_row();
  }
  return pieces.layout(static_cast<long>(width) * height);
}

void check_label_masks(const std::uint32_t* labels, int width, int height, const std::string& source) {
  check_label_layout(label_layout(labels, width, height), source);
}

void check_label_layout(const LabelLayout& l, const std::string& source) {
  // Segmenters leave a label in two pieces now and then; an image whose
  // labels mostly lie scattered is something else.
  if (!(2 * l.split_labels > l.labels && l.pieces >= 2 * l.labels && l.pieces >= l.labels + 10)) return;
  const long percent = (100 * l.labelled_pixels + l.pixels / 2) / l.pixels;
  if (l.labels == 1)
    throw ImageError(strprintf("mask %s: one label over %ld %% of the pixels, in %ld pieces: this looks like a "
                               "foreground (binary) mask, not label masks; give each cell a label of its own "
                               "(e.g. with skimage.measure.label)",
                               source.c_str(), percent, l.pieces));
  throw ImageError(strprintf("mask %s: %ld labels over %ld %% of the pixels, most labels in several pieces (%ld pieces "
                             "in all): this looks like an intensity image, not label masks (each cell one label of its "
                             "own, in one piece; 0 the background)",
                             source.c_str(), l.labels, percent, l.pieces));
}

}  // namespace vantu
