#include "matrix/kernels.h"

namespace vantu {

namespace {

// Polls of a waiting thread before it sleeps (a worker) or yields (the
// caller): some hundreds of microseconds, longer than the gaps between the
// jobs of a balancing or an elimination.
constexpr long kSpins = 200000;

inline void relax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#endif
}

}  // namespace

Workers::Workers(int threads) {
  for (int id = 1; id < threads; ++id) threads_.emplace_back([this, id]() { loop(id); });
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

void Workers::dispatch(int parts, const std::function<void(int)>& job) {
  job_ = &job;
  parts_ = parts;
  pending_.store(parts - 1);
  generation_.fetch_add(1);  // publishes the job; a spinning worker starts now
  if (sleepers_.load() > 0) {
    std::lock_guard<std::mutex> lock(mutex_);
    wake_.notify_all();
  }
  job(0);
  for (long spin = 0; pending_.load() != 0; ++spin) {
    if (spin < kSpins)
      relax();
    else
      std::this_thread::yield();
  }
}

void Workers::loop(int id) {
  unsigned long seen = 0;
  for (;;) {
    for (long spin = 0; spin < kSpins && generation_.load() == seen; ++spin) relax();
    if (generation_.load() == seen) {
      std::unique_lock<std::mutex> lock(mutex_);
      sleepers_.fetch_add(1);
      wake_.wait(lock, [&]() { return generation_.load() != seen; });
      sleepers_.fetch_sub(1);
    }
    seen = generation_.load();
    if (stop_) return;
    if (id < parts_) {
      (*job_)(id);
      pending_.fetch_sub(1);
    }
  }
}

}  // namespace vantu
