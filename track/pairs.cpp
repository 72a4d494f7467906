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
#include <mutex>
#include <sstream>
#include <thread>

#include "base/check.h"
#include "run/driver.h"
#include "track/track.h"

namespace vantu {

namespace {

constexpr const char* kRecordHeader = "vantu-track pair record 1";

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

std::string record_text(const PairLinks& pl, std::uint64_t key) {
  std::string text = strprintf("%s\nkey %016" PRIx64 "\ncells %d %d\nseconds %.3f\n", kRecordHeader, key, pl.K, pl.M,
                               pl.seconds);
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
// line per finished pair otherwise.
class Progress {
 public:
  Progress(size_t total, bool bar) : total_(total), bar_(bar), start_(std::chrono::steady_clock::now()) {}

  void pair_done(size_t t, const PairLinks& pl) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++done_;
    const double el = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    const double left = done_ ? el / static_cast<double>(done_) * static_cast<double>(total_ - done_) : 0.0;
    if (bar_) {
      const int width = 30, filled = static_cast<int>(width * done_ / total_);
      std::fprintf(stderr, "\r[%s%s] %zu/%zu pairs, %s elapsed, %s left ", std::string(filled, '#').c_str(),
                   std::string(width - filled, '.').c_str(), done_, total_, clock_text(el).c_str(),
                   clock_text(left).c_str());
      if (done_ == total_) std::fputc('\n', stderr);
    } else {
      std::fprintf(stderr, "pair %s done%s (%zu/%zu), %s elapsed, %s left\n", pair_name(t).c_str(),
                   pl.reused ? " earlier" : "", done_, total_, clock_text(el).c_str(), clock_text(left).c_str());
    }
    std::fflush(stderr);
  }

 private:
  std::mutex mutex_;
  size_t total_, done_ = 0;
  bool bar_;
  std::chrono::steady_clock::time_point start_;
};

// Matches pair t (frames t and t+1), or takes its earlier record. A kept
// folder pairs/NNNN/ always belongs to the record beside it: it is removed
// when the pair is matched again without --keep-pairs, and the old record is
// removed before a new folder takes its place.
PairLinks match_one(const TimeLapse& tl, size_t t, const PairRun& run, OutputFolder& out, int threads) {
  const Frame& a = tl.frames[t];
  const Frame& b = tl.frames[t + 1];
  const std::uint64_t key = pair_key(a, b, run.params);
  const std::string record = "pairs/" + pair_name(t) + ".txt";
  const std::string kept = "pairs/" + pair_name(t) + "/";
  const std::string partial = "pairs/" + pair_name(t) + ".partial/";

  PairLinks pl;
  const bool have_kept = is_dir(out.path(kept));
  if (read_record(out.path(record), key, a.count(), b.count(), pl) && (!run.keep_pairs || have_kept)) {
    pl.reused = true;
    out.keep(record);
    if (have_kept) out.keep(kept);
    return pl;
  }

  pl = PairLinks();
  pl.K = a.count();
  pl.M = b.count();
  for (auto& r : pl.row) r.assign(static_cast<size_t>(pl.M), -1);
  const auto t0 = std::chrono::steady_clock::now();
  if (run.keep_pairs) {
    out.remove(partial);
    out.claim(partial);
    make_dir(out.path(partial));
  }
  if (pl.K > 0 && pl.M > 0) {
    PairOptions opt;
    opt.threads = threads;
    opt.first_name = a.source;
    opt.second_name = b.source;
    if (run.keep_pairs) opt.out_dir = out.path(partial);
    const PairResult r = match_pair(a.first, b.second, run.params, opt);
    // A pair the matcher cannot take (one cell into more than two) keeps no links.
    if (r.status == 0)
      for (int l = 0; l < 3; ++l) pl.row[l] = r.matched_row[l];
  }
  pl.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  out.remove(record);
  out.remove(kept);
  if (run.keep_pairs) {
    out.claim(kept);
    if (std::rename(out.path(partial).c_str(), out.path(kept).c_str()) != 0)
      throw TrackError("cannot write " + out.path(kept) + ": " + std::strerror(errno));
  }
  out.write(record, record_text(pl, key));
  return pl;
}

}  // namespace

std::uint64_t pair_key(const Frame& a, const Frame& b, const ParameterSet& p) {
  Fnv f;
  f.bytes(kRecordHeader, std::strlen(kRecordHeader));
  hash_set(f, a.first);
  hash_set(f, b.second);
  for (double v : {p.BetaInit, p.BetaIncr, p.BetaMax, p.lambda1, p.lambda2, p.TH, p.rEvar, p.alphaS, p.split_offset,
                   p.BetaSplit, p.SlackInit, p.norm_cut, p.SplitPrior, p.match_threshold, p.split_jitter})
    f.number(v);
  for (int v : {p.MaxSplit, p.nx, p.ny, p.nz, p.Nid, p.Nang, p.Nlen, p.MaxSweeps}) f.number(v);
  return f.h;
}

std::vector<PairLinks> match_pairs(const TimeLapse& tl, const PairRun& run) {
  const size_t pairs = tl.frames.size() - 1, n = std::min(pairs - 1, run.last) + 1;  // one past the last to match
  VANTU_REQUIRE(run.first < n, "run.first < the number of pairs");
  OutputFolder own(run.out_dir, {});
  OutputFolder& out = run.folder ? *run.folder : own;
  out.claim("pairs/");
  make_dir(out.path("pairs/"));
  std::vector<PairLinks> links(pairs);
  const int jobs = std::max(1, std::min<int>(run.jobs, static_cast<int>(n - run.first)));
  // With fewer pairs than jobs, a pair's matcher takes the second core.
  const int threads = run.jobs >= 2 * jobs ? 2 : 1;
  Progress progress(n - run.first, run.progress_bar);
  std::atomic<size_t> next{run.first};
  std::mutex failure_mutex;
  std::string failure;
  auto worker = [&]() {
    for (size_t t; (t = next++) < n;) {
      try {
        links[t] = match_one(tl, t, run, out, threads);
        progress.pair_done(t, links[t]);
      } catch (const TrackError& e) {
        std::lock_guard<std::mutex> lock(failure_mutex);
        if (failure.empty()) failure = e.what();
        next = n;
      }
    }
  };
  std::vector<std::thread> pool;
  for (int k = 1; k < jobs; ++k) pool.emplace_back(worker);
  worker();
  for (auto& th : pool) th.join();
  if (!failure.empty()) throw TrackError(failure);
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
      have = read_record(record, pair_key(a, b, run.params), a.count(), b.count(), links[t]);
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
