// Outlines of labelled cells and the page's integer code (movie_page.h).
#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "tools/movie_page.h"

namespace vantu_plot {

namespace {

const double kTolerance = 1.0;  // pixels a simplified outline may stray

// Directions on screen (y down), clockwise: east, south, west, north. Side
// d of a pixel is the side walked in direction d with the pixel on the right
// (top, right, bottom, left), so outer boundaries run clockwise and holes
// counter-clockwise.
const int kDx[4] = {1, 0, -1, 0}, kDy[4] = {0, 1, 0, -1};
const int kStartX[4] = {0, 1, 1, 0}, kStartY[4] = {0, 0, 1, 1};  // side d's first corner

struct LabelGrid {
  const std::vector<std::uint32_t>& labels;
  int width, height;
  std::uint32_t at(int x, int y) const {
    return x < 0 || y < 0 || x >= width || y >= height ? 0 : labels[static_cast<size_t>(y) * width + x];
  }
  // Side d of pixel (x, y) lies between it and another label.
  bool boundary(int x, int y, int d) const {
    const int l = (d + 3) % 4;
    return at(x + kDx[l], y + kDy[l]) != at(x, y);
  }
};

// Follows the boundary of pixel (x, y)'s label from its side d back to it,
// marking each side walked, and returns the corners where the walk turns.
// Where two of the label's pixels touch only at a corner the walk turns
// right, so that they stay apart.
Loop walk_loop(const LabelGrid& g, int x, int y, int d, std::vector<std::uint8_t>& walked) {
  const std::uint32_t v = g.at(x, y);
  const int x0 = x, y0 = y, d0 = d;
  Loop corners;
  do {
    walked[static_cast<size_t>(y) * g.width + x] |= static_cast<std::uint8_t>(1 << d);
    const int ex = x + kStartX[d] + kDx[d], ey = y + kStartY[d] + kDy[d];  // where this side ends
    const int bx = x + kDx[d], by = y + kDy[d];                             // the pixel ahead
    const int l = (d + 3) % 4, ax = bx + kDx[l], ay = by + kDy[l];          // ahead on the left
    int next = d;
    if (g.at(bx, by) != v)
      next = (d + 1) % 4;
    else if (g.at(ax, ay) != v)
      x = bx, y = by;
    else
      next = l, x = ax, y = ay;
    if (next != d) corners.push_back(ex), corners.push_back(ey);
    d = next;
  } while (x != x0 || y != y0 || d != d0);
  return corners;
}

double twice_area(const Loop& p) {
  double a = 0;
  const size_t n = p.size();
  for (size_t i = 0; i < n; i += 2) {
    const size_t j = (i + 2) % n;
    a += static_cast<double>(p[i]) * p[j + 1] - static_cast<double>(p[j]) * p[i + 1];
  }
  return a;
}

// Squared distance of corner k from the segment i-j (corner indices of `p`).
double off_segment2(const Loop& p, size_t i, size_t j, size_t k) {
  const double ax = p[2 * i], ay = p[2 * i + 1], bx = p[2 * j], by = p[2 * j + 1];
  const double px = p[2 * k] - ax, py = p[2 * k + 1] - ay;
  const double vx = bx - ax, vy = by - ay, len2 = vx * vx + vy * vy;
  const double t = len2 == 0 ? 0 : std::clamp((px * vx + py * vy) / len2, 0.0, 1.0);
  return (px - t * vx) * (px - t * vx) + (py - t * vy) * (py - t * vy);
}

// Douglas-Peucker between corners i and j (j may wrap past the end).
void keep_between(const Loop& p, size_t i, size_t j, std::vector<char>& keep) {
  const size_t n = p.size() / 2;
  double worst = 0;
  size_t at = i;
  for (size_t k = i + 1; k < j; ++k) {
    const double d = off_segment2(p, i % n, j % n, k % n);
    if (d > worst) worst = d, at = k;
  }
  if (worst <= kTolerance * kTolerance) return;
  keep[at % n] = 1;
  keep_between(p, i, at, keep);
  keep_between(p, at, j, keep);
}

Loop simplify(const Loop& p) {
  const size_t n = p.size() / 2;
  if (n <= 4) return p;
  size_t far = 0;
  double best = -1;
  for (size_t k = 1; k < n; ++k) {
    const double dx = p[2 * k] - p[0], dy = p[2 * k + 1] - p[1], d = dx * dx + dy * dy;
    if (d > best) best = d, far = k;
  }
  std::vector<char> keep(n, 0);
  keep[0] = keep[far] = 1;
  keep_between(p, 0, far, keep);
  keep_between(p, far, n, keep);
  Loop out;
  for (size_t k = 0; k < n; ++k)
    if (keep[k]) out.push_back(p[2 * k]), out.push_back(p[2 * k + 1]);
  return out;
}

}  // namespace

std::vector<std::vector<Loop>> label_outlines(const std::vector<std::uint32_t>& labels, int width, int height,
                                              std::uint32_t max_label) {
  std::vector<std::vector<Loop>> out(static_cast<size_t>(max_label) + 1);
  const LabelGrid g{labels, width, height};
  std::vector<std::uint8_t> walked(labels.size(), 0);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      const std::uint32_t v = g.at(x, y);
      if (v == 0 || v > max_label) continue;
      for (int d = 0; d < 4; ++d) {
        if (walked[static_cast<size_t>(y) * width + x] & (1 << d) || !g.boundary(x, y, d)) continue;
        Loop loop = walk_loop(g, x, y, d, walked);
        if (twice_area(loop) > 0) out[v].push_back(simplify(loop));
      }
    }
  for (auto& loops : out)
    std::sort(loops.begin(), loops.end(), [](const Loop& a, const Loop& b) { return twice_area(a) > twice_area(b); });
  return out;
}

std::string varint_text(const std::vector<long>& values) {
  static const char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
  std::string out;
  for (long v : values) {
    unsigned long z = v < 0 ? (static_cast<unsigned long>(-(v + 1)) << 1) | 1 : static_cast<unsigned long>(v) << 1;
    do {
      unsigned long group = z & 31;
      z >>= 5;
      if (z != 0) group |= 32;
      out += kDigits[group];
    } while (z != 0);
  }
  return out;
}

}  // namespace vantu_plot
