// Subnormal numbers in the calling thread's arithmetic.
//
// On x86-64 the SSE control register MXCSR holds two bits that make the
// processor treat subnormal doubles as zero: flush-to-zero (bit 15, a result
// that would be subnormal becomes +-0) and denormals-are-zero (bit 6, a
// subnormal operand is read as +-0). Each thread has its own MXCSR. With both
// set, an operation never takes the processor's slow path for subnormals;
// results that stay normal keep every bit. On other processors nothing is
// changed and flushing_subnormals() is false.
#pragma once

namespace vantu {

// True when the calling thread flushes subnormals (both bits set).
bool flushing_subnormals();

// Sets (on = true) or clears both bits in the calling thread for the guard's
// lifetime, and puts the thread's earlier bits back when it ends.
class SubnormalMode {
 public:
  explicit SubnormalMode(bool on);
  ~SubnormalMode();
  SubnormalMode(const SubnormalMode&) = delete;
  SubnormalMode& operator=(const SubnormalMode&) = delete;

 private:
  unsigned saved_ = 0;
};

}  // namespace vantu
