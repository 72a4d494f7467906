// What a link costs: the one model by which the tracker weighs a link.
//
// Every link is a hypothesis about how the cells of frame t+1 came from those
// of frame t, and its cost is its negative log-likelihood (natural units):
//   continuation i -> j   j is i moved by the local motion, grown by the
//                         colony's growth over the frame interval, its axis
//                         turned a little;
//   division i -> j1 + j2 the daughters' midpoint is where i moved, they lie
//                         end to end along i's axis, their lengths add up to
//                         i's grown by the division growth and split about
//                         evenly, their axes follow i's;
//   new j                 a cell from nowhere: anywhere in the field, any
//                         length and axis (likely only at the border);
//   end i                 a cell that leaves or is lost.
// Each hypothesis explains the same number of observed quantities per cell
// (two for the position, one for the length, one for the axis), so their
// costs compare directly. The spreads and rates are fitted to the movie
// itself (fit_link_model), so the model follows a real colony's growth and
// motion at whatever frame interval it was imaged.
//
// Units: positions in pixels, lengths as natural logarithms, axes in degrees.
#pragma once

#include <vector>

namespace vantu {

// The fixed spreads by which the repairs' relinking weighs a link: squared
// deviations in units of these, apart from the model fitted to the movie
// (its costs, with the stray share or without, exchanged right links for
// wrong ones on the agar movie).
constexpr double kFixedLengthSpread = 0.1;  // log length ratio of a continuation
constexpr double kFixedAxisSpread = 15.0;   // degrees
constexpr double kFixedLeastSpread = 0.05;  // position spread, in units of the neighbour spacing
constexpr double kFixedNoLinkCost = 9.0;    // a cell from no cell

struct LinkModel {
  // Continuations: log length ratio per frame (mean and spread), the spread
  // of the position around its prediction, the spread of the axis change.
  double growth = 0.1, growth_spread = 0.08;
  double position_spread = 5.0;
  double axis_spread = 8.0;
  // Rods in a colony slide along their axes far more than they are pushed
  // sideways: the position spreads position_spread / sqrt(across) along the
  // axis (a continuation's halfway between its two, a division's the
  // mother's) and position_spread * sqrt(across) across it (the same
  // area as the round spread, so the normalising term stays log(2 pi s^2)).
  // Fitted; 1 for round or randomly oriented cells.
  double across = 1.0;
  // A share of the cells moves unlike its neighbours (a rod sliding along its
  // axis past them, a stream moving against another): their position spreads
  // by `stray_spread` around the prediction. The share is fitted; the spread
  // is a multiple of the neighbour spacing. (Continuations only: a
  // division's midpoint priced so gave daughters to the wrong one of two
  // mothers on the agar movie at every 3rd frame.)
  double stray = 0.01, stray_spread = 30.0;
  // Divisions: log of the daughters' summed length over the mother's (per
  // frame), its spread, the spread of a daughter's share of the sum around
  // one half, the spread of a daughter's axis around the mother's, and the
  // separation of the daughters' centres over half their summed length.
  double division_growth = 0.05, division_spread = 0.1;
  double share_spread = 0.06;
  double division_axis_spread = 15.0;
  double separation = 1.0;
  // Per cell and frame: the chance that a cell divides, and that a cell
  // appears or is lost inside the field and at its border.
  double divide = 0.15;
  double appear_inside = 0.002, appear_border = 0.2;
  double lost_inside = 0.002, lost_border = 0.2;
  // The field the cells live in, and how close to its edge a cell counts
  // as at the border.
  double min_x = 0, min_y = 0, max_x = 1, max_y = 1;
  double border = 20.0;
  // The median distance of a cell to its nearest neighbour.
  double spacing = 20.0;
  // A cell whose end lies this close to the field's edge may be cut by it:
  // its length is a lower bound.
  double edge = 3.0;
  // The spread of log lengths over the movie: a cell from nowhere has any
  // length over about sqrt(12) of it.
  double length_range = 1.0;
};

// One cell as the model sees it: centre, length (pixels), axis (degrees).
struct RodCell {
  double x, y, length, angle;
};

// The smallest change between two axes, in degrees [0, 90].
double axis_change(double a, double b);

// The costs of the four hypotheses; `frames` is the number of frame numbers
// the link spans (1 for consecutive frames), `dx, dy` the motion predicted
// at the mother.
double continuation_cost(const LinkModel& m, const RodCell& a, double dx, double dy, const RodCell& b, int frames);
double division_cost(const LinkModel& m, const RodCell& a, double dx, double dy, const RodCell& d1, const RodCell& d2,
                     int frames);
double appear_cost(const LinkModel& m, const RodCell& b);
double lost_cost(const LinkModel& m, const RodCell& a);
bool at_border(const LinkModel& m, const RodCell& c);
bool cut_by_edge(const LinkModel& m, const RodCell& c);

// The largest distance from the predicted position at which a continuation
// or a division's midpoint is still considered: 8 position spreads, but at
// most kGateSpacings neighbour spacings (per frame), so that a movie whose
// links scatter widely does not make every cell a candidate of every other.
constexpr double kGateSpacings = 12.0;
double position_gate(const LinkModel& m, int frames);
// The wider gate of the second chance (a cell lost and a cell new inside the
// field): as far as a cell moving unlike its neighbours goes.
double stray_gate(const LinkModel& m, int frames);

// What one pass of linking saw, to fit the model again from.
struct LinkSamples {
  std::vector<double> residual;         // distance from the prediction, per sqrt(frame)
  std::vector<double> along, across;    // its parts along and across the link's axis (unsigned)
  std::vector<double> growth;           // continuations: log length ratio per frame
  std::vector<double> axis;             // continuations: axis change
  std::vector<double> division_growth;  // log summed-length ratio per frame
  std::vector<double> share;            // |share - 1/2| per division
  std::vector<double> division_axis;    // daughters' axis change
  std::vector<double> separation;       // |d2 - d1| / ((l1 + l2) / 2)
  long mothers = 0, divisions = 0;
  void add(const LinkSamples& o);
};

// The model's spreads and rates from what a pass saw, each bounded so that a
// movie with few samples keeps a usable model.
void fit_link_model(LinkModel& m, const LinkSamples& s);

}  // namespace vantu
