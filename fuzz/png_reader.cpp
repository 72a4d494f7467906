// Fuzz target of the PNG mask reader: any bytes as a label image, then the
// shapes of its regions as a run measures them.
#include <cstddef>
#include <cstdint>

#include "fuzz/input_file.h"
#include "image/image.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static vantu_fuzz::InputFile file;
  const std::string& path = file.hold(data, size);
  try {
    const vantu::LabelImage img = vantu::read_png_labels(path);
    if (img.width <= 0 || img.height <= 0 ||
        img.labels.size() != static_cast<size_t>(img.width) * static_cast<size_t>(img.height))
      __builtin_trap();
    vantu::measure_regions(img, 1000, path);
  } catch (const vantu::ImageError&) {
    return 0;  // refused with the file named
  }
  return 0;
}
