// Label image readers: TIFF through libtiff, PNG through libpng.
#include <png.h>
#include <sys/stat.h>
#include <tiffio.h>

#include <algorithm>
#include <cctype>
#include <csetjmp>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <type_traits>
#include <vector>

#include "base/check.h"
#include "image/image.h"
#include "image/tiff_file.h"

namespace vantu {

namespace {

[[noreturn]] void refuse(const std::string& path, const std::string& why) {
  throw ImageError("mask " + path + ": " + why);
}

// Returns the file's size in bytes.
std::uint64_t require_regular_file(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) refuse(path, std::string("cannot open: ") + std::strerror(errno));
  if (!S_ISREG(st.st_mode)) refuse(path, "not a regular file");
  return static_cast<std::uint64_t>(st.st_size);
}

// The size every label image must stay within: 2^20 pixels a side, 2^30 in
// all (4 GB of labels in memory; its 16-bit track mask fits one TIFF strip).
// The fuzz build holds images to fewer pixels, so that one input stays fast.
#ifndef VANTU_MAX_IMAGE_PIXELS
#define VANTU_MAX_IMAGE_PIXELS (std::uint64_t{1} << 30)
#endif
void check_size(const std::string& path, std::uint64_t width, std::uint64_t height) {
  if (width == 0 || height == 0) refuse(path, "empty image");
  if (width > 1u << 20 || height > 1u << 20 || width * height > std::uint64_t{VANTU_MAX_IMAGE_PIXELS})
    refuse(path, strprintf("image of %llu x %llu pixels is too large", static_cast<unsigned long long>(width),
                           static_cast<unsigned long long>(height)));
}

// ---- TIFF ----

// How one pixel's label is stored.
struct SampleKind {
  std::uint16_t bits = 0;
  bool is_signed = false;  // two's complement: only its non-negative values are labels
};

// Refuses what is not one page of integer labels.
SampleKind check_tiff_layout(const std::string& path, TIFF* tif) {
  std::uint16_t samples = 1, bits = 0, format = SAMPLEFORMAT_UINT, photometric = PHOTOMETRIC_MINISBLACK;
  TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &samples);
  TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bits);
  TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLEFORMAT, &format);
  TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric);
  if (photometric == PHOTOMETRIC_RGB || photometric == PHOTOMETRIC_YCBCR || samples >= 3)
    refuse(path, strprintf("colour (RGB) image with %u samples per pixel; labels need one grey value per pixel",
                           samples));
  if (photometric == PHOTOMETRIC_PALETTE) refuse(path, "palette colour image; labels need one grey value per pixel");
  if (samples != 1) refuse(path, strprintf("%u samples per pixel; labels need exactly one", samples));
  if (format == SAMPLEFORMAT_IEEEFP) refuse(path, strprintf("floating-point pixels (%u-bit); labels must be integers", bits));
  if (format != SAMPLEFORMAT_UINT && format != SAMPLEFORMAT_INT)
    refuse(path, strprintf("sample format %u; labels must be integers", format));
  if (bits != 8 && bits != 16 && bits != 32 && bits != 64)
    refuse(path, strprintf("%u bits per pixel; labels must have 8, 16, 32 or 64", bits));
  return SampleKind{bits, format == SAMPLEFORMAT_INT};
}

// Refuses uncompressed pixels that the file is too short to hold, before
// their memory is taken.
void check_uncompressed_size(const std::string& path, TIFF* tif, std::uint64_t file_size, std::uint64_t width,
                             std::uint64_t height, std::uint16_t bits) {
  std::uint16_t compression = COMPRESSION_NONE;
  TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &compression);
  const std::uint64_t needed = width * height * (bits / 8);
  if (compression == COMPRESSION_NONE && needed > file_size)
    refuse(path, strprintf("%llu x %llu uncompressed pixels of %u bits need %llu bytes; the file has %llu",
                           static_cast<unsigned long long>(width), static_cast<unsigned long long>(height), bits,
                           static_cast<unsigned long long>(needed), static_cast<unsigned long long>(file_size)));
}

// Widens `count` samples of type T to labels; refuses a negative label and
// one past 32 bits.
template <typename T>
void widen_as(const std::string& path, const unsigned char* p, size_t count, std::uint32_t* out) {
  for (size_t k = 0; k < count; ++k) {
    T v;
    std::memcpy(&v, p + sizeof(T) * k, sizeof(T));
    if constexpr (std::is_signed<T>::value) {
      if (v < 0)
        refuse(path, strprintf("negative label %lld in signed %zu-bit pixels; labels are 0 (background) or positive",
                               static_cast<long long>(v), 8 * sizeof(T)));
    }
    if constexpr (sizeof(T) > 4) {
      if (static_cast<std::uint64_t>(v) > 0xFFFFFFFFu)
        refuse(path, strprintf("label %llu does not fit 32 bits (at most 4294967295)",
                               static_cast<unsigned long long>(v)));
    }
    out[k] = static_cast<std::uint32_t>(v);
  }
}

void widen(const std::string& path, const unsigned char* p, SampleKind kind, size_t count, std::uint32_t* out) {
  switch (kind.bits) {
    case 8:
      return kind.is_signed ? widen_as<std::int8_t>(path, p, count, out) : widen_as<std::uint8_t>(path, p, count, out);
    case 16:
      return kind.is_signed ? widen_as<std::int16_t>(path, p, count, out) : widen_as<std::uint16_t>(path, p, count, out);
    case 32:
      return kind.is_signed ? widen_as<std::int32_t>(path, p, count, out) : widen_as<std::uint32_t>(path, p, count, out);
    default:
      return kind.is_signed ? widen_as<std::int64_t>(path, p, count, out) : widen_as<std::uint64_t>(path, p, count, out);
  }
}

// Decodes every strip or tile into the image (libtiff undoes the
// compression, the predictor and the byte order).
void read_tiff_pixels(const std::string& path, TIFF* tif, const TiffMessages& m, SampleKind kind,
                      LabelImage& img) {
  const size_t bytes = kind.bits / 8, W = static_cast<size_t>(img.width), H = static_cast<size_t>(img.height);
  if (TIFFIsTiled(tif)) {
    std::uint32_t tw = 0, th = 0;
    TIFFGetField(tif, TIFFTAG_TILEWIDTH, &tw);
    TIFFGetField(tif, TIFFTAG_TILELENGTH, &th);
    // Tiles are multiples of 16 pixels a side: one larger than the image so
    // rounded up is a damaged header, not a buffer to allocate.
    if (tw == 0 || th == 0 || tw > (W + 15) / 16 * 16 || th > (H + 15) / 16 * 16)
      refuse(path, strprintf("bad tile size %u x %u for an image of %zu x %zu pixels", tw, th, W, H));
    std::vector<unsigned char> buf(static_cast<size_t>(tw) * th * bytes);
    for (size_t y0 = 0; y0 < H; y0 += th)
      for (size_t x0 = 0; x0 < W; x0 += tw) {
        const tmsize_t got = TIFFReadTile(tif, buf.data(), static_cast<std::uint32_t>(x0), static_cast<std::uint32_t>(y0), 0, 0);
        if (got < 0 || static_cast<size_t>(got) != buf.size()) refuse(path, tiff_failure(m, "cannot decode a tile"));
        for (size_t y = y0; y < std::min(H, y0 + th); ++y)
          widen(path, buf.data() + (y - y0) * tw * bytes, kind, std::min(W, x0 + tw) - x0, img.labels.data() + y * W + x0);
      }
    return;
  }
  std::uint32_t rows_per_strip = 0;
  TIFFGetFieldDefaulted(tif, TIFFTAG_ROWSPERSTRIP, &rows_per_strip);
  if (rows_per_strip == 0 || rows_per_strip > H) rows_per_strip = static_cast<std::uint32_t>(H);
  std::vector<unsigned char> buf(static_cast<size_t>(rows_per_strip) * W * bytes);
  for (size_t y0 = 0; y0 < H; y0 += rows_per_strip) {
    const size_t rows = std::min<size_t>(rows_per_strip, H - y0);
    const tstrip_t strip = TIFFComputeStrip(tif, static_cast<std::uint32_t>(y0), 0);
    const tmsize_t got = TIFFReadEncodedStrip(tif, strip, buf.data(), static_cast<tmsize_t>(rows * W * bytes));
    if (got < 0 || static_cast<size_t>(got) != rows * W * bytes) refuse(path, tiff_failure(m, "cannot decode a strip"));
    widen(path, buf.data(), kind, rows * W, img.labels.data() + y0 * W);
  }
}

// ---- PNG ----

struct PngState {
  std::string error;
  std::jmp_buf jump;
};

void png_fail(png_structp png, png_const_charp message) {
  PngState* s = static_cast<PngState*>(png_get_error_ptr(png));
  s->error = message ? message : "unknown error";
  std::longjmp(s->jump, 1);
}

void png_quiet(png_structp, png_const_charp) {}

struct PngReader {
  png_structp png = nullptr;
  png_infop info = nullptr;
  std::FILE* file = nullptr;
  ~PngReader() {
    if (png) png_destroy_read_struct(&png, info ? &info : nullptr, nullptr);
    if (file) std::fclose(file);
  }
};

// Everything that libpng may jump out of; returns false with s.error set.
// Only objects owned by the caller change here, so nothing is left
// half-built on this frame when libpng jumps.
bool decode_png(const std::string& path, PngReader& r, PngState& s, std::vector<unsigned char>& raw, std::vector<png_bytep>& rows,
                png_uint_32& width, png_uint_32& height, int& depth, int& colour) {
  if (setjmp(s.jump)) return false;
  png_init_io(r.png, r.file);
  png_set_user_limits(r.png, 1u << 20, 1u << 20);
  png_read_info(r.png, r.info);
  width = png_get_image_width(r.png, r.info);
  height = png_get_image_height(r.png, r.info);
  depth = png_get_bit_depth(r.png, r.info);
  colour = png_get_color_type(r.png, r.info);
  if (colour != PNG_COLOR_TYPE_GRAY || (depth != 8 && depth != 16)) return true;  // refused by the caller
  check_size(path, width, height);  // before the pixels' memory is taken
  const std::uint16_t one = 1;
  if (depth == 16 && *reinterpret_cast<const unsigned char*>(&one) == 1) png_set_swap(r.png);  // PNG is big-endian
  png_set_interlace_handling(r.png);
  png_read_update_info(r.png, r.info);
  const size_t row_bytes = png_get_rowbytes(r.png, r.info);
  raw.resize(row_bytes * height);
  rows.resize(height);
  for (size_t y = 0; y < height; ++y) rows[y] = raw.data() + y * row_bytes;
  png_read_image(r.png, rows.data());
  png_read_end(r.png, nullptr);
  return true;
}

}  // namespace

bool is_label_image_name(const std::string& path) {
  return ends_with_ci(path, ".tif") || ends_with_ci(path, ".tiff") || ends_with_ci(path, ".png");
}

LabelImage read_label_image(const std::string& path) {
  return ends_with_ci(path, ".png") ? read_png_labels(path) : read_tiff_labels(path);
}

namespace {

int collect_tiff_error(TIFF*, void* user, const char* module, const char* fmt, va_list ap) {
  TiffMessages* m = static_cast<TiffMessages*>(user);
  if (m->first_error.empty()) {
    char buf[512];
    std::vsnprintf(buf, sizeof buf, fmt, ap);
    m->first_error = (module && *module ? std::string(module) + ": " : std::string()) + buf;
  }
  return 1;  // handled: the process-wide handler stays quiet
}

int ignore_tiff_warning(TIFF*, void*, const char*, const char*, va_list) { return 1; }

}  // namespace

TiffFile open_tiff_quietly(const std::string& path, TiffMessages& messages) {
  TIFFOpenOptions* opts = TIFFOpenOptionsAlloc();
  TIFFOpenOptionsSetErrorHandlerExtR(opts, collect_tiff_error, &messages);
  TIFFOpenOptionsSetWarningHandlerExtR(opts, ignore_tiff_warning, nullptr);
  TiffFile tif(TIFFOpenExt(path.c_str(), "r", opts));
  TIFFOpenOptionsFree(opts);
  return tif;
}

std::string tiff_failure(const TiffMessages& m, const char* what) {
  return m.first_error.empty() ? std::string(what) : std::string(what) + " (" + m.first_error + ")";
}

namespace {

TiffFile open_tiff(const std::string& path, TiffMessages& messages) {
  TiffFile tif = open_tiff_quietly(path, messages);
  if (!tif) refuse(path, tiff_failure(messages, "not a readable TIFF file"));
  return tif;
}

}  // namespace

long tiff_page_count(const std::string& path) {
  require_regular_file(path);
  TiffMessages messages;
  const auto tif = open_tiff(path, messages);
  return static_cast<long>(TIFFNumberOfDirectories(tif.get()));
}

namespace {

// The value of "key=N" on a line of an ImageJ description; `fallback` when
// the line is absent. A value that is not a positive number is refused.
long imagej_count(const std::string& path, const std::string& text, const char* key, long fallback) {
  const std::string prefix = std::string(key) + "=";
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    if (text.compare(at, prefix.size(), prefix) == 0) {
      const std::string value = text.substr(at + prefix.size(), end - at - prefix.size());
      char* stop = nullptr;
      const long n = std::strtol(value.c_str(), &stop, 10);
      if (value.empty() || *stop != '\0' || n < 1 || n > (1L << 30))
        refuse(path, "ImageJ description: \"" + prefix + value + "\" is not a positive count");
      return n;
    }
    at = end + 1;
  }
  return fallback;
}

// tifffile's description of the array it wrote, a JSON object such as
// {"shape": [46, 2, 512, 512]} or {"axes": "TCYX", "shape": [...]}: the
// shape's numbers and the axes' letters (empty without). False when the text
// holds no such shape.
bool tifffile_shape(const std::string& text, std::vector<long>& shape, std::string& letters) {
  if (text.empty() || text[0] != '{') return false;
  auto after_key = [&](const char* key) {
    const size_t at = text.find(std::string("\"") + key + "\"");
    if (at == std::string::npos) return std::string::npos;
    size_t k = at + std::strlen(key) + 2;
    while (k < text.size() && (text[k] == ' ' || text[k] == ':')) ++k;
    return k;
  };
  size_t k = after_key("shape");
  if (k == std::string::npos || k >= text.size() || text[k] != '[') return false;
  for (++k; k < text.size() && text[k] != ']';) {
    if (text[k] == ' ' || text[k] == ',') {
      ++k;
      continue;
    }
    char* stop = nullptr;
    const long n = std::strtol(text.c_str() + k, &stop, 10);
    if (stop == text.c_str() + k || n < 0 || n > (1L << 30)) return false;
    shape.push_back(n);
    k = static_cast<size_t>(stop - text.c_str());
  }
  if (k >= text.size()) return false;
  k = after_key("axes");
  if (k != std::string::npos && k < text.size() && text[k] == '"') {
    const size_t end = text.find('"', k + 1);
    if (end != std::string::npos) letters = text.substr(k + 1, end - k - 1);
  }
  return true;
}

// The axes of a stack as tifffile's shape gives them: the numbers before the
// image's height and width are the pages' axes, time outermost, then the
// slices, then the channels (as ImageJ orders them). Without letters two
// axes are frames and channels ((T, C, Y, X), as a two-channel movie is
// written); an order or a number of axes that is none of these is refused.
void read_tifffile_axes(const std::string& path, const std::string& text, StackAxes& axes) {
  std::vector<long> shape;
  std::string letters;
  if (!tifffile_shape(text, shape, letters) || shape.size() < 3) return;
  const size_t n = shape.size() - 2;
  long product = 1;
  for (size_t k = 0; k < n && product <= axes.pages; ++k) product *= shape[k];
  if (product != axes.pages) return;  // not a page per plane: the pages themselves are read as they are
  if (letters.size() != shape.size()) letters.clear();
  std::vector<size_t> used;
  for (size_t k = 0; k < n; ++k)
    if (shape[k] > 1) used.push_back(k);
  if (used.size() <= 1) return;  // a plain stack
  std::string shape_text;
  for (size_t k = 0; k < shape.size(); ++k) shape_text += (k ? ", " : "") + std::to_string(shape[k]);
  const std::string refusal = "its description (tifffile's) gives the shape [" + shape_text + "]" +
                              (letters.empty() ? "" : " with the axes " + letters) +
                              ", which is not frames with channels or slices (time first, then z, then the channel); "
                              "write it with ImageJ's description (tifffile: imagej=True, metadata={'axes': 'TCYX'}) "
                              "or one file per frame";
  long* slot[3] = {&axes.frames, &axes.slices, &axes.channels};
  const std::string order = "TZC";
  size_t last = 0;
  for (size_t u = 0; u < used.size(); ++u) {
    size_t at;
    if (letters.empty()) {
      if (used.size() > 2) refuse(path, refusal);
      at = u == 0 ? 0 : 2;
    } else {
      at = order.find(static_cast<char>(std::toupper(static_cast<unsigned char>(letters[used[u]]))));
      if (at == std::string::npos || (u > 0 && at <= last)) refuse(path, refusal);
    }
    *slot[at] = shape[used[u]];
    last = at;
  }
  axes.imagej = true;
  axes.described_by = "tifffile";
}

}  // namespace

StackAxes tiff_stack_axes(const std::string& path) {
  require_regular_file(path);
  TiffMessages messages;
  const auto tif = open_tiff(path, messages);
  StackAxes axes;
  axes.pages = static_cast<long>(TIFFNumberOfDirectories(tif.get()));
  char* description = nullptr;
  if (TIFFGetField(tif.get(), TIFFTAG_IMAGEDESCRIPTION, &description) != 1 || !description) return axes;
  const std::string text = description;
  if (text.compare(0, 7, "ImageJ=") != 0) {
    read_tifffile_axes(path, text, axes);
    return axes;
  }
  axes.imagej = true;
  axes.channels = imagej_count(path, text, "channels", 1);
  axes.slices = imagej_count(path, text, "slices", 1);
  axes.frames = imagej_count(path, text, "frames", 1);
  return axes;
}

LabelImage read_tiff_labels(const std::string& path, long page) {
  const std::uint64_t file_size = require_regular_file(path);
  TiffMessages messages;
  const auto tif = open_tiff(path, messages);
  const tdir_t pages = TIFFNumberOfDirectories(tif.get());
  if (page < 0 && pages > 1)
    refuse(path, strprintf("%u pages; a mask is one 2-D image per frame (a stack of pages is a whole movie, given "
                           "alone)", static_cast<unsigned>(pages)));
  const std::string where = page < 0 ? path : strprintf("%s (page %ld)", path.c_str(), page);
  if (page >= 0 && (page >= static_cast<long>(pages) || !TIFFSetDirectory(tif.get(), static_cast<tdir_t>(page))))
    refuse(where, tiff_failure(messages, "cannot read the page"));
  std::uint32_t width = 0, height = 0, depth = 1;
  TIFFGetField(tif.get(), TIFFTAG_IMAGEWIDTH, &width);
  TIFFGetField(tif.get(), TIFFTAG_IMAGELENGTH, &height);
  TIFFGetFieldDefaulted(tif.get(), TIFFTAG_IMAGEDEPTH, &depth);
  if (depth > 1) refuse(where, strprintf("a 3-D image (%u planes); a mask is one 2-D image per frame", depth));
  check_size(where, width, height);
  const SampleKind kind = check_tiff_layout(where, tif.get());
  check_uncompressed_size(where, tif.get(), file_size, width, height, kind.bits);
  LabelImage img;
  img.width = static_cast<int>(width);
  img.height = static_cast<int>(height);
  img.labels.assign(static_cast<size_t>(width) * height, 0);
  read_tiff_pixels(where, tif.get(), messages, kind, img);
  return img;
}

LabelImage read_png_labels(const std::string& path) {
  require_regular_file(path);
  PngReader r;
  PngState s;
  r.file = std::fopen(path.c_str(), "rb");
  if (!r.file) refuse(path, std::string("cannot open: ") + std::strerror(errno));
  unsigned char signature[8] = {0};
  if (std::fread(signature, 1, 8, r.file) != 8 || png_sig_cmp(signature, 0, 8) != 0) refuse(path, "not a PNG file");
  r.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &s, png_fail, png_quiet);
  if (!r.png) refuse(path, "out of memory");
  r.info = png_create_info_struct(r.png);
  if (!r.info) refuse(path, "out of memory");
  png_set_sig_bytes(r.png, 8);
#ifdef VANTU_FUZZ_PNG_IGNORE_CRC
  // The fuzz build reads past wrong checksums, which random bytes never get right.
  png_set_crc_action(r.png, PNG_CRC_QUIET_USE, PNG_CRC_QUIET_USE);
#endif
  std::vector<unsigned char> raw;
  std::vector<png_bytep> rows;
  png_uint_32 width = 0, height = 0;
  int depth = 0, colour = 0;
  if (!decode_png(path, r, s, raw, rows, width, height, depth, colour)) refuse(path, "unreadable PNG (" + s.error + ")");
  if (colour != PNG_COLOR_TYPE_GRAY)
    refuse(path, colour & PNG_COLOR_MASK_COLOR ? "colour (RGB or palette) image; labels need one grey value per pixel"
                                               : "grey image with alpha; labels need one grey value per pixel");
  if (depth != 8 && depth != 16) refuse(path, strprintf("%d bits per pixel; labels must have 8 or 16", depth));
  check_size(path, width, height);
  LabelImage img;
  img.width = static_cast<int>(width);
  img.height = static_cast<int>(height);
  img.labels.resize(static_cast<size_t>(width) * height);
  widen(path, raw.data(), SampleKind{static_cast<std::uint16_t>(depth), false}, img.labels.size(), img.labels.data());
  return img;
}

}  // namespace vantu
