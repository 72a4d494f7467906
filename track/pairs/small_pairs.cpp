// Pairs too small or too flat for the spline: every hypothesis scored.
//
// A second-frame cell is either linked to one first-frame cell or left
// unlinked; a first-frame cell keeps no child (its track ends), one child (it
// goes on, or it is seen as one daughter only) or, with divisions, two (it
// divided). Every link costs, in units of the pair's reach r = sqrt(TH /
// rEvar) as the kernel weighs it:
//   position  |q - predicted|^2 / r^2, where the mother is carried by the
//             colony's motion (an affine map, pulled towards a plain shift
//             where the cells do not determine it) and a daughter is
//             predicted a quarter of her mother's length along the axis, on
//             either side;
//   length    (ln ratio / kLengthSpread)^2 * kLengthWeight, where the ratio is
//             child to mother for a continuation, the two daughters' sum to
//             the mother for a division, twice the daughter to the mother for
//             a lone daughter;
//   axis      (sin angle / kAxisSpread)^2 * kAxisWeight, between child and
//             mother.
// An unlinked second-frame cell costs kUnlinked (TH, the kernel's benefit of a
// link at zero distance). The pair's links are the assignment of least total
// cost, found by a depth-first search bounded by the cheapest completion, then
// the motion is fitted to them and the search runs again, until the links
// stay. Levels as the kernel writes them: 0 the same cell, 1 and 2 the first
// and second daughter (under two levels: 0 and 1 for the two cells).
#include <algorithm>
#include <cmath>
#include <limits>

#include "track/pairs/pairs.h"

namespace vantu {

namespace {

constexpr double kUnlinked = 1.0;
constexpr double kLengthSpread = 0.25, kLengthWeight = 0.5;
constexpr double kAxisSpread = 0.5, kAxisWeight = 0.25;
constexpr double kCandidateReach2 = 2.25;  // mothers within 1.5 reaches of a child's prediction
constexpr long kNodeBudget = 400000;       // search nodes; past it, the best assignment found so far
constexpr int kFitRounds = 4;
constexpr double kFlatSpread = 0.1;     // a frame narrower than this many reaches across lies on a line

constexpr double kInf = std::numeric_limits<double>::infinity();

struct Affine {  // q = A (p - c) + c + t
  double a[2][2] = {{1, 0}, {0, 1}};
  double c[2] = {0, 0}, t[2] = {0, 0};
  void apply(double x, double y, double& qx, double& qy) const {
    const double dx = x - c[0], dy = y - c[1];
    qx = a[0][0] * dx + a[0][1] * dy + c[0] + t[0];
    qy = a[1][0] * dx + a[1][1] * dy + c[1] + t[1];
  }
};

double axis_rad(double degrees) { return degrees / 57.3; }

double length_cost(double ratio) {
  if (!(ratio > 0) || !std::isfinite(ratio)) return kLengthWeight * 16.0;
  const double z = std::log(ratio) / kLengthSpread;
  return kLengthWeight * z * z;
}

double axis_cost(double deg_a, double deg_b) {
  const double s = std::sin(axis_rad(deg_a) - axis_rad(deg_b)) / kAxisSpread;
  return kAxisWeight * s * s;
}

// The cost tables of one motion estimate.
class Scorer {
 public:
  Scorer(const Frame& a, const Frame& b, double reach2, const Affine& motion) : a_(a), b_(b), r2_(reach2) {
    const size_t K = static_cast<size_t>(a.count());
    px_.resize(K);
    py_.resize(K);
    for (size_t i = 0; i < K; ++i) motion.apply(a.x[i], a.y[i], px_[i], py_[i]);
  }

  double position(size_t i, size_t j, double offset) const {
    const double th = axis_rad(a_.angle[i]);
    const double ox = offset * std::cos(th), oy = -offset * std::sin(th);
    const double dx = b_.x[j] - (px_[i] + ox), dy = b_.y[j] - (py_[i] + oy);
    return (dx * dx + dy * dy) / r2_;
  }
  double quarter(size_t i) const { return a_.length[i] / 4; }

  // One child: the better of a continuation and a lone daughter (either side).
  double one(size_t i, size_t j, int& level) const {
    const double shape = axis_cost(a_.angle[i], b_.angle[j]);
    const double cont = position(i, j, 0) + length_cost(b_.length[j] / a_.length[i]) + shape;
    const double lone_len = length_cost(2 * b_.length[j] / a_.length[i]) + shape;
    const double d1 = position(i, j, quarter(i)) + lone_len, d2 = position(i, j, -quarter(i)) + lone_len;
    level = cont <= std::min(d1, d2) ? 0 : (d1 <= d2 ? 1 : 2);
    return std::min(cont, std::min(d1, d2));
  }
  // Two children j, k: a division; `j_first` tells whether j is the first daughter.
  double two(size_t i, size_t j, size_t k, bool& j_first) const {
    const double q = quarter(i);
    const double shape = length_cost((b_.length[j] + b_.length[k]) / a_.length[i]) +
                         axis_cost(a_.angle[i], b_.angle[j]) + axis_cost(a_.angle[i], b_.angle[k]);
    const double jk = position(i, j, q) + position(i, k, -q), kj = position(i, k, q) + position(i, j, -q);
    j_first = jk <= kj;
    return std::min(jk, kj) + shape;
  }

  double reach_cost(size_t i, size_t j) const {
    return std::min(position(i, j, 0), std::min(position(i, j, quarter(i)), position(i, j, -quarter(i))));
  }

 private:
  const Frame& a_;
  const Frame& b_;
  double r2_;
  std::vector<double> px_, py_;
};

// Depth-first search over the second-frame cells' mothers.
class Search {
 public:
  Search(const Scorer& s, int K, int M, bool divisions) : s_(s), K_(K), M_(M), divisions_(divisions) {
    one_.assign(static_cast<size_t>(K) * M, kInf);
    cand_.resize(static_cast<size_t>(M));
    for (int j = 0; j < M; ++j) {
      for (int i = 0; i < K; ++i) {
        if (s.reach_cost(static_cast<size_t>(i), static_cast<size_t>(j)) > kCandidateReach2) continue;
        int level = 0;
        one_[idx(i, j)] = s.one(static_cast<size_t>(i), static_cast<size_t>(j), level);
        cand_[static_cast<size_t>(j)].push_back(i);
      }
      std::sort(cand_[static_cast<size_t>(j)].begin(), cand_[static_cast<size_t>(j)].end(),
                [&](int p, int q) { return one_[idx(p, j)] < one_[idx(q, j)]; });
    }
    // The least any child can add: unlinked, one child, or a second daughter.
    bound_.assign(static_cast<size_t>(M) + 1, 0.0);
    for (int j = M - 1; j >= 0; --j) {
      double least = kUnlinked;
      for (int i : cand_[static_cast<size_t>(j)]) {
        least = std::min(least, one_[idx(i, j)]);
        if (!divisions_) continue;
        for (int k = 0; k < M; ++k)
          if (k != j && std::isfinite(one_[idx(i, k)]))
            least = std::min(least, pair_cost(i, j, k) - one_[idx(i, k)]);
      }
      bound_[static_cast<size_t>(j)] = bound_[static_cast<size_t>(j) + 1] + least;
    }
  }

  // The mother of each second-frame cell (-1: unlinked).
  std::vector<int> best() {
    mother_.assign(static_cast<size_t>(M_), -1);
    children_.assign(static_cast<size_t>(K_), {});
    best_cost_ = greedy();
    visit(0, 0.0);
    return best_mother_;
  }

 private:
  size_t idx(int i, int j) const { return static_cast<size_t>(i) * M_ + j; }
  double pair_cost(int i, int j, int k) const {
    bool first = true;
    return s_.two(static_cast<size_t>(i), static_cast<size_t>(j), static_cast<size_t>(k), first);
  }
  // What linking j to i adds, given i's children so far.
  double added(int i, int j) const {
    const std::vector<int>& c = children_[static_cast<size_t>(i)];
    if (c.empty()) return one_[idx(i, j)];
    if (c.size() == 1 && divisions_) return pair_cost(i, c[0], j) - one_[idx(i, c[0])];
    return kInf;
  }
  // Each cell in turn to its cheapest free mother: the first bound of the search.
  double greedy() {
    double cost = 0;
    for (int j = 0; j < M_; ++j) {
      int pick = -1;
      double least = kUnlinked;
      for (int i : cand_[static_cast<size_t>(j)]) {
        const double add = added(i, j);
        if (add < least) least = add, pick = i;
      }
      cost += least;
      mother_[static_cast<size_t>(j)] = pick;
      if (pick >= 0) children_[static_cast<size_t>(pick)].push_back(j);
    }
    best_mother_ = mother_;
    mother_.assign(static_cast<size_t>(M_), -1);
    children_.assign(static_cast<size_t>(K_), {});
    return cost;
  }
  void visit(int j, double cost) {
    if (++nodes_ > kNodeBudget) return;
    if (cost + bound_[static_cast<size_t>(j)] >= best_cost_ - 1e-12) return;
    if (j == M_) {
      best_cost_ = cost;
      best_mother_ = mother_;
      return;
    }
    for (int i : cand_[static_cast<size_t>(j)]) {
      const double add = added(i, j);
      if (!std::isfinite(add)) continue;
      mother_[static_cast<size_t>(j)] = i;
      children_[static_cast<size_t>(i)].push_back(j);
      visit(j + 1, cost + add);
      children_[static_cast<size_t>(i)].pop_back();
      mother_[static_cast<size_t>(j)] = -1;
    }
    visit(j + 1, cost + kUnlinked);
  }

  const Scorer& s_;
  int K_, M_;
  bool divisions_;
  std::vector<double> one_, bound_;
  std::vector<std::vector<int>> cand_, children_;
  std::vector<int> mother_, best_mother_;
  double best_cost_ = kInf;
  long nodes_ = 0;
};

double mean(const std::vector<double>& v) {
  double s = 0;
  for (double x : v) s += x;
  return v.empty() ? 0.0 : s / static_cast<double>(v.size());
}

double rms_radius(const Frame& f) {
  const double cx = mean(f.x), cy = mean(f.y);
  double s = 0;
  for (size_t i = 0; i < f.x.size(); ++i) s += (f.x[i] - cx) * (f.x[i] - cx) + (f.y[i] - cy) * (f.y[i] - cy);
  return f.x.empty() ? 0.0 : std::sqrt(s / static_cast<double>(f.x.size()));
}

// The colony's motion from the mothers to their children (a division's
// midpoint): least squares, with the linear part pulled towards the identity
// as strongly as one cell at the reach, so that directions the cells do not
// span keep a plain shift. Without links: the shift of the centroids and the
// growth of the spread about them.
Affine fit_motion(const Frame& a, const Frame& b, const std::vector<int>& mother, double reach2) {
  std::vector<double> px, py, qx, qy;
  std::vector<double> sx(static_cast<size_t>(a.count()), 0.0), sy(sx), n(sx);
  for (size_t j = 0; j < mother.size(); ++j) {
    if (mother[j] < 0) continue;
    const size_t i = static_cast<size_t>(mother[j]);
    sx[i] += b.x[j];
    sy[i] += b.y[j];
    n[i] += 1;
  }
  for (size_t i = 0; i < n.size(); ++i)
    if (n[i] > 0) {
      px.push_back(a.x[i]);
      py.push_back(a.y[i]);
      qx.push_back(sx[i] / n[i]);
      qy.push_back(sy[i] / n[i]);
    }
  Affine m;
  if (px.empty()) {
    m.c[0] = mean(a.x);
    m.c[1] = mean(a.y);
    m.t[0] = mean(b.x) - m.c[0];
    m.t[1] = mean(b.y) - m.c[1];
    // The colony's growth: the ratio of the spreads about the centroids.
    const double ra = rms_radius(a), rb = rms_radius(b), g = ra > 0 && rb > 0 ? rb / ra : 1.0;
    m.a[0][0] = m.a[1][1] = g;
    return m;
  }
  m.c[0] = mean(px);
  m.c[1] = mean(py);
  m.t[0] = mean(qx) - m.c[0];
  m.t[1] = mean(qy) - m.c[1];
  double S[2][2] = {{reach2, 0}, {0, reach2}}, R[2][2] = {{reach2, 0}, {0, reach2}};  // R[d]: right-hand side of row d
  const double mq[2] = {mean(qx), mean(qy)};
  for (size_t k = 0; k < px.size(); ++k) {
    const double d[2] = {px[k] - m.c[0], py[k] - m.c[1]}, e[2] = {qx[k] - mq[0], qy[k] - mq[1]};
    for (int r = 0; r < 2; ++r)
      for (int c = 0; c < 2; ++c) {
        S[r][c] += d[r] * d[c];
        R[r][c] += e[r] * d[c];
      }
  }
  const double det = S[0][0] * S[1][1] - S[0][1] * S[1][0];
  if (!(std::fabs(det) > 0)) return m;
  const double inv[2][2] = {{S[1][1] / det, -S[0][1] / det}, {-S[1][0] / det, S[0][0] / det}};
  for (int r = 0; r < 2; ++r)
    for (int c = 0; c < 2; ++c) m.a[r][c] = R[r][0] * inv[0][c] + R[r][1] * inv[1][c];
  return m;
}

// The root of the smaller eigenvalue of the cells' position covariance: how
// far the frame reaches across its main line.
double narrowest_spread(const Frame& f) {
  const double cx = mean(f.x), cy = mean(f.y);
  double sxx = 0, syy = 0, sxy = 0;
  for (size_t i = 0; i < f.x.size(); ++i) {
    const double dx = f.x[i] - cx, dy = f.y[i] - cy;
    sxx += dx * dx;
    syy += dy * dy;
    sxy += dx * dy;
  }
  const double n = static_cast<double>(std::max<size_t>(1, f.x.size()));
  sxx /= n, syy /= n, sxy /= n;
  const double half = (sxx + syy) / 2, root = std::sqrt(std::max(0.0, (sxx - syy) * (sxx - syy) / 4 + sxy * sxy));
  return std::sqrt(std::max(0.0, half - root));
}

}  // namespace

bool is_small_pair(const Frame& a, const Frame& b, const ParameterSet& p) {
  if (std::min(a.count(), b.count()) <= kSmallPairCells) return true;
  if (std::max(a.count(), b.count()) > kSmallPairMaxCells) return false;
  const double reach = std::sqrt(p.TH / p.rEvar);
  return narrowest_spread(a) < kFlatSpread * reach || narrowest_spread(b) < kFlatSpread * reach;
}

PairLinks match_small_pair(const Frame& a, const Frame& b, const ParameterSet& p) {
  PairLinks pl;
  pl.K = a.count();
  pl.M = b.count();
  pl.method = PairMethod::kSmall;
  for (auto& r : pl.row) r.assign(static_cast<size_t>(pl.M), -1);
  if (pl.K == 0 || pl.M == 0) return pl;
  double reach2 = p.TH / p.rEvar;
  if (!(reach2 > 0) || !std::isfinite(reach2)) reach2 = 1.0 / 0.000625;
  const bool divisions = p.MaxSplit >= 2;

  std::vector<int> mother(static_cast<size_t>(pl.M), -1);
  Affine motion = fit_motion(a, b, mother, reach2);
  for (int round = 0; round < kFitRounds; ++round) {
    const Scorer scorer(a, b, reach2, motion);
    std::vector<int> next = Search(scorer, pl.K, pl.M, divisions).best();
    const bool same = next == mother && round > 0;
    mother = next;
    motion = fit_motion(a, b, mother, reach2);
    if (same) break;
  }

  // Levels of the final links.
  const Scorer scorer(a, b, reach2, motion);
  std::vector<std::vector<int>> children(static_cast<size_t>(pl.K));
  for (int j = 0; j < pl.M; ++j)
    if (mother[static_cast<size_t>(j)] >= 0) children[static_cast<size_t>(mother[static_cast<size_t>(j)])].push_back(j);
  for (int i = 0; i < pl.K; ++i) {
    const std::vector<int>& c = children[static_cast<size_t>(i)];
    const size_t ui = static_cast<size_t>(i);
    if (c.size() == 1) {
      int level = 0;
      scorer.one(ui, static_cast<size_t>(c[0]), level);
      if (p.MaxSplit < 3) level = 0;
      pl.row[level][static_cast<size_t>(c[0])] = i;
    } else if (c.size() == 2) {
      bool first = true;
      scorer.two(ui, static_cast<size_t>(c[0]), static_cast<size_t>(c[1]), first);
      const int d1 = first ? c[0] : c[1], d2 = first ? c[1] : c[0];
      const int l1 = p.MaxSplit >= 3 ? 1 : 0, l2 = p.MaxSplit >= 3 ? 2 : 1;
      pl.row[l1][static_cast<size_t>(d1)] = i;
      pl.row[l2][static_cast<size_t>(d2)] = i;
    }
  }
  return pl;
}

}  // namespace vantu
