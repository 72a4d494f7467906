// The time-left estimate of the pair matching.
//
// Small pairs cost next to nothing; a kernel task's time grows with its
// cells, by about their square over the sizes of whole pairs and tiles
// (measured per pair on simulated colonies growing from 2 to 310 cells: a fit
// over all pairs gives 1.8 to 2.0; a fit over the first pairs alone, whose
// times are short and noisy, gives as little as 1.2, and extrapolated from
// there the estimate came out half the truth). So the exponent is fitted over
// the kernel tasks done, their logarithms weighted by their seconds, and held
// between 1.9 and 3 (on that movie the estimate then stayed within a factor
// 1.38 of the truth after the first tenth of the work; with 2 as the least,
// 1.27, but 1.5 on a colony whose pairs cost cells^1.8); the scale comes
// from the tasks done. The seconds left are
// the elapsed seconds times the expected seconds of the tasks to do over
// those of the tasks done: that ratio carries the number of jobs and the
// load of the machine.
#include <algorithm>
#include <cmath>

#include "track/pairs/pairs.h"

namespace vantu {

namespace {

// The cost exponent of the kernel tasks done (see above).
double fitted_exponent(const std::vector<TaskCost>& tasks) {
  double w = 0, mx = 0, my = 0, lo = HUGE_VAL, hi = -HUGE_VAL;
  int n = 0;
  for (const TaskCost& t : tasks)
    if (t.kernel && t.seconds > 0 && t.cells > 0) {
      const double x = std::log(t.cells);
      w += t.seconds;
      mx += t.seconds * x;
      my += t.seconds * std::log(t.seconds);
      lo = std::min(lo, x);
      hi = std::max(hi, x);
      ++n;
    }
  if (n < 3 || hi - lo < std::log(kTimeLeftSpread)) return 2.0;
  mx /= w;
  my /= w;
  double sxy = 0, sxx = 0;
  for (const TaskCost& t : tasks)
    if (t.kernel && t.seconds > 0 && t.cells > 0) {
      const double dx = std::log(t.cells) - mx;
      sxy += t.seconds * dx * (std::log(t.seconds) - my);
      sxx += t.seconds * dx * dx;
    }
  return std::min(3.0, std::max(kTimeLeftLeastExponent, sxy / sxx));
}

}  // namespace

double time_left(const std::vector<TaskCost>& tasks, double elapsed) {
  const double p = fitted_exponent(tasks);
  double kernel_seconds = 0, kernel_units = 0, small_seconds = 0;
  int small_done = 0;
  bool kernel_left = false;
  for (const TaskCost& t : tasks) {
    const bool done = t.seconds >= 0;
    if (t.kernel && done) {
      kernel_seconds += t.seconds;
      kernel_units += std::pow(t.cells, p);
    } else if (done) {
      small_seconds += t.seconds;
      ++small_done;
    }
    kernel_left = kernel_left || (t.kernel && !done);
  }
  if (kernel_left && !(kernel_seconds > 0 && kernel_units > 0)) return -1;
  const double a = kernel_units > 0 ? kernel_seconds / kernel_units : 0.0;
  const double small = small_done > 0 ? small_seconds / small_done : 0.0;
  double done = 0, left = 0;
  for (const TaskCost& t : tasks) {
    const double expected = t.kernel ? a * std::pow(t.cells, p) : small;
    (t.seconds >= 0 ? done : left) += expected;
  }
  if (!(done > 0) || done < kTimeLeftAfter * (done + left)) return -1;
  return elapsed * left / done;
}

}  // namespace vantu
