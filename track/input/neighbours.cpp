// Neighbours within a frame: a grid of square buckets over the cells, so that
// the cells near a place, and a cell's nearest neighbours in order, are found
// in time that does not grow with the frame.
//
// The bucket side is chosen so that a frame holds about one cell per bucket
// (and a frame of cells on one line as many buckets as cells). A query looks
// at the buckets in rings around its own; the distances it reports are
// computed exactly as a comparison of every pair of cells computes them, so
// the answers (and their order, distance then index) are the same.
#include <algorithm>
#include <cmath>
#include <utility>

#include "track/input/input.h"

namespace vantu {

double median_of(std::vector<double> v) {
  if (v.empty()) return 0.0;
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n % 2 ? v[n / 2] : 0.5 * (v[n / 2 - 1] + v[n / 2]);
}

CellGrid::CellGrid(const Frame& f) : CellGrid(f.x, f.y) {}

CellGrid::CellGrid(const std::vector<double>& xs, const std::vector<double>& ys) : x_(&xs), y_(&ys) {
  const int n = static_cast<int>(xs.size());
  bool any = false;
  for (int i = 0; i < n; ++i) {
    const double x = xs[static_cast<size_t>(i)], y = ys[static_cast<size_t>(i)];
    if (!std::isfinite(x) || !std::isfinite(y)) {
      odd_.push_back(i);
      continue;
    }
    if (!any) {
      min_x_ = max_x_ = x;
      min_y_ = max_y_ = y;
      any = true;
    }
    min_x_ = std::min(min_x_, x), max_x_ = std::max(max_x_, x);
    min_y_ = std::min(min_y_, y), max_y_ = std::max(max_y_, y);
  }
  const double w = max_x_ - min_x_, h = max_y_ - min_y_;
  if (!std::isfinite(w) || !std::isfinite(h)) {  // a spread beyond the doubles: no buckets
    odd_.clear();
    for (int i = 0; i < n; ++i) odd_.push_back(i);
    any = false;
  }
  const double m = static_cast<double>(std::max(1, n - static_cast<int>(odd_.size())));
  // At least the longer side over the cells: at most m + 1 buckets a row,
  // about m buckets in all.
  side_ = std::max(std::sqrt(w) * std::sqrt(h / m), std::max(w, h) / m);
  if (!(side_ > 0) || !std::isfinite(side_)) side_ = 1.0;
  nx_ = any ? static_cast<int>(w / side_) + 1 : 1;
  ny_ = any ? static_cast<int>(h / side_) + 1 : 1;
  start_.assign(static_cast<size_t>(nx_) * static_cast<size_t>(ny_) + 1, 0);
  std::vector<int> bucket(static_cast<size_t>(n), -1);
  for (int i = 0; i < n && any; ++i) {
    const double x = xs[static_cast<size_t>(i)], y = ys[static_cast<size_t>(i)];
    if (!std::isfinite(x) || !std::isfinite(y)) continue;
    bucket[static_cast<size_t>(i)] = column(x) + nx_ * row(y);
    ++start_[static_cast<size_t>(bucket[static_cast<size_t>(i)]) + 1];
  }
  for (size_t b = 1; b < start_.size(); ++b) start_[b] += start_[b - 1];
  members_.resize(static_cast<size_t>(start_.back()));
  std::vector<int> fill(start_.begin(), start_.end() - 1);
  for (int i = 0; i < n; ++i)  // ascending index within each bucket
    if (bucket[static_cast<size_t>(i)] >= 0) members_[static_cast<size_t>(fill[static_cast<size_t>(bucket[static_cast<size_t>(i)])]++)] = i;
}

int CellGrid::column(double x) const {
  const double c = std::floor((x - min_x_) / side_);
  return c < 0 ? 0 : c >= nx_ ? nx_ - 1 : static_cast<int>(c);
}

int CellGrid::row(double y) const {
  const double r = std::floor((y - min_y_) / side_);
  return r < 0 ? 0 : r >= ny_ ? ny_ - 1 : static_cast<int>(r);
}

void CellGrid::add_bucket(int bx, int by, std::vector<int>& out) const {
  if (bx < 0 || by < 0 || bx >= nx_ || by >= ny_) return;
  const size_t b = static_cast<size_t>(bx) + static_cast<size_t>(nx_) * static_cast<size_t>(by);
  out.insert(out.end(), members_.begin() + start_[b], members_.begin() + start_[b + 1]);
}

void CellGrid::within(double x, double y, double radius, std::vector<int>& out) const {
  near(x, y, radius, out);
  size_t kept = 0;
  for (int i : out)
    if (std::hypot((*x_)[static_cast<size_t>(i)] - x, (*y_)[static_cast<size_t>(i)] - y) <= radius) out[kept++] = i;
  out.resize(kept);
}

void CellGrid::near(double x, double y, double radius, std::vector<int>& out) const {
  out.clear();
  if (!std::isfinite(x) || !std::isfinite(y) || !std::isfinite(radius)) {
    for (int i = 0; i < static_cast<int>(x_->size()); ++i) out.push_back(i);
    return;
  }
  // One bucket more on every side: a cell on a bucket's edge may have been
  // rounded into its neighbour.
  const int x0 = column(x - radius) - 1, x1 = column(x + radius) + 1;
  const int y0 = row(y - radius) - 1, y1 = row(y + radius) + 1;
  for (int by = y0; by <= y1; ++by)
    for (int bx = x0; bx <= x1; ++bx) add_bucket(bx, by, out);
  out.insert(out.end(), odd_.begin(), odd_.end());
  std::sort(out.begin(), out.end());
}

bool CellGrid::near_holds(double x, double y, double radius, int j) const {
  if (!std::isfinite(x) || !std::isfinite(y) || !std::isfinite(radius)) return true;
  const double xj = (*x_)[static_cast<size_t>(j)], yj = (*y_)[static_cast<size_t>(j)];
  if (std::binary_search(odd_.begin(), odd_.end(), j)) return true;
  const int c = column(xj), r = row(yj);
  return c >= column(x - radius) - 1 && c <= column(x + radius) + 1 && r >= row(y - radius) - 1 && r <= row(y + radius) + 1;
}

void CellGrid::nearest(int i, size_t k, std::vector<std::pair<double, int>>& out) const {
  out.clear();
  const double x = (*x_)[static_cast<size_t>(i)], y = (*y_)[static_cast<size_t>(i)];
  const int n = static_cast<int>(x_->size());
  auto distance = [&](int j) { return std::hypot((*x_)[static_cast<size_t>(j)] - x, (*y_)[static_cast<size_t>(j)] - y); };
  if (!std::isfinite(x) || !std::isfinite(y) || !odd_.empty()) {  // rare: compare with every cell
    for (int j = 0; j < n; ++j)
      if (j != i) out.push_back({distance(j), j});
  } else {
    const int bx = column(x), by = row(y);
    const int rings = std::max({bx, nx_ - 1 - bx, by, ny_ - 1 - by});
    std::vector<int> ring;
    const double margin = 1e-6 * side_;
    size_t inside = 0;  // candidates nearer than every cell outside the rings looked at
    for (int r = 0; r <= rings; ++r) {
      ring.clear();
      if (r == 0) {
        add_bucket(bx, by, ring);
      } else {
        for (int cx = bx - r; cx <= bx + r; ++cx) {
          add_bucket(cx, by - r, ring);
          add_bucket(cx, by + r, ring);
        }
        for (int cy = by - r + 1; cy <= by + r - 1; ++cy) {
          add_bucket(bx - r, cy, ring);
          add_bucket(bx + r, cy, ring);
        }
      }
      for (int j : ring)
        if (j != i) out.push_back({distance(j), j});
      // Every cell outside the rings so far is at least this far away.
      const double bound = std::min({x - (min_x_ + (bx - r) * side_), min_x_ + (bx + r + 1) * side_ - x,
                                     y - (min_y_ + (by - r) * side_), min_y_ + (by + r + 1) * side_ - y}) - margin;
      inside = 0;
      for (const auto& c : out) inside += c.first < bound;
      if (inside >= k) break;
    }
  }
  const size_t keep = std::min(k, out.size());
  std::partial_sort(out.begin(), out.begin() + static_cast<long>(keep), out.end());
  out.resize(keep);
}

void nearest_distances(const Frame& f, std::vector<double>& out) {
  const CellGrid grid(f);
  std::vector<std::pair<double, int>> one;
  for (int i = 0; i < f.count(); ++i) {
    grid.nearest(i, 1, one);
    if (!one.empty()) out.push_back(one[0].first);
  }
}

double neighbour_spacing(const TimeLapse& tl) {
  std::vector<double> nearest;
  for (const Frame& f : tl.frames) nearest_distances(f, nearest);
  return median_of(std::move(nearest));
}

}  // namespace vantu
