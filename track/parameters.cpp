// Parameters chosen from the data: BetaInit and rEvar from the spacing of
// neighbouring cells and from how far the colony moves between frames.
//
// A match of cells at distance d weighs exp(Beta * (TH - rEvar * d^2)). The
// reach r = 1/sqrt(rEvar) must cover a cell's displacement between frames,
// and at the first temperature a cell must already be told from its
// neighbours: BetaInit * rEvar * s^2 = kStartContrast for the neighbour
// spacing s.
#include <algorithm>
#include <cmath>

#include "base/check.h"
#include "track/track.h"

namespace vantu {

namespace {

constexpr double kReachPerSpacing = 1.5;  // r at least 1.5 neighbour spacings
constexpr double kReachPerMotion = 1.25;  // and 1.25 times the largest displacement
constexpr double kStartContrast = 0.4;    // BetaInit * rEvar * s^2

double median(std::vector<double> v) {
  if (v.empty()) return 0.0;
  const size_t mid = v.size() / 2;
  std::nth_element(v.begin(), v.begin() + static_cast<long>(mid), v.end());
  return v[mid];
}

// Distance of every cell of the frame to its nearest neighbour.
void nearest_distances(const Frame& f, std::vector<double>& out) {
  const int n = f.count();
  for (int i = 0; i < n; ++i) {
    double best = INFINITY;
    for (int k = 0; k < n; ++k) {
      if (k == i) continue;
      const double dx = f.x[static_cast<size_t>(k)] - f.x[static_cast<size_t>(i)];
      const double dy = f.y[static_cast<size_t>(k)] - f.y[static_cast<size_t>(i)];
      best = std::min(best, dx * dx + dy * dy);
    }
    if (std::isfinite(best)) out.push_back(std::sqrt(best));
  }
}

struct Extent {
  double cx = 0, cy = 0, radius = 0;  // centroid and the 90th percentile of the distance to it
};

Extent extent_of(const Frame& f) {
  Extent e;
  const int n = f.count();
  if (n == 0) return e;
  for (int i = 0; i < n; ++i) {
    e.cx += f.x[static_cast<size_t>(i)];
    e.cy += f.y[static_cast<size_t>(i)];
  }
  e.cx /= n;
  e.cy /= n;
  std::vector<double> d;
  for (int i = 0; i < n; ++i) d.push_back(std::hypot(f.x[static_cast<size_t>(i)] - e.cx, f.y[static_cast<size_t>(i)] - e.cy));
  std::sort(d.begin(), d.end());
  e.radius = d[static_cast<size_t>(0.9 * (n - 1))];
  return e;
}

}  // namespace

ParameterSet default_track_parameters() {
  ParameterSet p;
  p.nx = 1;
  p.ny = 2;
  p.Nlen = 3;
  p.Nang = 4;
  p.Nid = 5;
  p.nz = 0;
  return p;
}

std::string config_text(const ParameterSet& p, const std::string& note) {
  struct Line {
    std::string value;
    const char* name;
    const char* what;
  };
  const Line lines[16] = {
      {number_text(p.BetaInit), "BetaInit", "first inverse temperature"},
      {number_text(p.BetaIncr), "BetaIncr", "growth factor of Beta per temperature step"},
      {number_text(p.BetaMax), "BetaMax", "the annealing runs while Beta < BetaMax"},
      {number_text(p.lambda1), "lambda1", "warp penalty"},
      {number_text(p.lambda2), "lambda2", "affine penalty"},
      {number_text(p.TH), "TH", "slack threshold"},
      {number_text(p.rEvar), "rEvar", "1 / variance of the position deviations (px^-2)"},
      {number_text(p.alphaS), "alphaS", "shrinking coefficient of the row metric"},
      {std::to_string(p.MaxSplit), "MaxSplit", "match levels"},
      {std::to_string(p.nx), "nx", "column of x in the point files"},
      {std::to_string(p.ny), "ny", "column of y"},
      {std::to_string(p.Nlen), "Nlen", "column of the cell length"},
      {std::to_string(p.Nang), "Nang", "column of the angle (degrees)"},
      {std::to_string(p.Nid), "Nid", "column of the cell identifier"},
      {std::to_string(p.nz), "nz", "column of z"},
      {"1", "gate", "the gate of BetaInit"},
  };
  std::string text;
  for (const Line& l : lines) {
    std::string v = l.value;
    if (v.size() < 10) v.resize(10, ' ');
    std::string n = l.name;
    if (n.size() < 10) n.resize(10, ' ');
    text += v + " " + n + " " + l.what + "\n";
  }
  if (!note.empty()) text += "\n" + note + "\n";
  return text;
}

ChosenParameters choose_parameters(const TimeLapse& tl) {
  ChosenParameters c;
  std::vector<double> nn;
  for (const Frame& f : tl.frames) nearest_distances(f, nn);
  c.spacing = median(nn);
  if (!(c.spacing > 0.0))
    throw TrackError("cannot choose the parameters: the cells have no distinct neighbours (use --config)");

  // The colony's own motion between frames: the shift of its centroid plus
  // the growth of its outline.
  for (size_t t = 0; t + 1 < tl.frames.size(); ++t) {
    const Extent a = extent_of(tl.frames[t]), b = extent_of(tl.frames[t + 1]);
    const double moved = std::hypot(b.cx - a.cx, b.cy - a.cy) + std::max(0.0, b.radius - a.radius);
    c.motion = std::max(c.motion, moved);
  }

  const double reach = std::max(kReachPerSpacing * c.spacing, kReachPerMotion * c.motion);
  ParameterSet& p = c.params;
  p = default_track_parameters();
  p.rEvar = 1.0 / (reach * reach);
  p.BetaInit = kStartContrast / (p.rEvar * c.spacing * c.spacing);
  c.config_text = config_text(
      p, strprintf("chosen from the data: neighbour spacing %.4g px, largest motion between frames %.4g px",
                   c.spacing, c.motion));
  return c;
}

}  // namespace vantu
