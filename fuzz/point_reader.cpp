// Fuzz target of the point reader: the first five bytes choose the columns of
// x, y, length, angle and identifier (0 to 7; equal numbers share a column,
// 0 switches one off), the rest is both point files of a run.
#include <cstddef>
#include <cstdint>

#include "base/check.h"
#include "fuzz/input_file.h"
#include "input/load_points.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static vantu_fuzz::InputFile file;
  if (size < 5) return 0;
  vantu::ParameterSet p;
  p.nx = data[0] % 8;
  p.ny = data[1] % 8;
  p.Nlen = data[2] % 8;
  p.Nang = data[3] % 8;
  p.Nid = data[4] % 8;
  vantu::PointInput in;
  in.first_file = in.second_file = file.hold(data + 5, size - 5);
  try {
    vantu::load_point_sets(in, p);
  } catch (const vantu::RunEnd& end) {
    return 0;  // too many points: refused with the file name
  }
  // The counts the run goes on with must fit the sets.
  if (in.first.count < 0 || in.first.count > vantu::kPointCapacity) __builtin_trap();
  if (in.second.count < 0 || in.second.count > vantu::kPointCapacity) __builtin_trap();
  return 0;
}
