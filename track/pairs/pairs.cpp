// Matching every pair of consecutive frames, several pairs at once.
//
// Each pair's hard matches go into a record out_dir/pairs/NNNN.txt (NNNN =
// the pair's first frame index), written atomically. A record whose key (a
// fingerprint of both frames' cells and the parameters) still fits is
// reused, so a run started again after an interruption picks up where it
// stopped. Pairs are independent and the matcher's results do not depend on
// its threads, so the records are the same for every number of jobs.
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <sstream>
#include <thread>

#include "base/check.h"
#include "run/driver.h"
#include "run/writers.h"
#include "track/pairs/pairs.h"

namespace vantu {

namespace {

constexpr const char* kRecordHeader = "vantu-track pair record 2";

struct Fnv {
  std::uint64_t h = 1469598103934665603ull;
  void bytes(const void* p, size_t n) {
    const unsigned char* c = static_cast<const unsigned char*>(p);
    for (size_t k = 0; k < n; ++k) h = (h ^ c[k]) * 1099511628211ull;
  }
  void number(double v) { bytes(&v, sizeof v); }
  void number(int v) { bytes(&v, sizeof v); }
  void values(const std::vector<double>& v, size_t n) { bytes(v.data(), n * sizeof(double)); }
};

void hash_set(Fnv& f, const PointSet& s) {
  const size_t n = static_cast<size_t>(s.count);
  f.number(s.count);
  f.values(s.xy, 2 * n);
  f.values(s.len, n);
  f.values(s.ang, n);
  f.values(s.id, n);
}

std::string pair_name(size_t t) { return strprintf("%04zu", t); }

// The parameters the kernel gets: the run's, with its weight floor.
ParameterSet kernel_params(const PairRun& run, ParameterSet p) {
  p.drop_below = run.drop_below;
  if (run.proposal) {
    p.settle_from = kSettleFrom * p.BetaInit;
    p.settle_span = kSettleSpan;
    p.settle_changes = kSettleChanges;
    p.MaxSweeps = kProposalSweeps;
  }
  return p;
}
ParameterSet kernel_params(const PairRun& run) { return kernel_params(run, run.params); }

std::string method_text(const PairLinks& pl) {
  return pl.method == PairMethod::kSmall ? "small" : pl.method == PairMethod::kTiles ? strprintf("tiles %d", pl.tiles) : "whole";
}

std::string record_text(const PairLinks& pl, std::uint64_t key) {
  std::string text = strprintf("%s\nkey %016" PRIx64 "\ncells %d %d\nseconds %.3f\nmethod %s\nsingular %d\n",
                               kRecordHeader, key, pl.K, pl.M, pl.seconds, method_text(pl).c_str(), pl.singular_solves);
  for (int j = 0; j < pl.M; ++j)
    text += strprintf("%d %d %d\n", pl.row[0][static_cast<size_t>(j)], pl.row[1][static_cast<size_t>(j)],
                      pl.row[2][static_cast<size_t>(j)]);
  text += "end\n";
  return text;
}

// The record of an earlier run, if it is complete and fits this pair.
bool read_record(const std::string& path, std::uint64_t key, int K, int M, PairLinks& pl) {
  std::ifstream in(path);
  if (!in) return false;
  std::string line, word;
  if (!std::getline(in, line) || line != kRecordHeader) return false;
  if (!std::getline(in, line) || line != strprintf("key %016" PRIx64, key)) return false;
  if (!std::getline(in, line) || line != strprintf("cells %d %d", K, M)) return false;
  if (!(in >> word >> pl.seconds) || word != "seconds") return false;
  if (!(in >> word) || word != "method" || !(in >> word)) return false;
  pl.tiles = 0;
  if (word == "whole") {
    pl.method = PairMethod::kWhole;
  } else if (word == "small") {
    pl.method = PairMethod::kSmall;
  } else if (word == "tiles" && (in >> pl.tiles) && pl.tiles > 0) {
    pl.method = PairMethod::kTiles;
  } else {
    return false;
  }
  if (!(in >> word >> pl.singular_solves) || word != "singular" || pl.singular_solves < 0) return false;
  pl.K = K;
  pl.M = M;
  for (auto& r : pl.row) r.assign(static_cast<size_t>(M), -1);
  for (int j = 0; j < M; ++j)
    for (int l = 0; l < 3; ++l) {
      int i = 0;
      if (!(in >> i) || i < -1 || i >= K) return false;
      pl.row[l][static_cast<size_t>(j)] = i;
    }
  return (in >> word) && word == "end";
}

bool is_dir(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

void make_dir(const std::string& path) {
  if (mkdir(path.c_str(), 0777) != 0 && !is_dir(path))
    throw TrackError("cannot create folder " + path + ": " + std::strerror(errno));
}

std::string clock_text(double s) {
  const long t = static_cast<long>(s + 0.5);
  return t >= 3600 ? strprintf("%ld:%02ld:%02ld", t / 3600, t / 60 % 60, t % 60) : strprintf("%ld:%02ld", t / 60, t % 60);
}

// Progress on standard error: a bar redrawn in place on a terminal, one
// line per finished pair otherwise. The time left (time_left.cpp) is shown
// once it means something; pairs of an earlier run count for nothing.
class Progress {
 public:
  Progress(size_t total, std::vector<TaskCost> tasks, bool bar, const std::function<void(size_t, size_t)>& report)
      : total_(total), tasks_(std::move(tasks)), bar_(bar), report_(report), start_(std::chrono::steady_clock::now()) {}
  ~Progress() {
    if (bar_ && drawn_ && done_ < total_) std::fputc('\n', stderr);  // what follows starts on a line of its own
  }

  // Task k (in the order of the tasks given) took `seconds`.
  void task_done(size_t k, double seconds) {
    std::lock_guard<std::mutex> lock(mutex_);
    tasks_[k].seconds = seconds;
  }

  void pair_done(size_t t, const PairLinks& pl) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++done_;
    if (report_) {  // a library caller reports progress itself
      report_(done_, total_);
      return;
    }
    const double el = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    const double left = done_ == total_ ? 0.0 : time_left(tasks_, el);
    const std::string left_text = left >= 0 ? ", " + clock_text(left) + " left" : "";
    if (bar_) {
      const int width = 30, filled = static_cast<int>(width * done_ / total_);
      // Trailing blanks wipe what a longer line drawn before left.
      std::fprintf(stderr, "\r[%s%s] %zu/%zu pairs, %s elapsed%s     ", std::string(filled, '#').c_str(),
                   std::string(width - filled, '.').c_str(), done_, total_, clock_text(el).c_str(), left_text.c_str());
      drawn_ = true;
      if (done_ == total_) std::fputc('\n', stderr);
    } else {
      std::fprintf(stderr, "pair %s done%s (%zu/%zu), %s elapsed%s\n", pair_name(t).c_str(), pl.reused ? " earlier" : "",
                   done_, total_, clock_text(el).c_str(), left_text.c_str());
    }
    std::fflush(stderr);
  }

 private:
  std::mutex mutex_;
  size_t total_, done_ = 0;
  std::vector<TaskCost> tasks_;
  bool bar_, drawn_ = false;
  const std::function<void(size_t, size_t)>& report_;
  std::chrono::steady_clock::time_point start_;
};

// One pair to match: how, its tiles' links as they come in, and how many of
// its parts are still running.
struct PairJob {
  size_t t = 0;
  std::uint64_t key = 0;
  PairMethod method = PairMethod::kWhole;
  TilePlan plan;
  std::vector<PairLinks> parts;  // one per tile (one for a whole pair)
  std::atomic<int> left{0};
  std::atomic<long> microseconds{0};  // summed over the parts
};

PairLinks links_of(const PairResult& r, int K, int M) {
  if (!r.unwritten.empty()) throw TrackError("cannot write " + r.unwritten.front());
  PairLinks pl;
  pl.K = K;
  pl.M = M;
  for (auto& row : pl.row) row.assign(static_cast<size_t>(M), -1);
  // A pair the matcher cannot take (one cell into more than two) keeps no links.
  if (r.status == 0)
    for (int l = 0; l < 3; ++l) pl.row[l] = r.matched_row[l];
  pl.singular_solves = r.singular_solves;
  return pl;
}

std::string tile_name(size_t k) { return strprintf("tile_%03zu", k); }

// --keep-pairs of a tiled pair: which cells each tile holds.
std::string tiles_text(const TilePlan& plan, const Frame& a, const Frame& b) {
  std::string text = strprintf("# tiles of this pair: the ids of the first-frame cells, then of the second-frame "
                               "cells, each tile's own result files in tile_NNN/\nshift %s %s\n",
                               number_text(plan.shift[0]).c_str(), number_text(plan.shift[1]).c_str());
  for (size_t k = 0; k < plan.tiles.size(); ++k) {
    const Tile& tile = plan.tiles[k];
    text += tile_name(k) + " first";
    for (int i : tile.first) text += " " + number_text(a.id[static_cast<size_t>(i)]);
    text += "\n" + tile_name(k) + " second";
    for (int j : tile.second) text += " " + number_text(b.id[static_cast<size_t>(j)]);
    text += "\n";
  }
  return text;
}

// --keep-pairs of a tiled pair: a tile's folder gets its cells and parameters
// as vantu reads them, so that vantu run there gives its result files again.
void write_tile_inputs(const std::string& dir, const Tile& tile, const Frame& a, const Frame& b) {
  make_dir(dir);
  auto cells_of = [](const Frame& f, const std::vector<int>& cells) {
    Frame part;
    for (int i : cells) {
      const size_t k = static_cast<size_t>(i);
      part.x.push_back(f.x[k]);
      part.y.push_back(f.y[k]);
      part.length.push_back(f.length[k]);
      part.angle.push_back(f.angle[k]);
      part.id.push_back(f.id[k]);
    }
    return point_file_text(part);
  };
  ParameterSet p = tile.params;  // the columns of the point files written here
  p.nx = 1, p.ny = 2, p.Nlen = 3, p.Nang = 4, p.Nid = 5, p.nz = 0;
  const std::pair<const char*, std::string> files[] = {
      {"first.dat", cells_of(a, tile.first)},
      {"second.dat", cells_of(b, tile.second)},
      {"softconfig.dat", config_text(p, "this tile's parameters: the pair's, lambda1 scaled to the tile")}};
  for (const auto& f : files) {
    const std::string path = dir + "/" + f.first;
    if (!write_file_atomically(path, f.second)) throw TrackError("cannot write " + path + ": " + std::strerror(errno));
  }
}

// --keep-pairs of a small pair: its links in the layout of Match.dat.
void write_small_match(const std::string& dir, const PairLinks& pl, const Frame& a, const Frame& b) {
  std::vector<int> ids[3];
  for (int l = 0; l < 3; ++l)
    for (int j = 0; j < pl.M; ++j) {
      const int i = pl.row[l][static_cast<size_t>(j)];
      ids[l].push_back(i < 0 ? 0 : round_to_int(a.id[static_cast<size_t>(i)]));
    }
  const std::string path = dir + "/Match.dat";
  if (!write_match(path.c_str(), pl.M, ids[0].data(), ids[1].data(), ids[2].data(), b.id.data(), 1))
    throw TrackError("cannot write " + path + ": " + std::strerror(errno));
}

// The pairs first..n-1 as jobs and their parts as tasks, every part of a
// tiled pair a task of its own so that the tiles of one pair spread over
// the workers as whole pairs do.
class PairMatcher {
 public:
  // Without a folder (`out` null) nothing is read or written: every pair is matched.
  PairMatcher(const TimeLapse& tl, const PairRun& run, OutputFolder* out, std::vector<PairLinks>& links)
      : tl_(tl), run_(run), out_(out), links_(links) {}

  void run(size_t first, size_t n) {
    std::vector<std::unique_ptr<PairJob>> reused;
    for (size_t t = first; t < n; ++t) {
      std::unique_ptr<PairJob> job = plan(t);
      (links_[t].reused ? reused : jobs_).push_back(std::move(job));
    }
    std::vector<TaskCost> costs;
    for (size_t k = 0; k < jobs_.size(); ++k)
      for (int part = 0; part < jobs_[k]->left; ++part) {
        tasks_.push_back({k, part});
        costs.push_back(task_cost(*jobs_[k], part));
      }
    if (!run_.on_pair_done && !reused.empty())
      std::fprintf(stderr, jobs_.empty() ? "vantu-track: all %zu pairs kept from the earlier run: nothing is matched again\n"
                                         : "vantu-track: %zu pairs kept from the earlier run, the others matched\n",
                   reused.size());
    Progress progress(n - first, std::move(costs), run_.progress_bar, run_.on_pair_done);
    progress_ = &progress;
    for (const auto& job : reused) progress.pair_done(job->t, links_[job->t]);
    const int workers = std::max(1, std::min<int>(run_.jobs, static_cast<int>(tasks_.size())));
    // With fewer tasks than jobs, a task's matcher takes the second core.
    threads_ = run_.jobs >= 2 * workers ? 2 : 1;
    std::vector<std::thread> pool;
    for (int k = 1; k < workers; ++k) pool.emplace_back([this]() { work(); });
    work();
    for (auto& th : pool) th.join();
    progress_ = nullptr;
    if (!failure_.empty()) throw TrackError(failure_);
    if (cancelled()) throw RunCancelled();
  }

 private:
  bool cancelled() const { return run_.cancel && run_.cancel->load(); }

  struct Task {
    size_t job;
    int part;
  };

  // Names in the output folder: a kept folder pairs/NNNN/ always belongs to
  // the record beside it; it is removed when the pair is matched again
  // without --keep-pairs, and the old record is removed before a new folder
  // takes its place.
  static std::string kept(size_t t) { return "pairs/" + pair_name(t) + "/"; }
  static std::string partial(size_t t) { return "pairs/" + pair_name(t) + ".partial/"; }
  static std::string record(size_t t) { return "pairs/" + pair_name(t) + ".txt"; }

  // The earlier record when it fits; otherwise how the pair will be matched.
  std::unique_ptr<PairJob> plan(size_t t) {
    const Frame& a = tl_.frames[t];
    const Frame& b = tl_.frames[t + 1];
    auto job = std::make_unique<PairJob>();
    job->t = t;
    const int tiling = pair_tiling(a, b, run_);
    job->key = pair_key(a, b, kernel_params(run_), tiling, run_.flush_subnormals);
    PairLinks& pl = links_[t];
    const bool have_kept = out_ && is_dir(out_->path(kept(t)));
    if (out_ && read_record(out_->path(record(t)), job->key, a.count(), b.count(), pl) &&
        (!run_.keep_pairs || have_kept)) {
      pl.reused = true;
      out_->keep(record(t));
      if (have_kept) out_->keep(kept(t));
      return job;
    }
    pl = PairLinks();
    if (a.count() == 0 || b.count() == 0 || is_small_pair(a, b, run_.params)) {
      job->method = PairMethod::kSmall;
    } else if (tiling > 0) {
      job->method = PairMethod::kTiles;
      job->plan = plan_tiles(a, b, run_.params, tiling);
    }
    job->parts.resize(job->method == PairMethod::kTiles ? job->plan.tiles.size() : 1);
    job->left = static_cast<int>(job->parts.size());
    if (out_ && run_.keep_pairs) {
      out_->remove(partial(t));
      out_->claim(partial(t));
      const std::string partial = out_->path(this->partial(t));
      make_dir(partial);
      if (job->method == PairMethod::kTiles) {
        for (size_t k = 0; k < job->parts.size(); ++k) write_tile_inputs(partial + "/" + tile_name(k), job->plan.tiles[k], a, b);
        const std::string list = partial + "/tiles.txt";
        if (!write_file_atomically(list, tiles_text(job->plan, a, b)))
          throw TrackError("cannot write " + list + ": " + std::strerror(errno));
      }
    }
    return job;
  }

  // What the time-left estimate knows of a part before it runs.
  TaskCost task_cost(const PairJob& job, int part) const {
    TaskCost c;
    c.kernel = job.method != PairMethod::kSmall;
    if (job.method == PairMethod::kTiles) {
      const Tile& tile = job.plan.tiles[static_cast<size_t>(part)];
      c.cells = static_cast<double>(std::max(tile.first.size(), tile.second.size()));
    } else {
      c.cells = std::max(tl_.frames[job.t].count(), tl_.frames[job.t + 1].count());
    }
    return c;
  }

  void work() {
    for (size_t k; (k = next_++) < tasks_.size();) {
      if (cancelled()) break;
      try {
        PairJob& job = *jobs_[tasks_[k].job];
        const auto t0 = std::chrono::steady_clock::now();
        run_part(job, tasks_[k].part);
        progress_->task_done(k, std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
        if (--job.left == 0) finish(job);
      } catch (const TrackError& e) {
        std::lock_guard<std::mutex> lock(failure_mutex_);
        if (failure_.empty()) failure_ = e.what();
        next_ = tasks_.size();
      }
    }
  }

  // One tile, or the whole pair, matched silently.
  void run_part(PairJob& job, int part) {
    const Frame& a = tl_.frames[job.t];
    const Frame& b = tl_.frames[job.t + 1];
    const auto t0 = std::chrono::steady_clock::now();
    PairLinks& out = job.parts[static_cast<size_t>(part)];
    const bool keep = out_ && run_.keep_pairs;
    const std::string partial = keep ? out_->path(this->partial(job.t)) : std::string();
    if (job.method == PairMethod::kSmall) {
      out = match_small_pair(a, b, run_.params);
      if (keep) write_small_match(partial, out, a, b);
    } else {
      PairOptions opt;
      opt.threads = threads_;
      opt.flush_subnormals = run_.flush_subnormals;
      opt.first_name = a.source;
      opt.second_name = b.source;
      if (job.method == PairMethod::kTiles) {
        const Tile& tile = job.plan.tiles[static_cast<size_t>(part)];
        if (keep) opt.out_dir = partial + "/" + tile_name(static_cast<size_t>(part));
        const PointSet first = tile_points(a.first, tile.first), second = tile_points(b.second, tile.second);
        out = links_of(match_pair(first, second, kernel_params(run_, tile.params), opt), first.count, second.count);
      } else {
        if (keep) opt.out_dir = partial;
        out = links_of(match_pair(a.first, b.second, kernel_params(run_), opt), a.count(), b.count());
        // A spline that could not be solved: the pair is small or flat enough for the other matcher.
        if (out.singular_solves > 0 && std::max(a.count(), b.count()) <= kSmallPairMaxCells) {
          const int singular = out.singular_solves;
          out = match_small_pair(a, b, run_.params);
          out.singular_solves = singular;
        }
      }
    }
    job.microseconds += static_cast<long>(
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - t0).count());
  }

  // The pair's links from its parts, kept and recorded.
  void finish(PairJob& job) {
    const Frame& a = tl_.frames[job.t];
    const Frame& b = tl_.frames[job.t + 1];
    PairLinks& pl = links_[job.t];
    pl = job.method == PairMethod::kTiles ? stitch_tiles(job.plan, job.parts, a.count(), b.count())
                                          : std::move(job.parts[0]);
    pl.K = a.count();
    pl.M = b.count();
    for (auto& r : pl.row) r.resize(static_cast<size_t>(pl.M), -1);
    job.parts.clear();
    pl.seconds = static_cast<double>(job.microseconds.load()) * 1e-6;
    if (out_) {
      out_->remove(record(job.t));
      out_->remove(kept(job.t));
      if (run_.keep_pairs) {
        out_->claim(kept(job.t));
        if (std::rename(out_->path(partial(job.t)).c_str(), out_->path(kept(job.t)).c_str()) != 0)
          throw TrackError("cannot write " + out_->path(kept(job.t)) + ": " + std::strerror(errno));
      }
      out_->write(record(job.t), record_text(pl, job.key));
    }
    progress_->pair_done(job.t, pl);
  }

  const TimeLapse& tl_;
  const PairRun& run_;
  OutputFolder* out_;
  std::vector<PairLinks>& links_;
  std::vector<std::unique_ptr<PairJob>> jobs_;
  std::vector<Task> tasks_;
  std::atomic<size_t> next_{0};
  int threads_ = 1;
  Progress* progress_ = nullptr;
  std::mutex failure_mutex_;
  std::string failure_;
};

}  // namespace

std::uint64_t pair_key(const Frame& a, const Frame& b, const ParameterSet& p, int tile_cells, bool flush_subnormals) {
  Fnv f;
  f.bytes(kRecordHeader, std::strlen(kRecordHeader));
  hash_set(f, a.first);
  hash_set(f, b.second);
  for (double v : {p.BetaInit, p.BetaIncr, p.BetaMax, p.lambda1, p.lambda2, p.TH, p.rEvar, p.alphaS, p.split_offset,
                   p.BetaSplit, p.SlackInit, p.norm_cut, p.SplitPrior, p.match_threshold, p.split_jitter})
    f.number(v);
  for (int v : {p.MaxSplit, p.nx, p.ny, p.nz, p.Nid, p.Nang, p.Nlen, p.MaxSweeps}) f.number(v);
  if (tile_cells > 0) f.number(tile_cells);
  // The kernel's arithmetic (records made before it was chosen are matched again).
  f.number(p.drop_below);
  f.number(flush_subnormals ? 1 : 0);
  // The early end (a key without it stays as it was).
  if (p.settle_from > 0) {
    f.number(p.settle_from);
    f.number(p.settle_span);
    f.number(p.settle_changes);
  }
  return f.h;
}

namespace {
// The margins of small tiles in a colony that moves far between frames (a
// wide reach) can hold nearly as many cells as the whole pair.
constexpr double kTilesWorth = 0.5;
constexpr int kSmallTilesUpTo = 3000;
}  // namespace

int pair_tiling(const Frame& a, const Frame& b, const PairRun& run) {
  // Past kSmallTilesUpTo cells the small tiles lost links (at 5000 cells,
  // tiles of 250 cells: 0.989 of the links right against 0.999; at 2500 to 2680
  // and at 1400 to 1560 tiles of 150 kept every one).
  const int cells = std::max(a.count(), b.count());
  const int size = cells > kSmallTilesUpTo && run.tile_cells == kChosenTileCells ? kTileCells : run_tile_cells(run);
  const int tiling = pair_tile_cells(a, b, run.params, size);
  if (tiling == 0 || !run.proposal || cells > kPointCapacity) return tiling;
  auto cube = [](double n) { return n * n * n; };
  double tiles = 0.0;
  for (const Tile& tile : plan_tiles(a, b, run.params, tiling).tiles)
    tiles += cube(static_cast<double>(std::max(tile.first.size(), tile.second.size())));
  return tiles <= kTilesWorth * cube(std::max(a.count(), b.count())) ? tiling : 0;
}

int run_tile_cells(const PairRun& run) {
  if (run.tile_cells != kChosenTileCells) return run.tile_cells;
  return run.proposal ? kProposalTileCells : kTileCells;
}

std::vector<PairLinks> match_pairs(const TimeLapse& tl, const PairRun& run) {
  const size_t pairs = tl.frames.size() - 1, n = std::min(pairs - 1, run.last) + 1;  // one past the last to match
  VANTU_REQUIRE(run.first < n, "run.first < the number of pairs");
  // Without a folder, the pairs are matched and nothing is written.
  std::unique_ptr<OutputFolder> own;
  if (!run.folder && !run.out_dir.empty()) own = std::make_unique<OutputFolder>(run.out_dir, std::vector<std::string>{});
  OutputFolder* out = run.folder ? run.folder : own.get();
  if (out) {
    out->claim("pairs/");
    make_dir(out->path("pairs/"));
  }
  std::vector<PairLinks> links(pairs);
  PairMatcher(tl, run, out, links).run(run.first, n);
  return links;
}

std::vector<PairLinks> recorded_pairs(const TimeLapse& tl, const PairRun& run) {
  const size_t n = tl.frames.size() - 1;
  std::vector<PairLinks> links(n);
  std::string missing;
  size_t gap_start = n;  // first pair of the current run of missing ones
  for (size_t t = 0; t <= n; ++t) {
    bool have = false;
    if (t < n) {
      const Frame& a = tl.frames[t];
      const Frame& b = tl.frames[t + 1];
      const std::string record = run.out_dir + "/pairs/" + pair_name(t) + ".txt";
      const int tiling = pair_tiling(a, b, run);
      have = read_record(record, pair_key(a, b, kernel_params(run), tiling, run.flush_subnormals), a.count(),
                         b.count(), links[t]);
      if (have && run.folder) {
        run.folder->keep("pairs/");
        run.folder->keep("pairs/" + pair_name(t) + ".txt");
        if (is_dir(run.out_dir + "/pairs/" + pair_name(t))) run.folder->keep("pairs/" + pair_name(t) + "/");
      }
    }
    if (!have && t < n && gap_start == n) gap_start = t;
    if ((have || t == n) && gap_start < t) {
      missing += (missing.empty() ? "" : ", ") + pair_name(gap_start);
      if (t - 1 > gap_start) missing += "-" + pair_name(t - 1);
      gap_start = n;
    }
  }
  if (!missing.empty())
    throw TrackError(run.out_dir + "/pairs/ lacks the records of pairs " + missing + " (of 0000-" + pair_name(n - 1) +
                     "), or they were made from other cells or parameters: match them with --pairs first");
  return links;
}

}  // namespace vantu
