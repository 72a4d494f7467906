// Outlines of labelled cells and the page's integer code (movie_page.h).
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <unordered_map>

#include "tools/movie_page.h"

namespace vantu_plot {

namespace {

const double kTolerance = 0.8;  // pixels a simplified outline may stray

// The boundary edges of one label leaving a pixel corner; a corner where two
// of the label's pixels touch diagonally has two.
struct Exits {
  std::array<std::uint32_t, 2> to{};
  int count = 0;
};

using EdgeMap = std::unordered_map<std::uint64_t, Exits>;

std::uint64_t edge_key(std::uint32_t label, std::uint32_t corner) {
  return (static_cast<std::uint64_t>(label) << 32) | corner;
}

// Every pixel side between a label and anything else, directed so that the
// label lies to the right when walking it on screen (y down): outer
// boundaries run clockwise, holes counter-clockwise.
EdgeMap boundary_edges(const std::vector<std::uint32_t>& labels, int width, int height) {
  EdgeMap edges;
  const std::uint32_t row = static_cast<std::uint32_t>(width) + 1;
  auto add = [&](std::uint32_t label, std::uint32_t from, std::uint32_t to) {
    Exits& e = edges[edge_key(label, from)];
    e.to[static_cast<size_t>(e.count++)] = to;
  };
  auto at = [&](int x, int y) -> std::uint32_t {
    return x < 0 || y < 0 || x >= width || y >= height ? 0 : labels[static_cast<size_t>(y) * width + x];
  };
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      const std::uint32_t v = at(x, y);
      if (v == 0) continue;
      const std::uint32_t nw = static_cast<std::uint32_t>(y) * row + static_cast<std::uint32_t>(x);
      const std::uint32_t ne = nw + 1, sw = nw + row, se = sw + 1;
      if (at(x, y - 1) != v) add(v, nw, ne);
      if (at(x + 1, y) != v) add(v, ne, se);
      if (at(x, y + 1) != v) add(v, se, sw);
      if (at(x - 1, y) != v) add(v, sw, nw);
    }
  return edges;
}

// Walks one closed loop from `start`, taking the right turn where two edges
// leave a corner (so that diagonal neighbours stay apart), and removes the
// edges it uses. Returns the corners where the direction changes.
Loop walk_loop(EdgeMap& edges, std::uint32_t label, std::uint32_t start, std::uint32_t row) {
  Loop corners;
  std::uint32_t at = start;
  int dx = 0, dy = 0, first_dx = 0, first_dy = 0;
  do {
    Exits& e = edges[edge_key(label, at)];
    int pick = 0;
    if (e.count == 2) {
      const std::uint32_t right = at + static_cast<std::uint32_t>(-dy) + static_cast<std::uint32_t>(dx) * row;
      pick = e.to[1] == right ? 1 : 0;
    }
    const std::uint32_t next = e.to[static_cast<size_t>(pick)];
    e.to[static_cast<size_t>(pick)] = e.to[static_cast<size_t>(e.count - 1)];
    if (--e.count == 0) edges.erase(edge_key(label, at));
    const int ndx = static_cast<int>(next % row) - static_cast<int>(at % row);
    const int ndy = static_cast<int>(next / row) - static_cast<int>(at / row);
    if (ndx != dx || ndy != dy) {
      corners.push_back(static_cast<int>(at % row));
      corners.push_back(static_cast<int>(at / row));
    }
    if (corners.size() == 2) first_dx = ndx, first_dy = ndy;
    dx = ndx, dy = ndy;
    at = next;
  } while (at != start);
  // The start corner stays only where the loop turns there.
  if (dx == first_dx && dy == first_dy && corners.size() > 2) corners.erase(corners.begin(), corners.begin() + 2);
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

// Distance of point k from the segment i-j (corner indices of `p`).
double off_segment(const Loop& p, size_t i, size_t j, size_t k) {
  const double ax = p[2 * i], ay = p[2 * i + 1], bx = p[2 * j], by = p[2 * j + 1];
  const double px = p[2 * k], py = p[2 * k + 1];
  const double vx = bx - ax, vy = by - ay, len2 = vx * vx + vy * vy;
  if (len2 == 0) return std::hypot(px - ax, py - ay);
  const double t = std::clamp(((px - ax) * vx + (py - ay) * vy) / len2, 0.0, 1.0);
  return std::hypot(px - ax - t * vx, py - ay - t * vy);
}

// Douglas-Peucker between corners i and j (j may wrap past the end).
void keep_between(const Loop& p, size_t i, size_t j, std::vector<char>& keep) {
  const size_t n = p.size() / 2;
  double worst = 0;
  size_t at = i;
  for (size_t k = i + 1; k < j; ++k) {
    const double d = off_segment(p, i % n, j % n, k % n);
    if (d > worst) worst = d, at = k;
  }
  if (worst <= kTolerance) return;
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
    const double d = std::hypot(p[2 * k] - p[0], p[2 * k + 1] - p[1]);
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
  EdgeMap edges = boundary_edges(labels, width, height);
  const std::uint32_t row = static_cast<std::uint32_t>(width) + 1;
  while (!edges.empty()) {
    const std::uint64_t key = edges.begin()->first;
    const std::uint32_t label = static_cast<std::uint32_t>(key >> 32), start = static_cast<std::uint32_t>(key);
    Loop loop = walk_loop(edges, label, start, row);
    if (label <= max_label && twice_area(loop) > 0) out[label].push_back(simplify(loop));
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
