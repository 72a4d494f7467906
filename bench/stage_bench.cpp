// Times the stages of vantu-track around the matcher on a simulated
// time-lapse of any size: choosing the parameters, chaining the pairs into a
// lineage, the repairs, and the texts of cells.csv, res_track.txt and
// pairs.log. The
// pairs' matches are not computed: they are the simulator's true links
// (truth.csv), with a share of them spoiled the way a matcher errs (two
// neighbours' links crossed, a division seen as one daughter), so the
// repairs have work to do.
//
//   cmake --build build --target vantu-stage-bench
//   build/vantu-stage-bench SIM_DIR [--spoil R] [--cells-csv FILE] [--repairs relink,gaps,divisions,debris]
//
// SIM_DIR is a folder written by `vantu-sim --timelapse`. Prints one line of
// Markdown table: frames, cells in the last frame, tracks, seconds per stage
// (processor seconds of reading, parameters, chaining, repairs, writing), and
// the repairs made (links exchanged/gaps closed/divisions resolved/found).
// --cells-csv writes the repaired cells.csv, to compare two builds.
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "tools/sim_maths.h"
#include "track/track.h"

using namespace vantu;

namespace {

// Processor seconds (the stages run on one thread; on a loaded machine the
// wall time would mostly measure the other programs).
double seconds_since(std::clock_t t0) { return static_cast<double>(std::clock() - t0) / CLOCKS_PER_SEC; }

// The simulator's cells.csv (frame,x,y,length,angle,id) as frames, without
// the matcher's point sets (and so without its limit of cells per frame).
TimeLapse read_sim_cells(const std::string& path) {
  TimeLapse tl;
  std::ifstream in(path);
  if (!in) throw TrackError("cannot read " + path);
  std::string line;
  std::getline(in, line);
  while (std::getline(in, line)) {
    long frame;
    double x, y, len, angle, id;
    if (std::sscanf(line.c_str(), "%ld,%lf,%lf,%lf,%lf,%lf", &frame, &x, &y, &len, &angle, &id) != 6)
      throw TrackError(path + ": cannot read \"" + line + "\"");
    while (tl.frames.size() <= static_cast<size_t>(frame)) {
      tl.frames.emplace_back();
      tl.frames.back().number = static_cast<long>(tl.frames.size()) - 1;
    }
    Frame& f = tl.frames[static_cast<size_t>(frame)];
    f.x.push_back(x);
    f.y.push_back(y);
    f.length.push_back(len);
    f.angle.push_back(angle);
    f.id.push_back(id);
  }
  return tl;
}

// The true links of every pair: per cell of frame t+1 its predecessor's
// index at level 0, or as the first or second daughter at levels 1 and 2.
std::vector<PairLinks> true_links(const TimeLapse& tl, const std::string& truth_csv) {
  std::vector<PairLinks> links(tl.frames.size() - 1);
  std::vector<std::map<long, int>> index(tl.frames.size());
  for (size_t t = 0; t < tl.frames.size(); ++t)
    for (int i = 0; i < tl.frames[t].count(); ++i) index[t][static_cast<long>(tl.frames[t].id[static_cast<size_t>(i)])] = i;
  for (size_t t = 0; t + 1 < tl.frames.size(); ++t) {
    PairLinks& pl = links[t];
    pl.K = tl.frames[t].count();
    pl.M = tl.frames[t + 1].count();
    for (auto& r : pl.row) r.assign(static_cast<size_t>(pl.M), -1);
  }
  std::ifstream in(truth_csv);
  std::string line;
  std::getline(in, line);
  std::map<std::pair<size_t, int>, int> daughters;  // (pair, mother) -> daughters so far
  while (std::getline(in, line)) {
    long frame, id, pred, ndiv, kind;
    if (std::sscanf(line.c_str(), "%ld,%ld,%ld,%ld,%ld", &frame, &id, &pred, &ndiv, &kind) != 5 || pred == 0) continue;
    const size_t t = static_cast<size_t>(frame) - 1;
    const int j = index[t + 1].at(id), i = index[t].at(pred);
    if (ndiv == 0) {
      links[t].row[0][static_cast<size_t>(j)] = i;
    } else {
      int& n = daughters[{t, i}];
      if (n < 2) links[t].row[1 + n][static_cast<size_t>(j)] = i;
      ++n;
    }
  }
  return links;
}

// Spoils a share of the links: two nearby cells' level-0 links crossed, or a
// division's second daughter left unmatched and the first taken as the mother
// going on.
void spoil(const TimeLapse& tl, std::vector<PairLinks>& links, double share) {
  vantu_sim::Rng rng(7, 1);
  for (size_t t = 0; t < links.size(); ++t) {
    PairLinks& pl = links[t];
    const Frame& g = tl.frames[t + 1];
    const CellGrid grid(g);
    std::vector<std::pair<double, int>> near;
    for (int j = 0; j < pl.M; ++j) {
      if (rng.uniform() >= share) continue;
      int& a = pl.row[0][static_cast<size_t>(j)];
      if (a >= 0) {
        grid.nearest(j, 1, near);
        if (near.empty()) continue;
        int& b = pl.row[0][static_cast<size_t>(near[0].second)];
        if (b >= 0) std::swap(a, b);
      } else if (pl.row[1][static_cast<size_t>(j)] >= 0) {
        for (int k = 0; k < pl.M; ++k)
          if (pl.row[2][static_cast<size_t>(k)] == pl.row[1][static_cast<size_t>(j)]) pl.row[2][static_cast<size_t>(k)] = -1;
        std::swap(pl.row[0][static_cast<size_t>(j)], pl.row[1][static_cast<size_t>(j)]);
      }
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: vantu-stage-bench SIM_DIR [--spoil R] [--cells-csv FILE]\n");
    return 1;
  }
  const std::string dir = argv[1];
  double share = 0.01;
  std::string cells_out;
  TrackOptions::Repairs repairs;
  for (int k = 2; k + 1 < argc; k += 2) {
    if (std::strcmp(argv[k], "--spoil") == 0) share = std::atof(argv[k + 1]);
    else if (std::strcmp(argv[k], "--cells-csv") == 0) cells_out = argv[k + 1];
    else if (std::strcmp(argv[k], "--repairs") == 0) {  // a subset of "relink,gaps,divisions,debris"
      const std::string r = argv[k + 1];
      repairs.relink = r.find("relink") != std::string::npos;
      repairs.close_gaps = r.find("gaps") != std::string::npos;
      repairs.check_divisions = r.find("divisions") != std::string::npos;
      repairs.flag_debris = r.find("debris") != std::string::npos;
    }
  }
  try {
    auto t0 = std::clock();
    const TimeLapse tl = read_sim_cells(dir + "/cells.csv");
    const double read = seconds_since(t0);
    t0 = std::clock();
    const ChosenParameters chosen = choose_parameters(tl);
    const double params = seconds_since(t0);
    std::vector<PairLinks> links = true_links(tl, dir + "/truth.csv");
    spoil(tl, links, share);
    t0 = std::clock();
    Lineage lin = build_lineage(tl, links, 3);
    const double chain = seconds_since(t0);
    t0 = std::clock();
    const RepairCounts rc = repair_lineage(tl, lin, repairs);
    const double repair = seconds_since(t0);
    t0 = std::clock();
    const std::string cells = cells_csv_text(tl, lin), tracks = res_track_text(tl, lin);
    const std::string log = pairs_log_text(tl, links, lin);
    const double write = seconds_since(t0);
    if (!cells_out.empty()) std::ofstream(cells_out) << cells;
    std::printf("| %zu | %d | %zu | %.2f | %.2f | %.2f | %.2f | %.2f | %d/%d/%d/%d |\n", tl.frames.size(),
                tl.frames.back().count(), lin.tracks.size(), read, params, chain, repair, write, rc.relinked,
                rc.gaps_closed, rc.divisions_resolved, rc.divisions_found);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "vantu-stage-bench: %s\n", e.what());
    return 1;
  }
  return 0;
}
