// tracks.csv: one row per track, the cell-cycle table.
//
//   track, parent_track   as in res_track.txt (0: none)
//   founder               the track at the root of the track's tree
//   generation            0 for a track without parent, the parent's + 1
//   first_frame, last_frame  frame numbers of its first and last cell
//   fate                  divided (some track's parent), end (present in the
//                         last frame), debris (its cell flagged probable
//                         debris), lost (ends earlier without dividing)
//   birth_length          length of its first cell
//   division_length       length of its last cell, when it divided
//   cycle_frames          a complete cycle (born from a division, ended by
//                         one): first frame of its daughters minus its own
//   cycle_minutes         cycle_frames times --frame-interval
//   growth_rate           slope of log length per frame (least squares over
//                         its cells by frame number)
//   daughters             its daughter tracks, separated by spaces
//   cells, skipped_frames  cells seen; frames of a closed gap without a cell
//   mean_length           over its cells; mean_area and mean_width likewise
//                         when the input had those columns (masks)
// With --frame-interval also growth_rate_per_hour; with --pixel-size the
// lengths again in micrometres (columns ending in _um, areas in _um2). Then,
// for masks: border_cells, its cells that touch the image's edge (cut off:
// their lengths and areas too small; drop such tracks from cycle statistics).
// Then per --intensity channel NAME: NAME_mean (the mean over its cells of
// their NAME_mean), NAME_birth (its first cell's) and NAME_division (its last
// cell's, when it divided).
// Last, suspect: why the track's numbers look impossible against the
// movie's own (see suspect_reasons), empty when nothing is wrong.
// Empty fields: the value does not apply or is unknown.
#include <algorithm>
#include <cmath>
#include <cstdio>

#include "run/option_names.h"
#include "track/output/output.h"

namespace vantu {

namespace {

std::string short_number(double v) {
  if (!std::isfinite(v)) return "";
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.6g", v);
  return buf;
}

int extra_column(const TimeLapse& tl, const char* name) {
  for (size_t k = 0; k < tl.extra_names.size(); ++k)
    if (tl.extra_names[k] == name) return static_cast<int>(k);
  return -1;
}

double mean_of(const TimeLapse& tl, const TrackFacts& f, int column) {
  double sum = 0;
  for (size_t n = 0; n < f.frame.size(); ++n) {
    const Frame& fr = tl.frames[static_cast<size_t>(f.frame[n])];
    const size_t i = static_cast<size_t>(f.cell[n]);
    sum += column < 0 ? fr.length[i] : fr.extra[static_cast<size_t>(column)][i];
  }
  return sum / static_cast<double>(f.frame.size());
}

// A track's cells as frame numbers, lengths, whether they touch the edge,
// and whether the repairs took the cell for the mother going on beside a
// piece of her (flag 3: a segmentation split in two, its length a piece's).
struct TrackSeries {
  std::vector<double> frame, length;
  std::vector<bool> border, split;
};

TrackSeries series_of(const TimeLapse& tl, const Lineage& lin, const TrackFacts& f) {
  TrackSeries s;
  for (size_t n = 0; n < f.frame.size(); ++n) {
    const Frame& fr = tl.frames[static_cast<size_t>(f.frame[n])];
    const size_t i = static_cast<size_t>(f.cell[n]);
    s.frame.push_back(static_cast<double>(fr.number));
    s.length.push_back(fr.length[i]);
    s.border.push_back(!fr.border.empty() && fr.border[i]);
    s.split.push_back(!lin.flag.empty() && lin.flag[static_cast<size_t>(f.frame[n])][i] == kDivisionResolved);
  }
  return s;
}

// A complete cycle (born from a division, ended by one) in frame numbers:
// the daughters' first frame minus the track's own; NaN for any other track.
double complete_cycle(const TimeLapse& tl, const Lineage& lin, const std::vector<TrackFacts>& facts, size_t k) {
  const Track& tr = lin.tracks[k];
  const TrackFacts& f = facts[k];
  if (f.fate != Fate::kDivided || tr.parent <= 0 || f.frame.empty()) return NAN;
  auto number_at = [&](int frame_index) { return tl.frames[static_cast<size_t>(frame_index)].number; };
  long next = number_at(lin.tracks[static_cast<size_t>(f.daughters[0] - 1)].first);
  for (int d : f.daughters) next = std::min(next, number_at(lin.tracks[static_cast<size_t>(d - 1)].first));
  return static_cast<double>(next - number_at(tr.first));
}

// True when the length step into a track's c-th cell is measured: both
// cells have a length, neither is cut by the image's edge nor split.
bool measured_step(const TrackSeries& s, size_t c) {
  return !s.border[c - 1] && !s.border[c] && !s.split[c - 1] && !s.split[c] && s.length[c - 1] > 0 && s.length[c] > 0;
}

// The median of v and its spread: 1.4826 times the median absolute deviation
// (the standard deviation, were v normal), robust to a few wild values.
struct RobustSpread {
  double median = NAN, sd = NAN;
};

RobustSpread robust_spread(const std::vector<double>& v) {
  RobustSpread r;
  if (v.empty()) return r;
  r.median = median_of(v);
  std::vector<double> off;
  for (double x : v) off.push_back(std::fabs(x - r.median));
  r.sd = 1.4826 * median_of(off);
  return r;
}

// The thresholds of suspect_reasons. A distribution needs kMinSample values
// before anything is judged against it.
constexpr size_t kMinSample = 10;
constexpr double kShortCycle = 0.6;     // share of the median complete cycle
constexpr size_t kRateCells = 3;        // cells a growth rate needs
constexpr double kSlowGrowth = 0.25;    // share of the median growth rate
constexpr double kSlowSpreads = 4;      // and this many spreads below it
constexpr double kJumpSpreads = 8;      // a length step this many spreads off
constexpr double kJumpLog = 0.336;      // and off by at least a factor 1.4

}  // namespace

std::vector<std::string> suspect_reasons(const TimeLapse& tl, const Lineage& lin,
                                         const std::vector<TrackFacts>& facts) {
  const size_t n = facts.size();
  std::vector<TrackSeries> series(n);
  std::vector<double> cycle(n, NAN), rate(n, NAN), cycles, rates, per_frame;
  for (size_t k = 0; k < n; ++k) {
    const TrackSeries& s = series[k] = series_of(tl, lin, facts[k]);
    cycle[k] = complete_cycle(tl, lin, facts, k);
    if (std::isfinite(cycle[k])) cycles.push_back(cycle[k]);
    // Cells cut by the image's edge are measured too short: no rate.
    if (s.frame.size() >= kRateCells && std::find(s.border.begin(), s.border.end(), true) == s.border.end())
      rate[k] = growth_rate(s.frame, s.length);
    if (std::isfinite(rate[k])) rates.push_back(rate[k]);
    for (size_t c = 1; c < s.frame.size(); ++c)
      if (measured_step(s, c)) per_frame.push_back(std::log(s.length[c] / s.length[c - 1]) / (s.frame[c] - s.frame[c - 1]));
  }
  // A length step against the colony's: log length change minus the median
  // change per frame times the frames it spans.
  const double step_rate = median_of(per_frame);
  auto step_off = [&](const TrackSeries& s, size_t c) {
    return std::log(s.length[c] / s.length[c - 1]) - step_rate * (s.frame[c] - s.frame[c - 1]);
  };
  std::vector<double> offs;
  for (const TrackSeries& s : series)
    for (size_t c = 1; c < s.frame.size(); ++c)
      if (measured_step(s, c)) offs.push_back(step_off(s, c));
  const double typical_cycle = cycles.size() >= kMinSample ? median_of(cycles) : NAN;
  const RobustSpread growth = rates.size() >= kMinSample ? robust_spread(rates) : RobustSpread{};
  const RobustSpread step = offs.size() >= kMinSample ? robust_spread(offs) : RobustSpread{};
  const double jump = std::max(kJumpSpreads * step.sd, kJumpLog);
  std::vector<std::string> out(n);
  for (size_t k = 0; k < n; ++k) {
    std::string& why = out[k];
    auto add = [&](const char* reason) { why += (why.empty() ? "" : " ") + std::string(reason); };
    // Cycles are whole frames, each up to a frame off the true one: half a
    // frame's benefit of the doubt.
    if (cycle[k] + 0.5 < kShortCycle * typical_cycle) add("short-cycle");
    if (growth.median > 0 && rate[k] < kSlowGrowth * growth.median && rate[k] < growth.median - kSlowSpreads * growth.sd)
      add("slow-growth");
    const TrackSeries& s = series[k];
    bool jumped = false;
    for (size_t c = 1; c < s.frame.size() && std::isfinite(step.median); ++c)
      jumped = jumped || (measured_step(s, c) && std::fabs(step_off(s, c) - step.median) > jump);
    if (jumped) add("length-jump");
  }
  return out;
}

std::string frame_interval_warning(const TimeLapse& tl, const Lineage& lin, const Units& units) {
  if (!(units.frame_interval > 0)) return "";
  const std::vector<TrackFacts> facts = track_facts(tl, lin);
  std::vector<double> cycles;
  for (size_t k = 0; k < facts.size(); ++k) {
    const double c = complete_cycle(tl, lin, facts, k);
    if (std::isfinite(c)) cycles.push_back(c);
  }
  if (cycles.size() < 3) return "";
  const double frames = median_of(cycles), minutes = frames * units.frame_interval;
  if (!(minutes > 24 * 60)) return "";
  return "with --frame-interval " + short_number(units.frame_interval) + " the median complete cycle is " +
         short_number(minutes / 60) + " hours (" + short_number(frames) +
         " frames): is the frame interval right? It is minutes from one frame number to the next, not seconds";
}

const char* fate_name(Fate f) {
  switch (f) {
    case Fate::kDivided: return "divided";
    case Fate::kEnd: return "end";
    case Fate::kDebris: return "debris";
    case Fate::kLost: break;
  }
  return "lost";
}

double growth_rate(const std::vector<double>& frame, const std::vector<double>& length) {
  double n = 0, sx = 0, sy = 0;
  for (size_t k = 0; k < frame.size(); ++k)
    if (length[k] > 0) n += 1, sx += frame[k], sy += std::log(length[k]);
  if (n < 2) return NAN;
  const double mx = sx / n, my = sy / n;
  double sxy = 0, sxx = 0;
  for (size_t k = 0; k < frame.size(); ++k)
    if (length[k] > 0) {
      sxy += (frame[k] - mx) * (std::log(length[k]) - my);
      sxx += (frame[k] - mx) * (frame[k] - mx);
    }
  return sxx > 0 ? sxy / sxx : NAN;
}

std::vector<TrackFacts> track_facts(const TimeLapse& tl, const Lineage& lin) {
  const size_t n = lin.tracks.size();
  std::vector<TrackFacts> facts(n);
  for (size_t t = 0; t < lin.track.size(); ++t)
    for (size_t i = 0; i < lin.track[t].size(); ++i) {
      TrackFacts& f = facts[static_cast<size_t>(lin.track[t][i] - 1)];
      f.frame.push_back(static_cast<int>(t));
      f.cell.push_back(static_cast<int>(i));
    }
  for (size_t k = 0; k < n; ++k)
    if (lin.tracks[k].parent > 0) facts[static_cast<size_t>(lin.tracks[k].parent - 1)].daughters.push_back(static_cast<int>(k + 1));
  // Parents start before their daughters, so they come first in label order;
  // a parent with a higher label (a hand-made lineage) is followed upwards.
  for (size_t k = 0; k < n; ++k) {
    int root = static_cast<int>(k + 1), depth = 0;
    while (lin.tracks[static_cast<size_t>(root - 1)].parent > 0 && depth <= static_cast<int>(n)) {
      root = lin.tracks[static_cast<size_t>(root - 1)].parent;
      ++depth;
    }
    facts[k].founder = root;
    facts[k].generation = depth;
  }
  const int last_frame = static_cast<int>(tl.frames.size()) - 1;
  for (size_t k = 0; k < n; ++k) {
    TrackFacts& f = facts[k];
    bool debris = !f.frame.empty() && !lin.flag.empty();
    for (size_t c = 0; c < f.frame.size() && debris; ++c)
      debris = lin.flag[static_cast<size_t>(f.frame[c])][static_cast<size_t>(f.cell[c])] == kProbableDebris;
    f.fate = !f.daughters.empty()                ? Fate::kDivided
             : lin.tracks[k].last == last_frame ? Fate::kEnd
             : debris                           ? Fate::kDebris
                                                : Fate::kLost;
  }
  return facts;
}

std::string tracks_csv_text(const TimeLapse& tl, const Lineage& lin, const Units& units) {
  const int area = extra_column(tl, "area"), width = extra_column(tl, "width");
  const bool per_hour = units.frame_interval > 0, um = units.pixel_size > 0;
  std::string text =
      "track,parent_track,founder,generation,first_frame,last_frame,fate,birth_length,division_length,cycle_frames,"
      "cycle_minutes,growth_rate,daughters,cells,skipped_frames,mean_length";
  if (area >= 0) text += ",mean_area";
  if (width >= 0) text += ",mean_width";
  if (per_hour) text += ",growth_rate_per_hour";
  if (um) {
    text += ",birth_length_um,division_length_um,mean_length_um";
    if (area >= 0) text += ",mean_area_um2";
    if (width >= 0) text += ",mean_width_um";
  }
  const bool border = has_border_flags(tl);
  if (border) text += ",border_cells";
  for (const std::string& name : tl.intensity_names)
    text += "," + name + "_mean," + name + "_birth," + name + "_division";
  text += ",suspect\n";
  const std::vector<TrackFacts> facts = track_facts(tl, lin);
  const std::vector<std::string> suspect = suspect_reasons(tl, lin, facts);
  for (size_t k = 0; k < facts.size(); ++k) {
    const TrackFacts& f = facts[k];
    const Track& tr = lin.tracks[k];
    if (f.frame.empty()) continue;  // a hand-made lineage may list a track without cells
    auto number_at = [&](int frame_index) { return tl.frames[static_cast<size_t>(frame_index)].number; };
    auto length_at = [&](size_t n) {
      return tl.frames[static_cast<size_t>(f.frame[n])].length[static_cast<size_t>(f.cell[n])];
    };
    std::vector<double> frames, lengths;
    for (size_t n = 0; n < f.frame.size(); ++n) {
      frames.push_back(static_cast<double>(number_at(f.frame[n])));
      lengths.push_back(length_at(n));
    }
    const double birth = length_at(0);
    const bool divided = f.fate == Fate::kDivided;
    const double division = divided ? lengths.back() : NAN;
    const double cycle = complete_cycle(tl, lin, facts, k);
    const double rate = growth_rate(frames, lengths);
    const double mean_length = mean_of(tl, f, -1);
    std::string daughters;
    for (int d : f.daughters) daughters += (daughters.empty() ? "" : " ") + std::to_string(d);
    text += std::to_string(k + 1) + "," + std::to_string(tr.parent) + "," + std::to_string(f.founder) + "," +
            std::to_string(f.generation) + "," + std::to_string(number_at(tr.first)) + "," +
            std::to_string(number_at(tr.last)) + "," + fate_name(f.fate) + "," + number_text(birth) + "," +
            (divided ? number_text(division) : "") + "," + short_number(cycle) + "," +
            (per_hour ? short_number(cycle * units.frame_interval) : "") + "," + short_number(rate) + "," + daughters +
            "," + std::to_string(f.frame.size()) + "," + std::to_string(tr.skipped) + "," + short_number(mean_length);
    if (area >= 0) text += "," + short_number(mean_of(tl, f, area));
    if (width >= 0) text += "," + short_number(mean_of(tl, f, width));
    if (per_hour) text += "," + short_number(rate * 60.0 / units.frame_interval);
    if (um) {
      const double s = units.pixel_size;
      text += "," + short_number(birth * s) + "," + short_number(division * s) + "," + short_number(mean_length * s);
      if (area >= 0) text += "," + short_number(mean_of(tl, f, area) * s * s);
      if (width >= 0) text += "," + short_number(mean_of(tl, f, width) * s);
    }
    if (border) {
      int cut = 0;
      for (size_t n = 0; n < f.frame.size(); ++n)
        cut += tl.frames[static_cast<size_t>(f.frame[n])].border[static_cast<size_t>(f.cell[n])];
      text += "," + std::to_string(cut);
    }
    for (size_t c = 0; c < tl.intensity_names.size(); ++c) {
      auto mean_at = [&](size_t n) {
        return tl.frames[static_cast<size_t>(f.frame[n])].intensity_mean[c][static_cast<size_t>(f.cell[n])];
      };
      double sum = 0;
      for (size_t n = 0; n < f.frame.size(); ++n) sum += mean_at(n);
      text += "," + short_number(sum / static_cast<double>(f.frame.size())) + "," + short_number(mean_at(0)) + "," +
              (divided ? short_number(mean_at(f.frame.size() - 1)) : "");
    }
    text += "," + suspect[k] + "\n";
  }
  return text;
}

std::string pixel_size_warning(const TimeLapse& tl, const Units& units) {
  if (!(units.pixel_size > 0)) return "";
  std::vector<double> lengths;
  for (const Frame& f : tl.frames) lengths.insert(lengths.end(), f.length.begin(), f.length.end());
  const double median = median_of(lengths) * units.pixel_size;
  if (!(median > 20.0)) return "";
  return "with " + option_with("pixel-size", short_number(units.pixel_size)) + " the median cell is " + short_number(median) +
         " micrometres long (" + short_number(median_of(lengths)) +
         " pixels): is the pixel size right? It is micrometres per pixel, e.g. 0.065 for a 100x objective";
}

std::string units_text(const Units& units) {
  std::string text = "# What the numbers of this folder's files mean.\n";
  text += "frames: frame numbers";
  text += units.frame_interval > 0 ? "; " + short_number(units.frame_interval) + " minutes from one frame number to the next\n"
                                   : "; frame interval not given (--frame-interval MIN), times in frames only\n";
  text += "lengths: pixels (x, y, length, width; area in square pixels)";
  text += units.pixel_size > 0 ? "; " + short_number(units.pixel_size) +
                                     " micrometres per pixel, columns ending in _um in micrometres, _um2 in square "
                                     "micrometres\n"
                               : "; pixel size not given (--pixel-size UM), no micrometre columns\n";
  text += "angle: degrees, counter-clockwise as seen on screen\n";
  text += "growth_rate: natural log of length per frame";
  text += units.frame_interval > 0 ? "; growth_rate_per_hour: per hour\n" : "\n";
  text += "cycle_frames: frames from birth to the daughters' first frame";
  text += units.frame_interval > 0 ? "; cycle_minutes: the same in minutes\n" : "\n";
  text += "confidence: 0 to 1, how sure a cell's link to the previous frame is\n";
  return text;
}

}  // namespace vantu
