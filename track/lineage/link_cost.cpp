// The link costs (see link_cost.h): Gaussian negative log-likelihoods with
// their normalising terms, so that hypotheses that explain a cell in
// different ways compare in one unit.
#include "track/lineage/link_cost.h"

#include "track/lineage/lineage.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace vantu {

namespace {

constexpr double kPi = 3.14159265358979323846;
// A cell's axis is known only to this many degrees when it is short; below
// a length of this many spreads of position it is hardly known at all.
constexpr double kAxisNoiseFloor = 2.0;

// Deviations beyond this many spreads cost linearly, not quadratically: real
// colonies have outliers (a filament that divides unevenly, a cell pushed
// away by its neighbours) that a normal tail would rule out altogether.
constexpr double kTail = 2.5;

double robust_square(double z) {
  z = std::fabs(z);
  return z <= kTail ? 0.5 * z * z : kTail * z - 0.5 * kTail * kTail;
}
// -log of a normal density (with a linear tail) of `dev` with spread `s`
// (one dimension).
double normal_cost(double dev, double s) { return robust_square(dev / s) + std::log(std::sqrt(2 * kPi) * s); }
// The same for a two-dimensional deviation of length `r`.
double normal2_cost(double r, double s) { return robust_square(r / s) + std::log(2 * kPi * s * s); }
// -log of a plain two-dimensional normal density.
double plain_normal2_cost(double r, double s) { return 0.5 * (r / s) * (r / s) + std::log(2 * kPi * s * s); }

// The axis halfway between two axes (degrees, either way round).
double mean_axis(double a, double b) { return a + 0.5 * std::remainder(b - a, 180.0); }

// The deviation (dx, dy) from the prediction in units of the spread `s`,
// stretched along the axis `angle` (degrees) by the model's anisotropy: its
// parts along and across the axis are measured in s / sqrt(across) and
// s * sqrt(across). With across = 1 it is the plain distance over s.
double scaled_deviation(const LinkModel& m, double dx, double dy, double angle, double s) {
  if (m.across == 1.0) return std::hypot(dx, dy) / s;
  const double th = angle * kPi / 180.0, ux = std::cos(th), uy = -std::sin(th);
  const double q = std::sqrt(m.across);
  const double along = (dx * ux + dy * uy) * q, across = (dy * ux - dx * uy) / q;
  return std::hypot(along, across) / s;
}

// The position cost of a deviation (dx, dy) from the prediction over
// `frames` of a cell that moves along the axis `angle`: the mixture of the cells
// that move with their neighbours (spread sp, stretched along the axis) and
// of those that stray (the wide round spread).
double position_cost(const LinkModel& m, double dx, double dy, double angle, double frames) {
  const double sp = m.position_spread * std::sqrt(frames), sw = std::max(m.stray_spread * std::sqrt(frames), sp);
  const double r = std::hypot(dx, dy);
  const double near = -std::log(1.0 - m.stray) + robust_square(scaled_deviation(m, dx, dy, angle, sp)) + std::log(2 * kPi * sp * sp);
  const double wide = -std::log(m.stray) + plain_normal2_cost(r, sw);
  const double least = std::min(near, wide);
  return least - std::log(std::exp(least - near) + std::exp(least - wide));
}

// The share of a residual (per sqrt(frame); `along` and `across` the
// link's axis) that the stray component explains.
double stray_share(const LinkModel& m, double along, double across) {
  const double sw = std::max(m.stray_spread, m.position_spread), r = std::hypot(along, across);
  const double q = std::sqrt(m.across), z = std::hypot(along * q, across / q) / m.position_spread;
  const double near = -std::log(1.0 - m.stray) + robust_square(z) + std::log(2 * kPi * m.position_spread * m.position_spread);
  const double wide = -std::log(m.stray) + plain_normal2_cost(r, sw);
  return 1.0 / (1.0 + std::exp(wide - near));
}

double median(const std::vector<double>& v) { return v.empty() ? NAN : median_of(v); }

// A robust spread: 1.4826 times the median absolute deviation from `centre`.
double mad_spread(const std::vector<double>& v, double centre) {
  std::vector<double> d;
  d.reserve(v.size());
  for (double x : v) d.push_back(std::fabs(x - centre));
  return 1.4826 * median(d);
}

constexpr double kLeastStray = 0.005;
// The least ratio of the spreads across and along the axis: a cell's axis is
// known only to a few degrees.
constexpr double kLeastAcross = 0.1;

double bounded(double v, double lo, double hi, double fallback) { return std::isfinite(v) ? std::clamp(v, lo, hi) : fallback; }

// The axis spread of a cell of length `len`: a short cell's axis is poorly
// measured, so its change counts for less.
double axis_spread_for(double spread, double len, double position_spread) {
  const double noise = std::atan2(position_spread, std::max(len, 1e-9)) * 180.0 / kPi;
  return std::sqrt(spread * spread + kAxisNoiseFloor * kAxisNoiseFloor + 0.25 * noise * noise);
}

}  // namespace

double axis_change(double a, double b) {
  double d = std::fmod(std::fabs(a - b), 180.0);
  return std::min(d, 180.0 - d);
}

bool at_border(const LinkModel& m, const RodCell& c) {
  const double reach = m.border + 0.5 * c.length;
  return c.x - m.min_x < reach || m.max_x - c.x < reach || c.y - m.min_y < reach || m.max_y - c.y < reach;
}

// Most divisions split a cell in two even halves; a filament may divide
// anywhere along it (a share of kUnevenDivision of the divisions, with a
// share anywhere in [kLeastShare, 1 - kLeastShare]).
constexpr double kUnevenDivision = 0.05, kLeastShare = 0.05;

double share_cost(const LinkModel& m, double share) {
  const double z = (share - 0.5) / m.share_spread;
  const double even = std::exp(-0.5 * z * z) / (std::sqrt(2 * kPi) * m.share_spread);
  const double uneven = share >= kLeastShare && share <= 1 - kLeastShare ? 1.0 / (1 - 2 * kLeastShare) : 0.0;
  return -std::log((1 - kUnevenDivision) * even + kUnevenDivision * uneven);
}

bool cut_by_edge(const LinkModel& m, const RodCell& c) {
  const double th = c.angle * kPi / 180.0;
  const double hx = 0.5 * c.length * std::fabs(std::cos(th)), hy = 0.5 * c.length * std::fabs(std::sin(th));
  const double e = m.edge;
  return c.x - hx - m.min_x < e || m.max_x - c.x - hx < e || c.y - hy - m.min_y < e || m.max_y - c.y - hy < e;
}

// A length change of `dev` (log ratio less the expected growth) as far as
// the cells' measurements tell it: a cell cut by the edge of the field is at
// least as long as it looks.
double seen_length_change(const LinkModel& m, const RodCell& a, const RodCell& b, double dev) {
  if (cut_by_edge(m, b)) dev = std::max(dev, 0.0);
  if (cut_by_edge(m, a)) dev = std::min(dev, 0.0);
  return dev;
}

double position_gate(const LinkModel& m, int frames) {
  return std::min(8.0 * m.position_spread, kGateSpacings * std::max(m.spacing, 1.0)) * std::sqrt(double(frames));
}

double stray_gate(const LinkModel& m, int frames) {
  return std::max(position_gate(m, frames), 3.0 * m.stray_spread * std::sqrt(double(frames)));
}

double continuation_cost(const LinkModel& m, const RodCell& a, double dx, double dy, const RodCell& b, int frames) {
  const double f = frames;
  const double sp = m.position_spread * std::sqrt(f);
  const double g = seen_length_change(m, a, b, std::log(b.length / a.length) - m.growth * f);
  const double sa = axis_spread_for(m.axis_spread * std::sqrt(f), std::min(a.length, b.length), sp);
  return -std::log(1.0 - m.divide) + position_cost(m, b.x - a.x - dx, b.y - a.y - dy, mean_axis(a.angle, b.angle), f) + normal_cost(g, m.growth_spread * std::sqrt(f)) +
         normal_cost(axis_change(a.angle, b.angle), sa);
}

double division_cost(const LinkModel& m, const RodCell& a, double dx, double dy, const RodCell& d1, const RodCell& d2,
                     int frames) {
  const double f = frames;
  const double sp = m.position_spread * std::sqrt(f);
  // The daughters' centre (weighted by length: an uneven division's
  // daughters' midpoint lies off the mother's centre) against the mother's
  // predicted centre.
  const double w1 = d1.length / (d1.length + d2.length), w2 = 1.0 - w1;
  const double mx = w1 * d1.x + w2 * d2.x, my = w1 * d1.y + w2 * d2.y;
  const double r = scaled_deviation(m, mx - a.x - dx, my - a.y - dy, a.angle, 1.0);
  // Separation against half the summed length along the mother's axis
  // (either way round).
  const double th = a.angle * kPi / 180.0;
  const double ux = std::cos(th), uy = -std::sin(th);
  double sx = d2.x - d1.x, sy = d2.y - d1.y;
  if (sx * ux + sy * uy < 0) sx = -sx, sy = -sy;
  const double half = 0.5 * m.separation * (d1.length + d2.length);
  const double s = std::hypot(sx - half * ux, sy - half * uy);
  // Lengths: the sum and the share (with the Jacobian that turns the two
  // into the daughters' log lengths).
  const double sum = d1.length + d2.length;
  // A daughter cut by the field's edge is at least as long as she looks: her
  // share is no evidence of an uneven division.
  double share = d1.length / sum;
  if (cut_by_edge(m, d1)) share = std::max(share, 0.5);
  if (cut_by_edge(m, d2)) share = std::min(share, 0.5);
  const RodCell both{mx, my, sum, a.angle};
  const double gs = seen_length_change(m, a, both, std::log(sum / a.length) - m.division_growth * f);
  const double sa = m.division_axis_spread;
  return -std::log(m.divide) + normal2_cost(r, sp) + normal2_cost(s, sp) +
         normal_cost(gs, m.division_spread * std::sqrt(f)) + share_cost(m, share) -
         std::log(share * (1 - share)) + normal_cost(axis_change(a.angle, d1.angle), axis_spread_for(sa, d1.length, sp)) +
         normal_cost(axis_change(a.angle, d2.angle), axis_spread_for(sa, d2.length, sp));
}

double appear_cost(const LinkModel& m, const RodCell& b) {
  const double area = std::max(1.0, (m.max_x - m.min_x) * (m.max_y - m.min_y));
  const double p = at_border(m, b) ? m.appear_border : m.appear_inside;
  return -std::log(p) + std::log(area) + std::log(m.length_range) + std::log(180.0);
}

double lost_cost(const LinkModel& m, const RodCell& a) { return -std::log(at_border(m, a) ? m.lost_border : m.lost_inside); }

void LinkSamples::add(const LinkSamples& o) {
  for (auto [to, from] : {std::pair{&residual, &o.residual}, {&along, &o.along}, {&across, &o.across}, {&growth, &o.growth}, {&axis, &o.axis},
                          {&division_growth, &o.division_growth}, {&share, &o.share},
                          {&division_axis, &o.division_axis}, {&separation, &o.separation}})
    to->insert(to->end(), from->begin(), from->end());
  mothers += o.mothers;
  divisions += o.divisions;
}

void fit_link_model(LinkModel& m, const LinkSamples& s) {
  if (s.residual.size() >= 10) {
    // The median distance of a 2-D normal is 1.177 spreads.
    m.position_spread = bounded(median(s.residual) / 1.1774, 1.0, 1e6, m.position_spread);
    // The stray share: the mean share the wide component explains (one step
    // of expectation-maximisation), bounded so that a clean movie keeps a
    // little room for a cell that moves unlike its neighbours.
    // The anisotropy first: the robust spreads along and across the axis.
    if (s.along.size() == s.residual.size()) {
      const double a = median(s.along), c = median(s.across);
      m.across = a > 0 && c > 0 ? bounded(c / a, kLeastAcross, 1.0, m.across) : m.across;
    }
    double sum = 0;
    for (size_t k = 0; k < s.residual.size(); ++k)
      sum += s.along.size() == s.residual.size() ? stray_share(m, s.along[k], s.across[k]) : stray_share(m, s.residual[k], 0.0);
    m.stray = bounded(sum / double(s.residual.size()), kLeastStray, 0.2, m.stray);
  }
  if (s.growth.size() >= 10) {
    m.growth = median(s.growth);
    m.growth_spread = bounded(mad_spread(s.growth, m.growth), 0.03, 0.5, m.growth_spread);
  }
  if (s.axis.size() >= 10) m.axis_spread = bounded(1.4826 * median(s.axis), 2.0, 45.0, m.axis_spread);
  if (s.division_growth.size() >= 5) {
    m.division_growth = median(s.division_growth);
    m.division_spread = bounded(mad_spread(s.division_growth, m.division_growth), 0.04, 0.5, m.division_spread);
  }
  if (s.share.size() >= 5) m.share_spread = bounded(1.4826 * median(s.share), 0.02, 0.2, m.share_spread);
  if (s.division_axis.size() >= 5) m.division_axis_spread = bounded(1.4826 * median(s.division_axis), 3.0, 45.0, m.division_axis_spread);
  if (s.separation.size() >= 5) m.separation = bounded(median(s.separation), 0.5, 1.5, m.separation);
  if (s.mothers >= 10) m.divide = bounded(double(s.divisions) / double(s.mothers), 0.02, 0.6, m.divide);
}

}  // namespace vantu
