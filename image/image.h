// Label images: segmentation masks in, cell shapes out, track masks back.
//
// Data layout:
//   LabelImage.width, .height   pixels
//   LabelImage.labels           width * height unsigned 32-bit labels, row-major:
//                               the pixel in column x (to the right) and row y
//                               (down) is labels[y * width + x]; 0 is background,
//                               every other value one object of that frame.
//   Pixel (x, y) is the unit square centred on the point (x, y): a cell's
//   centroid is the mean of its pixels' column and row numbers.
//   RegionShape, one per label present, in increasing label order:
//     label              the label
//     x, y               centroid (pixels)
//     length             pole to pole along the major axis: the extent of the
//                        pixel centres projected on the axis, plus one pixel
//     angle              degrees in [0, 180), counter-clockwise as seen on
//                        screen: the axis is (cos a, -sin a) with y down
//     area               number of pixels
//     width              mean width: area / length
//
// Readers take TIFF (libtiff: every compression it reads; 8-, 16-, 32- or
// 64-bit integers, unsigned or signed, one sample per pixel, one page, or a
// page of a stack) and PNG (8- or 16-bit grey). A negative label, one past
// 32 bits, and anything else is refused with an ImageError naming the file.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace vantu {

struct ImageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct LabelImage {
  int width = 0, height = 0;
  std::vector<std::uint32_t> labels;
};

struct RegionShape {
  std::uint32_t label = 0;
  double x = 0, y = 0, length = 0, angle = 0, area = 0, width = 0;
};

// True for the names the readers take: .tif, .tiff, .png (any case).
bool is_label_image_name(const std::string& path);

// Reads a label image, by its name's extension.
LabelImage read_label_image(const std::string& path);
// A TIFF of more than one page is refused, unless `page` (from 0) names one.
LabelImage read_tiff_labels(const std::string& path, long page = -1);
// The pages of a TIFF (a stack of label images: a movie, page k frame k).
long tiff_page_count(const std::string& path);
// The axes of a TIFF stack as its first page's ImageJ description gives
// them ("ImageJ=...\nimages=92\nchannels=2\nslices=1\nframes=46\n"): the
// pages go through the channels first, then the slices, then the frames, so
// that channel c, slice z, frame t (from 0) is page (t * slices + z) *
// channels + c. tifffile's description of the array's shape
// ({"shape": [46, 2, 512, 512]}: frames and channels) is read the same way.
// Without a description every count but `pages` is 1.
struct StackAxes {
  long pages = 1;
  bool imagej = false;  // the counts below come from a description
  const char* described_by = "ImageJ";  // whose: "ImageJ" or "tifffile"
  long channels = 1, slices = 1, frames = 1;
};
StackAxes tiff_stack_axes(const std::string& path);
LabelImage read_png_labels(const std::string& path);

// The shape of every labelled region, in one pass over the pixels. Refuses
// (ImageError naming `source`) an image with more than `max_labels` labels.
std::vector<RegionShape> measure_regions(const LabelImage& image, int max_labels, const std::string& source);
// The same on labels held elsewhere: `width * height` of them, laid out as
// LabelImage.labels; fills `layout` (below) in the same pass when given.
struct LabelLayout;
std::vector<RegionShape> measure_labels(const std::uint32_t* labels, int width, int height, int max_labels,
                                        const std::string& source, LabelLayout* layout = nullptr);

// How the labelled pixels of an image lie: its labels, the pixels they
// cover, and their connected pieces (pixels that touch at a side or a
// corner); a label in more than one piece is split.
struct LabelLayout {
  long pixels = 0, labelled_pixels = 0, labels = 0, pieces = 0, split_labels = 0;
};
LabelLayout label_layout(const std::uint32_t* labels, int width, int height);
// Refuses (ImageError naming `source`) what is plainly not label masks:
// most labels split, into at least twice as many pieces as labels (an
// intensity image, or one label for the whole foreground). A few labels
// in two pieces pass.
void check_label_masks(const std::uint32_t* labels, int width, int height, const std::string& source);
void check_label_layout(const LabelLayout& layout, const std::string& source);

// An uncompressed 16-bit greyscale TIFF of `image` as bytes; every label must
// fit 16 bits (checked by the caller).
std::string tiff16_bytes(const LabelImage& image);

}  // namespace vantu
