// The body of the mask reader targets: any bytes as a label image through
// one reader, then the shapes of its regions as a run measures them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/input_file.h"
#include "image/image.h"

namespace vantu_fuzz {

inline int read_and_measure(vantu::LabelImage (*read)(const std::string&), const uint8_t* data, size_t size) {
  static InputFile file;
  const std::string& path = file.hold(data, size);
  try {
    const vantu::LabelImage img = read(path);
    if (img.width <= 0 || img.height <= 0 ||
        img.labels.size() != static_cast<size_t>(img.width) * static_cast<size_t>(img.height))
      __builtin_trap();
    vantu::label_layout(img.labels.data(), img.width, img.height);
    vantu::measure_regions(img, 1000, path);
  } catch (const vantu::ImageError&) {
    return 0;  // refused with the file named
  }
  return 0;
}

}  // namespace vantu_fuzz
