#include "matrix/kernels.h"

#include "base/subnormals.h"

#include <ctime>

namespace vantu {

namespace {

// How long a waiting thread polls before it sleeps: longer than the gaps
// between the jobs of an elimination, short enough that an idle worker
// leaves its core to whatever else runs on the machine.
constexpr std::chrono::microseconds kPollTime(50);

inline void relax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#endif
}

// Polls done() for up to kPollTime; true when it became true.
template <typename Done>
bool poll_briefly(Done done) {
  const auto end = std::chrono::steady_clock::now() + kPollTime;
  for (;;) {
    for (int k = 0; k < 64; ++k) {
      if (done()) return true;
      relax();
    }
    if (std::chrono::steady_clock::now() >= end) return done();
  }
}

}  // namespace

double thread_cpu_seconds() {
  timespec ts;
  if (clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts) != 0) return 0.0;
  return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

Workers::Workers(int threads) {
  // The workers treat subnormals as the thread that made them does.
  const bool flush = flushing_subnormals();
  for (int id = 1; id < threads; ++id)
    threads_.emplace_back([this, id, flush]() {
      SubnormalMode mode(flush);
      loop(id);
    });
}

Workers::~Workers() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
    generation_.fetch_add(1);
  }
  wake_.notify_all();
  for (auto& t : threads_) t.join();
}

void Workers::run_share(int id) {
  for (int t = id; t < parts_; t += count()) (*job_)(t);
}

void Workers::dispatch(int parts, const std::function<void(int)>& job) {
  job_ = &job;
  parts_ = parts;
  pending_.store(static_cast<int>(threads_.size()));
  generation_.fetch_add(1);  // publishes the job; a polling worker starts now
  if (sleepers_.load() > 0) {
    std::lock_guard<std::mutex> lock(mutex_);
    wake_.notify_all();
  }
  run_share(0);
  if (poll_briefly([this]() { return pending_.load() == 0; })) return;
  // A worker that finds caller_waits_ set after its decrement notifies under
  // the mutex; the predicate is checked under the same mutex, so either the
  // predicate sees the last decrement or the wait gets the notification.
  std::unique_lock<std::mutex> lock(mutex_);
  caller_waits_.store(true);
  done_.wait(lock, [this]() { return pending_.load() == 0; });
  caller_waits_.store(false);
}

void Workers::loop(int id) {
  unsigned long seen = 0;
  for (;;) {
    if (!poll_briefly([&]() { return generation_.load() != seen; })) {
      std::unique_lock<std::mutex> lock(mutex_);
      sleepers_.fetch_add(1);
      wake_.wait(lock, [&]() { return generation_.load() != seen; });
      sleepers_.fetch_sub(1);
    }
    seen = generation_.load();
    if (stop_) return;
    run_share(id);
    if (pending_.fetch_sub(1) == 1 && caller_waits_.load()) {
      std::lock_guard<std::mutex> lock(mutex_);
      done_.notify_one();
    }
  }
}

}  // namespace vantu
