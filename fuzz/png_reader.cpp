// Fuzz target of the PNG mask reader: any bytes as a label image, then the
// shapes of its regions as a run measures them.
#include "fuzz/mask_target.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return vantu_fuzz::read_and_measure(vantu::read_png_labels, data, size);
}
