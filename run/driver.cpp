#include "run/driver.h"

#ifndef VANTU_VERSION
#define VANTU_VERSION "unknown"
#endif

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <thread>

#include "match/sparse1.h"
#include "base/check.h"
#include "base/subnormals.h"
#include "run/config.h"

namespace vantu {

double DriverState::elapsed() const {
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
  return static_cast<double>(ms.count()) / 1000;
}

namespace {

double process_cpu_seconds() {
  timespec ts;
  if (clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts) != 0) return 0.0;
  return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}


// K = 1: one cell of the first frame either moved (M = 1) or divided (M = 2).
[[noreturn]] void settle_single_point(Run& run) {
  const int M = run.points.second.count;
  MatchState& ms = run.match;
  ms.M = 2;
  clear_matches(ms);
  const int n = round_to_int(run.points.first.id[0]);
  if (M == 1) {
    ms.matched_id[0][0] = n;
    ms.matched_row[0][0] = 0;
  } else if (M == 2) {
    ms.matched_id[1][1] = n;  // second-set point 1 is the first daughter
    ms.matched_id[2][0] = n;  // point 0 the second
    ms.matched_row[1][1] = ms.matched_row[2][0] = 0;
  } else {
    throw RunEnd{1, "non-supported case K=1, M>2\n"};
  }
  if (run.write_files)
    run.files.check(write_match(run.files.path("Match.dat").c_str(), M, ms.matched_id[0].data(),
                                ms.matched_id[1].data(), ms.matched_id[2].data(), run.points.second.id.data(), 1),
                    "Match.dat");
  throw RunEnd{0, ""};
}

// A matrix file of the run, through the plain or the fast writer.
void write_matrix_file(Run& run, const char* name, int rows, const double* values, int cols) {
  const std::string path = run.files.path(name);
  const bool written = run.kernels.fast ? write_matrix_fast(path.c_str(), rows, values, cols, run.kernels.workers)
                                        : write_matrix(path.c_str(), rows, values, cols);
  run.files.check(written, name);
}

void write_level_files(Run& run, int l, const char* perm_name, const char* slack_name) {
  MatchState& ms = run.match;
  if (run.kernels.fast) {
    // A full pattern is the dense matrix already.
    const double* perm = run.driver.perm_buffer.data();
    if (full_patterns(ms))
      perm = ms.EA[l].data() + 1;
    else
      sparse_to_dense(run.driver.perm_buffer.data(), ms.EA[l].data(), ms.cntr[l].data());
    write_matrix_file(run, perm_name, ms.K, perm, ms.M);
    write_matrix_file(run, slack_name, ms.K, ms.vslack[l].data(), 1);
    return;
  }
  double* perm = run.driver.perm_buffer.data();
  sparse_to_dense(perm, ms.EA[l].data(), ms.cntr[l].data());
  write_matrix_file(run, perm_name, ms.K, perm, ms.M);
  write_matrix_file(run, slack_name, ms.K, ms.vslack[l].data(), 1);
}

void write_start_of_step_files(Run& run) {
  if (!run.write_files) return;
  PhaseTimer timer(run.kernels, kWarpFiles);
  const int S = run.params.MaxSplit;
  if (S >= 3) write_level_files(run, 2, "Perm2.dat", "v2slack.dat");
  if (S >= 2) write_level_files(run, 1, "Perm1.dat", "v1slack.dat");
  write_level_files(run, 0, "Perm0.dat", "v0slack.dat");
  write_matrix_file(run, "h0slack.dat", run.match.M, run.match.hslack.data(), 1);
}

// "Match.dat": the hard matches of every level beside the second set's ids.
void write_match_file(Run& run) {
  if (!run.write_files) return;
  PhaseTimer timer(run.kernels, kWarpFiles);
  const MatchState& ms = run.match;
  auto write = run.kernels.fast ? write_match_fast : write_match;
  run.files.check(write(run.files.path("Match.dat").c_str(), ms.M, ms.matched_id[0].data(),
                        ms.matched_id[1].data(), ms.matched_id[2].data(), run.points.second.id.data(), 1),
                  "Match.dat");
}

// The point files of the levels ("out.dat", "out1.dat", "out2.dat") and the
// spline coefficients "tps_c.dat", after each spline step. (The
// coefficients go through the fast writer on one thread.)
void write_spline_files(Run& run) {
  if (!run.write_files) return;
  PhaseTimer timer(run.kernels, kWarpFiles);
  const MatchState& ms = run.match;
  const int M = ms.M;
  auto write_points = run.kernels.fast ? write_triples_fast : write_triples;
  const char* const names[3] = {"out.dat", "out1.dat", "out2.dat"};
  for (int l = 0; l < run.params.MaxSplit && l < 3; ++l)
    run.files.check(write_points(run.files.path(names[l]).c_str(), M, ms.level_points[l].data(), ms.vij.data(),
                                 ms.warped_points.data(), 3),
                    names[l]);
  const std::string path = run.files.path("tps_c.dat");
  const double* tpsc = run.spline.tpsc.data();
  const bool written = run.kernels.fast ? write_matrix_fast(path.c_str(), M + 3, tpsc, 3, nullptr)
                                        : write_matrix(path.c_str(), M + 3, tpsc, 3);
  run.files.check(written, "tps_c.dat");
}

double balance(Run& run) {
  PhaseTimer timer(run.kernels, kSinkhorn);
  if (run.kernels.fast) return sinkhorn_fast(run.match, run.params, *run.kernels.workers);
  return sinkhorn(run.match, run.params);
}

void benefits(Run& run) {
  PhaseTimer timer(run.kernels, kBenefits);
  const DriverState& dr = run.driver;
  if (run.kernels.fast)
    update_benefits_fast(run.match, run.params, dr.Beta, run.params.split_offset, *run.kernels.workers);
  else
    update_benefits(run.match, run.params, dr.Beta, run.params.split_offset);
}

void decide(Run& run, int l) {
  PhaseTimer timer(run.kernels, kDecisions);
  if (run.kernels.fast)
    decide_matches_fast(run.match, run.params, l);
  else
    decide_matches(run.match, run.params, l);
}

void spline_update(Run& run) {
  if (run.kernels.fast) {
    tps_update_fast(run.spline, run.match, run.params, run.kernels);
  } else {
    PhaseTimer timer(run.kernels, kSoftBlocks);  // the plain update is timed as one
    tps_update(run.spline, run.match, run.params);
  }
  write_spline_files(run);
}

// Balancing, decisions, progress line, "Match.dat", spline, benefits.
void inner_iteration(Run& run) {
  const ParameterSet& p = run.params;
  MatchState& ms = run.match;
  DriverState& dr = run.driver;
  balance(run);
  decide(run, 0);
  dr.m0 = ms.match_count;
  if (p.MaxSplit == 1)
    dr.progress_line = strprintf("  Beta: %g, # matches: %d time,(sec):  %g", dr.Beta, dr.m0, dr.elapsed());
  if (p.MaxSplit >= 2) {
    decide(run, 1);
    dr.m1 = ms.match_count;
    if (p.MaxSplit == 2)
      dr.progress_line = strprintf("  Beta: %g. matches-Ds: %d-%d. time,(sec):  %g", dr.Beta, dr.m0, dr.m1, dr.elapsed());
  }
  if (p.MaxSplit >= 3) {
    decide(run, 2);
    if (p.MaxSplit == 3)
      dr.progress_line = strprintf("  Beta: %g; NonSplits-Drs1-Drs2: %d-%d-%d; time(sec):  %g", dr.Beta, dr.m0,
                                     dr.m1, ms.match_count, dr.elapsed());
  }
  const double t = dr.elapsed();
  if (std::fabs(t - dr.last_print) > 10.0) {
    if (dr.console) {
      std::fprintf(dr.console, "%s\n", dr.progress_line.c_str());
      std::fflush(dr.console);
    }
    dr.last_print = t;
  }
  write_match_file(run);
  spline_update(run);
  benefits(run);
}

// Watches the hard matches after each temperature step for
// ParameterSet::settle_from, settle_span and settle_changes.
struct SettleWatch {
  std::vector<int> last[3];
  double since = 0.0;  // the Beta of the step after which the matches last changed

  // True when the annealing may end after the step at `beta`.
  bool settled(const MatchState& ms, const ParameterSet& p, double beta) {
    if (!(p.settle_from > 0)) return false;
    // Changes of hard matches in this step, over every level.
    size_t changed = 0, cells = 0;
    for (int l = 0; l < 3; ++l) {
      const std::vector<int>& now = ms.matched_row[l];
      cells = std::max(cells, now.size());
      if (last[l].size() != now.size()) {
        changed += now.size();
      } else {
        for (size_t j = 0; j < now.size(); ++j) changed += now[j] != last[l][j];
      }
      last[l] = now;
    }
    const bool same = since > 0 && static_cast<double>(changed) <= p.settle_changes * static_cast<double>(cells);
    if (!same) since = beta;
    return same && beta >= p.settle_from && beta >= since * p.settle_span;
  }
};

}  // namespace

void run_annealing(Run& run, const std::string& first_file, const std::string& second_file) {
  run.points.first_file = first_file;
  run.points.second_file = second_file;
  run.driver.start = std::chrono::steady_clock::now();
  load_point_sets(run.points, run.params);
  anneal_point_sets(run);
}

void anneal_point_sets(Run& run) {
  ParameterSet& p = run.params;
  DriverState& dr = run.driver;
  MatchState& ms = run.match;
  SplineState& sp = run.spline;

  // The fast kernels need the run's threads; a run started without them
  // gets its own for its duration.
  struct OwnWorkers {
    KernelState& ks;
    std::unique_ptr<Workers> own;
    explicit OwnWorkers(KernelState& k) : ks(k) {
      if (ks.fast && !ks.workers) {
        own.reset(new Workers(ks.threads));
        ks.workers = own.get();
      }
    }
    ~OwnWorkers() {
      if (own) ks.workers = nullptr;
    }
  } own_workers(run.kernels);

  dr.last_print = 0.0;
  sp.warnings.console = dr.console;  // singular solves are told where the run's lines go
  if (dr.console) print_loading_lines(run.points, dr.console);
  const int K = run.points.first.count, M = run.points.second.count;
  if (K == 1) settle_single_point(run);
  if (K == 0 || M == 0)
    throw RunEnd{1, strprintf("ERROR: nothing to match (K=%d, M=%d)\n", K, M)};

  ms.sparse_eps = 0.0;
  sp.tpsc.assign(3 * static_cast<size_t>(M + 3), 0.0);
  mat_identity(3, 3, sp.tpsc.data());
  init_match_geometry(ms, run.points, p);
  if (p.MaxSplit > 1) init_split_positions(ms, run.points, p);
  build_kernel(sp, ms);
  match_init(ms, p);
  reset_slacks(ms, p);
  dr.perm_buffer.resize(static_cast<size_t>(K) * M);
  dr.saved_split_offset = p.split_offset;
  p.lambda1 = p.lambda1 * kernel_scale(sp);
  p.lambda2 = p.lambda2 * point_spread(ms);
  dr.Beta = p.BetaInit;

  SettleWatch settle;
  while (dr.Beta < p.BetaMax) {
    p.split_offset = dr.Beta > p.BetaSplit ? dr.saved_split_offset : -10000.0;
    write_start_of_step_files(run);
    balance(run);
    benefits(run);
    for (int it = 0; it < 4; ++it) inner_iteration(run);
    const bool settled = settle.settled(ms, p, dr.Beta);
    p.lambda1 = p.lambda1 / p.BetaIncr;
    p.lambda2 = p.lambda2 / p.BetaIncr;
    dr.Beta = dr.Beta * p.BetaIncr;
    if (settled) break;
  }
  release_work(run);
}

void release_work(Run& run) {
  // The last hard matches are the run's answer and stay.
  MatchState kept;
  for (int l = 0; l < 3; ++l) {
    kept.matched_id[l].swap(run.match.matched_id[l]);
    kept.matched_row[l].swap(run.match.matched_row[l]);
  }
  run.match = std::move(kept);
  const SolverWarnings warnings = run.spline.warnings;
  run.spline = SplineState();
  run.spline.warnings = warnings;
  run.driver.perm_buffer = std::vector<double>();
  run.driver.progress_line = std::string();
}

void KernelState::print_profile(std::FILE* out, double total, double main_cpu, double cpu_total) const {
  static const char* const names[kPhaseCount] = {"sinkhorn", "benefits", "decisions", "soft targets+blocks",
                                                 "solve", "warp+files"};
  double sum = 0.0, cpu_sum = 0.0;
  std::fprintf(out, "profile (%s kernels, %d thread%s; wall time, CPU time of the main thread):\n",
               fast ? "fast" : "plain", threads, threads == 1 ? "" : "s");
  for (int k = 0; k < kPhaseCount; ++k) {
    sum += seconds[k];
    cpu_sum += cpu_seconds[k];
    std::fprintf(out, "  %-20s %10.3f s %10.3f s cpu\n", names[k], seconds[k], cpu_seconds[k]);
  }
  std::fprintf(out, "  %-20s %10.3f s %10.3f s cpu\n", "other", total - sum, main_cpu - cpu_sum);
  std::fprintf(out, "  %-20s %10.3f s %10.3f s cpu\n", "total", total, main_cpu);
  std::fprintf(out, "  %-20s %10s   %10.3f s cpu\n", "all threads", "", cpu_total);
}

namespace {

// The temperature loop runs while Beta < BetaMax from BetaInit, multiplying
// Beta by BetaIncr after each step. It carries out a finite number of steps,
// all at finite Beta, when it starts at or above BetaMax (a NaN BetaInit or
// BetaMax included: the first comparison fails), or when a positive start
// grows by a finite factor above 1 towards a finite BetaMax. Growth has to be
// seen on the first step: a subnormal BetaInit times a factor close to 1
// rounds back to itself and would stay there; once Beta grows it keeps
// growing until it passes BetaMax. Any other start with BetaInit < BetaMax
// (zero or negative Beta, factor 1 or less, infinite or NaN factor, infinite
// BetaMax) never ends or goes through a Beta that is not finite.
bool annealing_ends(double init, double incr, double max) {
  if (!(init < max)) return true;
  return init > 0 && incr > 1 && std::isfinite(incr) && std::isfinite(max) && init * incr > init;
}

}  // namespace

void check_supported(const ParameterSet& p) {
  if (p.MaxSplit < 1 || p.MaxSplit > 3)
    throw RunEnd{1, strprintf("ERROR: MaxSplit=%d is not supported (use 1, 2 or 3)\n", p.MaxSplit)};
  if (!annealing_ends(p.BetaInit, p.BetaIncr, p.BetaMax))
    throw RunEnd{1, strprintf("ERROR: the annealing never ends (BetaInit=%g, BetaIncr=%g, BetaMax=%g)\n",
                              p.BetaInit, p.BetaIncr, p.BetaMax)};
}

PairResult match_pair(const PointSet& first, const PointSet& second, const ParameterSet& params,
                      const PairOptions& options) {
  const SubnormalMode subnormals(options.flush_subnormals);
  Run run;
  run.params = params;
  run.points.first = first;
  run.points.second = second;
  run.points.first_file = options.first_name;
  run.points.second_file = options.second_name;
  run.files.dir = options.out_dir;
  run.write_files = !options.out_dir.empty();
  run.files.quiet = true;
  run.driver.console = options.console;
  run.driver.start = std::chrono::steady_clock::now();
  run.kernels.fast = options.fast;
  run.kernels.threads = options.fast && options.threads >= 2 ? 2 : 1;

  PairResult result;
  result.K = first.count;
  result.M = second.count;
  auto take_matches = [&]() {
    for (int l = 0; l < 3; ++l) {
      result.matched_row[l] = run.match.matched_row[l];
      result.matched_row[l].resize(static_cast<size_t>(result.M), -1);
    }
  };
  try {
    check_supported(params);
    anneal_point_sets(run);
  } catch (const RunEnd& end) {
    result.status = end.status;
    result.message = end.message;
  }
  take_matches();
  result.singular_solves = run.spline.warnings.singular;
  result.unwritten.assign(run.files.warned.begin(), run.files.warned.end());
  return result;
}

namespace {

constexpr const char* kUsage =
    "Usage: %s [--flush-subnormals] [--drop-below W] [--settle R,S,C] [--sweeps N]\n"
    "       [FIRST_FRAME_FILE SECOND_FRAME_FILE]\n"
    "\n"
    "Matches the cells of two frames of a growing, dividing colony and estimates the\n"
    "smooth warp between the frames. Reads softconfig.dat from the working directory\n"
    "and writes the result files there (Match.dat, the slack and permutation\n"
    "matrices, out.dat, tps_c.dat). Without files it runs the bundled pair\n"
    "newbact/image026.dat and newbact/image029.dat.\n"
    "\n"
    "  -h, --help           print this text and exit\n"
    "  --version            print the version and exit\n"
    "  --flush-subnormals   treat subnormal numbers as zero, as vantu-track's\n"
    "                       matcher does (faster; results can differ)\n"
    "  --drop-below W       give every pair whose balanced weight cannot reach W\n"
    "                       the weight 0, as vantu-track's matcher does (W > 0)\n"
    "  --settle R,S,C       end the annealing once Beta is at least R times\n"
    "                       BetaInit and, while Beta grew S times, no step changed\n"
    "                       more than the share C of the hard matches, as\n"
    "                       vantu-track's matcher does where its assignment decides\n"
    "  --sweeps N           balance the match weights in at most N sweeps (default\n"
    "                       400), as vantu-track's matcher does where its\n"
    "                       assignment decides\n"
    "\n"
    "With the options as vantu-track takes them (--flush-subnormals\n"
    "--drop-below 1e-12 --settle 4,1.5,0.02 --sweeps 150; without --settle and\n"
    "--sweeps for its runs with --no-assign or --raw), the result files it keeps\n"
    "with --keep-pairs are written again.\n"
    "\n"
    "A frame file named like an option is given with its folder: ./--help\n";

}  // namespace

bool answered_usage(int argc, char** argv, const char* program) {
  for (int k = 1; k < argc && k < 3; ++k) {
    const std::string a = argv[k];
    if (a == "-h" || a == "--help") {
      std::printf(kUsage, program);
      return true;
    }
    if (a == "--version") {
      std::printf("%s %s\n", program, VANTU_VERSION);
      return true;
    }
  }
  return false;
}

int vantu_main(int argc, char** argv, bool fast) {
  if (answered_usage(argc, argv, fast ? "vantu" : "vantu-plain")) return 0;
  bool flush = false;
  double drop_below = 0.0;
  double settle[3] = {0.0, 0.0, 0.0};
  int sweeps = 0;  // 0: the default
  int k = 1;
  for (; k < argc; ++k) {
    const std::string a = argv[k];
    if (a == "--flush-subnormals") {
      flush = true;
    } else if (a == "--drop-below" || a.rfind("--drop-below=", 0) == 0) {
      const bool inline_value = a.size() > std::strlen("--drop-below");
      if (!inline_value && k + 1 >= argc) {
        std::fprintf(stderr, "%s: --drop-below needs a value\n", argv[0]);
        return 1;
      }
      const std::string text = inline_value ? a.substr(std::strlen("--drop-below=")) : argv[++k];
      char* end = nullptr;
      drop_below = std::strtod(text.c_str(), &end);
      if (text.empty() || *end != '\0' || !(drop_below > 0) || !std::isfinite(drop_below) || drop_below >= 1) {
        std::fprintf(stderr, "%s: --drop-below %s: give a weight between 0 and 1, such as 1e-12\n", argv[0],
                     text.c_str());
        return 1;
      }
    } else if (a == "--settle") {
      const std::string text = k + 1 < argc ? argv[++k] : "";
      char tail = 0;
      if (std::sscanf(text.c_str(), "%lf,%lf,%lf%c", &settle[0], &settle[1], &settle[2], &tail) != 3 ||
          !(settle[0] > 0) || !(settle[1] >= 1) || !(settle[2] >= 0) || !std::isfinite(settle[0]) ||
          !std::isfinite(settle[1]) || !(settle[2] < 1)) {
        std::fprintf(stderr, "%s: --settle %s: give R,S,C with R > 0, S >= 1 and 0 <= C < 1, such as 4,1.5,0.02\n",
                     argv[0], text.c_str());
        return 1;
      }
    } else if (a == "--sweeps") {
      const std::string text = k + 1 < argc ? argv[++k] : "";
      char* end = nullptr;
      const long n = std::strtol(text.c_str(), &end, 10);
      if (text.empty() || *end != '\0' || n < 1 || n > 1000000) {
        std::fprintf(stderr, "%s: --sweeps %s: give a whole number from 1 to 1000000, such as 150\n", argv[0],
                     text.c_str());
        return 1;
      }
      sweeps = static_cast<int>(n);
    } else {
      break;
    }
  }
  const SubnormalMode subnormals(flush);
  std::string first = "newbact/image026.dat", second = "newbact/image029.dat";
  if (argc - k >= 2) {
    first = argv[k];
    second = argv[k + 1];
  }
  Run run;
  run.kernels.fast = fast;
  if (fast) {
    const unsigned hw = std::thread::hardware_concurrency();
    run.kernels.threads = hw >= 2 ? 2 : 1;
    const char* nt = std::getenv("VANTU_THREADS");  // 1 or 2 overrides, for measurements
    if (nt && (std::strcmp(nt, "1") == 0 || std::strcmp(nt, "2") == 0)) run.kernels.threads = *nt - '0';
  }
  const char* prof = std::getenv("VANTU_PROFILE");
  run.kernels.profile = prof && std::strcmp(prof, "1") == 0;
  Workers workers(run.kernels.threads);
  const char* split = std::getenv("VANTU_MIN_SPLIT");  // smallest job split over threads (tests)
  if (split && *split) workers.min_split = std::atol(split);
  run.kernels.workers = &workers;
  const auto t0 = std::chrono::steady_clock::now();
  const double cpu0 = thread_cpu_seconds(), process_cpu0 = process_cpu_seconds();
  auto report = [&]() {
    if (run.kernels.profile)
      run.kernels.print_profile(stderr, std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(),
                                thread_cpu_seconds() - cpu0, process_cpu_seconds() - process_cpu0);
  };
  try {
    std::printf("\n\nFiles:\n\n  %s\n  %s\n\n", first.c_str(), second.c_str());
    load_config(run.params);
    run.params.drop_below = drop_below;
    run.params.settle_from = settle[0] * run.params.BetaInit;
    run.params.settle_span = settle[1];
    run.params.settle_changes = settle[2];
    if (sweeps > 0) run.params.MaxSweeps = sweeps;
    print_parameter_report(run.params, stdout);
    std::printf("\n\n");
    check_supported(run.params);
    run_annealing(run, first, second);
    std::printf("\n\nend of process\n");
  } catch (const RunEnd& end) {
    std::fputs(end.message.c_str(), stdout);
    std::fflush(stdout);
    report();
    return end.status;
  }
  std::fflush(stdout);
  report();
  return 0;
}

}  // namespace vantu
