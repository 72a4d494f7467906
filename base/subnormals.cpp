#include "base/subnormals.h"

#if defined(__x86_64__)
#include <xmmintrin.h>
#define VANTU_HAVE_MXCSR 1
#endif

namespace vantu {

#ifdef VANTU_HAVE_MXCSR
namespace {
constexpr unsigned kFlushToZero = 1u << 15;
constexpr unsigned kDenormalsAreZero = 1u << 6;
constexpr unsigned kBoth = kFlushToZero | kDenormalsAreZero;
}  // namespace

bool flushing_subnormals() { return (_mm_getcsr() & kBoth) == kBoth; }

SubnormalMode::SubnormalMode(bool on) : saved_(_mm_getcsr()) {
  _mm_setcsr(on ? (saved_ | kBoth) : (saved_ & ~kBoth));
}

SubnormalMode::~SubnormalMode() {
  // Only the two bits go back: the exception flags the thread raised
  // meanwhile stay raised.
  _mm_setcsr((_mm_getcsr() & ~kBoth) | (saved_ & kBoth));
}
#else
bool flushing_subnormals() { return false; }
SubnormalMode::SubnormalMode(bool) {}
SubnormalMode::~SubnormalMode() {}
#endif

}  // namespace vantu
