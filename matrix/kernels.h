// The kernel choice of a run and its time breakdown.
//
// A run computes either with the plain kernels (the literal reference) or
// with the fast ones, which give the same bits. With profiling on, the
// driver adds the wall time of each phase and prints the table at the end,
// on standard error.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace vantu {

enum Phase { kSinkhorn, kBenefits, kDecisions, kSoftBlocks, kSolve, kWarpFiles, kPhaseCount };

class Workers;

struct KernelState {
  bool fast = true;
  int threads = 1;
  bool profile = false;
  double seconds[kPhaseCount] = {};
  double cpu_seconds[kPhaseCount] = {};  // CPU time of the thread that ran the phase
  Workers* workers = nullptr;  // the run's threads for the fast kernels

  // The table of phases: wall time and CPU time of the main thread; total
  // and cpu_total for the whole run (cpu_total: every thread).
  void print_profile(std::FILE* out, double total, double main_cpu, double cpu_total) const;
};

// CPU time of the calling thread, in seconds. On a machine shared with
// other work it shows what a phase costs, where wall time shows how long
// it waited.
double thread_cpu_seconds();

// Adds the time from construction to destruction to one phase, when on.
class PhaseTimer {
 public:
  PhaseTimer(KernelState& ks, Phase ph) : ks_(ks), ph_(ph) {
    if (ks_.profile) {
      t0_ = std::chrono::steady_clock::now();
      cpu0_ = thread_cpu_seconds();
    }
  }
  ~PhaseTimer() {
    if (ks_.profile) {
      ks_.seconds[ph_] += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0_).count();
      ks_.cpu_seconds[ph_] += thread_cpu_seconds() - cpu0_;
    }
  }
  PhaseTimer(const PhaseTimer&) = delete;
  PhaseTimer& operator=(const PhaseTimer&) = delete;

 private:
  KernelState& ks_;
  Phase ph_;
  std::chrono::steady_clock::time_point t0_;
  double cpu0_ = 0.0;
};

// A fixed set of threads for the fast kernels: run(parts, part) calls
// part(t) once for every t = 0 .. parts-1 and returns when all are done;
// thread k of count() takes the parts k, k + count(), ... (the calling
// thread is thread 0). Only work whose result does not depend on the split
// goes through here. Between jobs an idle worker polls for a few tens of
// microseconds (the jobs of an elimination come in quick succession) and
// then sleeps until the next job; the caller waits for the workers the same
// way. A one-thread set has no workers and runs every part itself. The
// workers flush subnormals (base/subnormals.h) when the thread that made
// them did.
class Workers {
 public:
  explicit Workers(int threads = 1);
  ~Workers();
  Workers(const Workers&) = delete;
  Workers& operator=(const Workers&) = delete;

  int count() const { return static_cast<int>(threads_.size()) + 1; }

  // Below this many element operations a job runs on one thread: starting
  // the others would cost more than it saves. (Zero splits every job, which
  // the tests use to run the parallel paths on small data.)
  long min_split = 400000;
  int parts_for(long work) const { return work >= min_split ? count() : 1; }

  template <typename Part>
  void run(int parts, Part&& part) {
    if (parts <= 1 || threads_.empty()) {
      for (int t = 0; t < parts; ++t) part(t);
      return;
    }
    std::function<void(int)> job(std::ref(part));
    dispatch(parts, job);
  }

 private:
  void dispatch(int parts, const std::function<void(int)>& job);
  void loop(int id);
  void run_share(int id);

  std::vector<std::thread> threads_;
  std::mutex mutex_;
  std::condition_variable wake_;  // workers wait here for a job
  std::condition_variable done_;  // the caller waits here for the workers
  const std::function<void(int)>* job_ = nullptr;
  int parts_ = 0;
  std::atomic<unsigned long> generation_{0};
  std::atomic<int> pending_{0};
  std::atomic<int> sleepers_{0};
  std::atomic<bool> caller_waits_{false};
  std::atomic<bool> stop_{false};
};

// First index of part t when n items are split in `parts` nearly equal parts.
inline int part_begin(int n, int parts, int t) { return static_cast<int>(static_cast<long>(n) * t / parts); }

}  // namespace vantu
