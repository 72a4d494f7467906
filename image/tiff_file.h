// libtiff opened quietly, for the readers of image/ (label masks and
// intensity images): its messages for one file are collected instead of
// printed, and the first error goes into ours.
#pragma once

#include <tiffio.h>

#include <memory>
#include <string>

namespace vantu {

struct TiffMessages {
  std::string first_error;
};

struct TiffCloser {
  void operator()(TIFF* t) const { TIFFClose(t); }
};
using TiffFile = std::unique_ptr<TIFF, TiffCloser>;

// Opens `path` for reading, libtiff's errors collected in `messages` (which
// must outlive the file) and its warnings dropped; null when libtiff cannot.
TiffFile open_tiff_quietly(const std::string& path, TiffMessages& messages);

// `what`, with libtiff's first error in brackets when it gave one.
std::string tiff_failure(const TiffMessages& m, const char* what);

}  // namespace vantu
