// Parameters chosen from the data: BetaInit and rEvar from the spacing of
// neighbouring cells and from how far the colony moves between frames.
//
// A match of cells at distance d weighs exp(Beta * (TH - rEvar * d^2)). The
// reach r = 1/sqrt(rEvar) must cover a cell's displacement between frames,
// and at the first temperature a cell must already be told from its
// neighbours: BetaInit * rEvar * s^2 = kStartContrast for the neighbour
// spacing s.
//
// The motion is the colony's own between two frames (the shift of its
// centroid plus the growth of its outline), taken at a high percentile over
// the pairs rather than at the largest: one pair with a frame that lost most
// of its cells, or a blank frame, would otherwise set the reach for every
// pair (a blank frame's centroid is at the origin). Pairs with a frame of too
// few cells, or whose frames differ too much in their number of cells, say
// nothing about the colony's motion and are left out.
//
// BetaIncr, the growth of Beta per temperature step, sets the time: the
// number of steps is log(BetaMax / BetaInit) / log(BetaIncr). Measured on
// the agar movie and simulated time-lapses (docs/scale.md, docs/speed.md),
// 1.5 finds the same links and daughters as 1.3 and 1.075 (2.0 loses some)
// in two thirds of 1.3's steps, except where many cells
// divide between two frames: divisions are decided late in the annealing,
// and a pair in which a large share of the cells divides needs finer steps.
// The share of new cells per pair is read from the frames' cell counts.
#include <algorithm>
#include <cmath>

#include "base/check.h"
#include "track/pairs/pairs.h"

namespace vantu {

namespace {

constexpr double kReachPerSpacing = 1.5;  // r at least 1.5 neighbour spacings
constexpr double kReachPerMotion = 1.25;  // and 1.25 times the displacement
constexpr double kStartContrast = 0.4;    // BetaInit * rEvar * s^2
constexpr double kMotionPercentile = 0.9; // of the pairs' displacements (lower nearest rank)
constexpr int kFewestCellsForMotion = 4;  // a frame's centroid and outline need this many cells
constexpr double kLeastCountRatio = 0.5;  // fewer cells than this share of the other frame's: left out
constexpr double kBetaIncrFast = 1.5;     // BetaIncr for a colony whose pairs have few divisions
constexpr double kBetaIncrCareful = 1.15; // BetaIncr when many cells divide between two frames
constexpr double kManyNewCells = 0.25;    // new cells per pair (a share of the first frame's) above which
                                          // the careful schedule is taken

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

// The colony's motion from frame a to frame b: the shift of its centroid plus
// the growth of its outline.
double colony_motion(const Frame& a, const Frame& b) {
  const Extent ea = extent_of(a), eb = extent_of(b);
  return std::hypot(eb.cx - ea.cx, eb.cy - ea.cy) + std::max(0.0, eb.radius - ea.radius);
}

// Whether a pair's frames show the colony's motion: both with enough cells,
// and neither with far fewer than the other.
bool shows_motion(const Frame& a, const Frame& b, int fewest) {
  const int lo = std::min(a.count(), b.count()), hi = std::max(a.count(), b.count());
  return lo >= fewest && lo >= kLeastCountRatio * hi;
}

// The motion of the colony between frames: the kMotionPercentile point of
// the pairs that show it; when none does (a colony of a few cells), of the
// pairs whose frames both have cells; 0 without such pairs.
double motion_between_frames(const TimeLapse& tl) {
  std::vector<double> moved;
  for (int fewest : {kFewestCellsForMotion, 1}) {
    for (size_t t = 0; t + 1 < tl.frames.size(); ++t)
      if (shows_motion(tl.frames[t], tl.frames[t + 1], fewest))
        moved.push_back(colony_motion(tl.frames[t], tl.frames[t + 1]));
    if (!moved.empty()) break;
  }
  if (moved.empty()) return 0.0;
  std::sort(moved.begin(), moved.end());
  return moved[static_cast<size_t>(kMotionPercentile * static_cast<double>(moved.size() - 1))];
}

// The share of new cells between two frames (the division share, less the
// cells that leave or are missed): its kMotionPercentile point over the pairs
// that show the colony, or over all pairs with cells when none does.
double new_cells_per_pair(const TimeLapse& tl) {
  std::vector<double> share;
  for (int fewest : {kFewestCellsForMotion, 1}) {
    for (size_t t = 0; t + 1 < tl.frames.size(); ++t) {
      const Frame &a = tl.frames[t], &b = tl.frames[t + 1];
      if (shows_motion(a, b, fewest)) share.push_back(std::max(0, b.count() - a.count()) / static_cast<double>(a.count()));
    }
    if (!share.empty()) break;
  }
  if (share.empty()) return 0.0;
  std::sort(share.begin(), share.end());
  return share[static_cast<size_t>(kMotionPercentile * static_cast<double>(share.size() - 1))];
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
  c.spacing = neighbour_spacing(tl);
  if (!(c.spacing > 0.0))
    throw TrackError("cannot choose the parameters: the cells have no distinct neighbours (use --config)");

  c.motion = motion_between_frames(tl);

  const double reach = std::max(kReachPerSpacing * c.spacing, kReachPerMotion * c.motion);
  ParameterSet& p = c.params;
  p = default_track_parameters();
  p.rEvar = 1.0 / (reach * reach);
  p.BetaInit = kStartContrast / (p.rEvar * c.spacing * c.spacing);
  c.new_cells = new_cells_per_pair(tl);
  const bool careful = c.new_cells > kManyNewCells;
  p.BetaIncr = careful ? kBetaIncrCareful : kBetaIncrFast;
  c.config_text = config_text(
      p, strprintf("chosen from the data: neighbour spacing %.4g px, motion between frames %.4g px "
                   "(%.0fth percentile of the pairs)\n"
                   "BetaIncr %s: new cells between two frames %.3g %% of the cells (%.0fth percentile of the pairs), "
                   "%s %.0f %%; %s",
                   c.spacing, c.motion, 100 * kMotionPercentile, number_text(p.BetaIncr).c_str(), 100 * c.new_cells,
                   100 * kMotionPercentile, careful ? "more than" : "at most", 100 * kManyNewCells,
                   careful ? "divisions that many per pair need the finer steps"
                           : "the coarser steps find the same links in about a quarter of the time"));
  if (p.BetaInit >= p.BetaMax)
    c.warning = strprintf("the chosen BetaInit %.4g is at or above BetaMax %.4g (the colony moves %.4g px between "
                          "frames, %.3g neighbour spacings): no annealing would run and no cell would be matched; "
                          "image more often, or give --config",
                          p.BetaInit, p.BetaMax, c.motion, c.motion / c.spacing);
  return c;
}

}  // namespace vantu
