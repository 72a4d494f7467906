// Fuzz target of the table reader: the first byte chooses how angles are
// given (0 to 2), the rest is the comma-separated table; what was read goes
// through the checks a run makes on it.
#include <cstddef>
#include <cstdint>

#include "fuzz/input_file.h"
#include "track/track.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static vantu_fuzz::InputFile file;
  if (size < 1) return 0;
  const vantu::AngleConvention angles = static_cast<vantu::AngleConvention>(data[0] % 3);
  const std::string& path = file.hold(data + 1, size - 1);
  try {
    const vantu::TimeLapse tl = vantu::read_table(path, vantu::TableColumns(), angles);
    for (const vantu::Frame& f : tl.frames)
      if (f.first.count != f.count() || f.second.count != f.count()) __builtin_trap();
    vantu::check_time_lapse(tl);
  } catch (const vantu::TrackError&) {
    return 0;  // refused with the file (and line) named
  }
  return 0;
}
