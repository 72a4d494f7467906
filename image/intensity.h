// Intensity images (a fluorescence channel) and what they measure in the
// cells of a label image.
//
// Data layout:
//   IntensityImage.width, .height   pixels
//   IntensityImage.values           width * height pixel values in the
//                                   image's own units, row-major as
//                                   LabelImage.labels (image/image.h)
//   IntensityImage.whole            the same for 8- and 16-bit integer
//                                   images, whose .values stay empty
//
// Readers take TIFF (a one-page file or one page of a stack; 8-, 16-, 32- or
// 64-bit integers, signed or not, 32- or 64-bit floating point, one sample
// per pixel) and PNG (8- or 16-bit grey). Colour, palette, several samples
// per pixel and other sample formats are refused with an ImageError naming
// the file. Every value of 8 to 32 bits and of 32- or 64-bit floating point
// is exact as a double.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "image/image.h"

namespace vantu {

struct IntensityImage {
  int width = 0, height = 0;
  std::vector<double> values;
  std::vector<std::int32_t> whole;
  std::vector<unsigned char> buffer;  // the reader's, kept for the next image
};

// The size and pixel kind of an intensity image (`page` of a TIFF stack; -1:
// a one-page file), read from its header only; refuses what is no numeric
// grey image.
struct IntensityInfo {
  int width = 0, height = 0;
  int bits = 0;
  bool floating = false;
};
IntensityInfo intensity_info(const std::string& path, long page = -1);
// The same for every page of a TIFF stack, in one pass through the file.
std::vector<IntensityInfo> intensity_stack_info(const std::string& path);
IntensityImage read_intensity_image(const std::string& path, long page = -1);
// The same into `into`, whose memory is used again (one frame after another).
void read_intensity_image(const std::string& path, long page, IntensityImage& into);

// What one frame's intensity image holds in the cells of its label image:
//   total[i]    the sum of the values of every pixel labelled labels_of_cells[i]
//               (in row-major order, in double: exact for integer images)
//   mean[i]     total[i] divided by the number of those pixels
//   background  the median of the values of the pixels labelled 0 (the mean
//               of the two middle ones for an even count); NaN when there are none
struct CellIntensity {
  std::vector<double> total, mean;
  double background = 0;
};
// `labels_of_cells` in increasing order; labels that are not listed count
// neither as cells nor as background.
CellIntensity measure_intensity(const std::uint32_t* labels, const double* values, int width, int height,
                                const std::vector<std::uint32_t>& labels_of_cells);
// The same on whole values from -32768 to 65535 (8- and 16-bit images),
// with the same results.
CellIntensity measure_intensity(const std::uint32_t* labels, const std::int32_t* values, int width, int height,
                                const std::vector<std::uint32_t>& labels_of_cells);
CellIntensity measure_intensity(const std::uint32_t* labels, const IntensityImage& image,
                                const std::vector<std::uint32_t>& labels_of_cells);

}  // namespace vantu
