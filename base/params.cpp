#include "base/params.h"

#include <climits>
#include <cmath>

namespace vantu {

int round_to_int(double value, bool* ok) {
  double t = std::trunc(value + 0.5);
  bool fits = std::isfinite(t) && t >= -2147483648.0 && t <= 2147483647.0;
  if (ok) *ok = fits;
  return fits ? static_cast<int>(t) : INT_MIN;
}

}  // namespace vantu
