// Intensity images: TIFF through libtiff, PNG through the label reader (its
// 8- and 16-bit grey values are the intensities); the per-cell sums.
#include "image/intensity.h"

#include <sys/stat.h>
#include <tiffio.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>

#include "base/check.h"

namespace vantu {

namespace {

[[noreturn]] void refuse(const std::string& where, const std::string& why) {
  throw ImageError("intensity image " + where + ": " + why);
}

struct TiffErrors {
  std::string first;
};

int keep_first_error(TIFF*, void* user, const char* module, const char* fmt, va_list ap) {
  TiffErrors* e = static_cast<TiffErrors*>(user);
  if (e->first.empty()) {
    char buf[512];
    std::vsnprintf(buf, sizeof buf, fmt, ap);
    e->first = (module && *module ? std::string(module) + ": " : std::string()) + buf;
  }
  return 1;
}

int no_warning(TIFF*, void*, const char*, const char*, va_list) { return 1; }

struct TiffCloser {
  void operator()(TIFF* t) const { TIFFClose(t); }
};
using TiffFile = std::unique_ptr<TIFF, TiffCloser>;

std::string with_reason(const TiffErrors& e, const char* what) {
  return e.first.empty() ? std::string(what) : std::string(what) + " (" + e.first + ")";
}

// The page of a TIFF, opened and checked to be one numeric grey image.
struct TiffPage {
  TiffFile tif;
  std::string where;  // the file, and its page in a stack
  IntensityInfo info;
  bool is_signed = false;
};

void open_page(const std::string& path, long page, TiffErrors& errors, TiffPage& p) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) refuse(path, std::string("cannot open: ") + std::strerror(errno));
  if (!S_ISREG(st.st_mode)) refuse(path, "not a regular file");
  TIFFOpenOptions* opts = TIFFOpenOptionsAlloc();
  TIFFOpenOptionsSetErrorHandlerExtR(opts, keep_first_error, &errors);
  TIFFOpenOptionsSetWarningHandlerExtR(opts, no_warning, nullptr);
  p.tif.reset(TIFFOpenExt(path.c_str(), "r", opts));
  TIFFOpenOptionsFree(opts);
  if (!p.tif) refuse(path, with_reason(errors, "not a readable TIFF file"));
  TIFF* tif = p.tif.get();
  const tdir_t pages = TIFFNumberOfDirectories(tif);
  if (page < 0 && pages > 1)
    refuse(path, strprintf("%u pages; give one image per frame, or the stack alone", static_cast<unsigned>(pages)));
  p.where = page < 0 ? path : strprintf("%s (page %ld)", path.c_str(), page);
  if (page >= 0 && (page >= static_cast<long>(pages) || !TIFFSetDirectory(tif, static_cast<tdir_t>(page))))
    refuse(p.where, with_reason(errors, "cannot read the page"));
  std::uint32_t width = 0, height = 0, depth = 1;
  std::uint16_t samples = 1, bits = 0, format = SAMPLEFORMAT_UINT, photometric = PHOTOMETRIC_MINISBLACK;
  TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &width);
  TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &height);
  TIFFGetFieldDefaulted(tif, TIFFTAG_IMAGEDEPTH, &depth);
  TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &samples);
  TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bits);
  TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLEFORMAT, &format);
  TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric);
  if (width == 0 || height == 0) refuse(p.where, "empty image");
  if (width > 1u << 20 || height > 1u << 20 || std::uint64_t{width} * height > std::uint64_t{1} << 30)
    refuse(p.where, strprintf("image of %u x %u pixels is too large", width, height));
  if (depth > 1) refuse(p.where, strprintf("a 3-D image (%u planes); give one 2-D image per frame", depth));
  if (photometric == PHOTOMETRIC_RGB || photometric == PHOTOMETRIC_YCBCR || photometric == PHOTOMETRIC_PALETTE ||
      samples != 1)
    refuse(p.where, strprintf("a colour image (%u samples per pixel); an intensity is one grey value per pixel", samples));
  const bool floating = format == SAMPLEFORMAT_IEEEFP;
  if (!floating && format != SAMPLEFORMAT_UINT && format != SAMPLEFORMAT_INT)
    refuse(p.where, strprintf("sample format %u; intensities must be integers or floating point numbers", format));
  if (floating ? bits != 32 && bits != 64 : bits != 8 && bits != 16 && bits != 32 && bits != 64)
    refuse(p.where, strprintf("%u-bit %s pixels; intensities have 8, 16, 32 or 64 bits (floating point: 32 or 64)",
                              bits, floating ? "floating point" : "integer"));
  std::uint16_t compression = COMPRESSION_NONE;
  TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &compression);
  if (compression == COMPRESSION_NONE && std::uint64_t{width} * height * (bits / 8) > static_cast<std::uint64_t>(st.st_size))
    refuse(p.where, "the file is too short for its uncompressed pixels");
  p.info.width = static_cast<int>(width);
  p.info.height = static_cast<int>(height);
  p.info.bits = bits;
  p.info.floating = floating;
  p.is_signed = format == SAMPLEFORMAT_INT;
}

template <typename T>
void widen_as(const unsigned char* p, size_t count, double* out) {
  for (size_t k = 0; k < count; ++k) {
    T v;
    std::memcpy(&v, p + sizeof(T) * k, sizeof(T));
    out[k] = static_cast<double>(v);
  }
}

void widen(const TiffPage& p, const unsigned char* bytes, size_t count, double* out) {
  if (p.info.floating) return p.info.bits == 32 ? widen_as<float>(bytes, count, out) : widen_as<double>(bytes, count, out);
  switch (p.info.bits) {
    case 8: return p.is_signed ? widen_as<std::int8_t>(bytes, count, out) : widen_as<std::uint8_t>(bytes, count, out);
    case 16: return p.is_signed ? widen_as<std::int16_t>(bytes, count, out) : widen_as<std::uint16_t>(bytes, count, out);
    case 32: return p.is_signed ? widen_as<std::int32_t>(bytes, count, out) : widen_as<std::uint32_t>(bytes, count, out);
    default: return p.is_signed ? widen_as<std::int64_t>(bytes, count, out) : widen_as<std::uint64_t>(bytes, count, out);
  }
}

// Decodes every strip or tile (libtiff undoes the compression, the
// predictor and the byte order).
void read_pixels(TiffPage& p, const TiffErrors& errors, IntensityImage& img) {
  TIFF* tif = p.tif.get();
  const size_t bytes = static_cast<size_t>(p.info.bits) / 8, W = static_cast<size_t>(img.width),
               H = static_cast<size_t>(img.height);
  if (TIFFIsTiled(tif)) {
    std::uint32_t tw = 0, th = 0;
    TIFFGetField(tif, TIFFTAG_TILEWIDTH, &tw);
    TIFFGetField(tif, TIFFTAG_TILELENGTH, &th);
    if (tw == 0 || th == 0 || tw > (W + 15) / 16 * 16 || th > (H + 15) / 16 * 16)
      refuse(p.where, strprintf("bad tile size %u x %u", tw, th));
    std::vector<unsigned char> buf(static_cast<size_t>(tw) * th * bytes);
    for (size_t y0 = 0; y0 < H; y0 += th)
      for (size_t x0 = 0; x0 < W; x0 += tw) {
        const tmsize_t got = TIFFReadTile(tif, buf.data(), static_cast<std::uint32_t>(x0), static_cast<std::uint32_t>(y0), 0, 0);
        if (got < 0 || static_cast<size_t>(got) != buf.size()) refuse(p.where, with_reason(errors, "cannot decode a tile"));
        for (size_t y = y0; y < std::min(H, y0 + th); ++y)
          widen(p, buf.data() + (y - y0) * tw * bytes, std::min(W, x0 + tw) - x0, img.values.data() + y * W + x0);
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
    if (got < 0 || static_cast<size_t>(got) != rows * W * bytes) refuse(p.where, with_reason(errors, "cannot decode a strip"));
    widen(p, buf.data(), rows * W, img.values.data() + y0 * W);
  }
}

bool is_png(const std::string& path) { return ends_with_ci(path, ".png"); }

// A PNG's header (IHDR: width, height, bit depth, colour type), without
// decoding its pixels.
IntensityInfo png_info(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) refuse(path, std::string("cannot open: ") + std::strerror(errno));
  unsigned char h[26] = {0};
  in.read(reinterpret_cast<char*>(h), sizeof h);
  static const unsigned char signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
  if (in.gcount() != sizeof h || std::memcmp(h, signature, 8) != 0 || std::memcmp(h + 12, "IHDR", 4) != 0)
    refuse(path, "not a PNG file");
  auto be32 = [&](int at) {
    return (std::uint32_t{h[at]} << 24) | (std::uint32_t{h[at + 1]} << 16) | (std::uint32_t{h[at + 2]} << 8) | h[at + 3];
  };
  const std::uint32_t width = be32(16), height = be32(20);
  const int depth = h[24], colour = h[25];
  if (colour != 0) refuse(path, "a colour or alpha image; an intensity is one grey value per pixel");
  if (depth != 8 && depth != 16) refuse(path, strprintf("%d bits per pixel; PNG intensities have 8 or 16", depth));
  if (width == 0 || height == 0 || width > 1u << 20 || height > 1u << 20)
    refuse(path, strprintf("image of %u x %u pixels", width, height));
  IntensityInfo info;
  info.width = static_cast<int>(width);
  info.height = static_cast<int>(height);
  info.bits = depth;
  return info;
}

}  // namespace

IntensityInfo intensity_info(const std::string& path, long page) {
  if (is_png(path) && page < 0) return png_info(path);
  TiffErrors errors;
  TiffPage p;
  open_page(path, page, errors, p);
  return p.info;
}

IntensityImage read_intensity_image(const std::string& path, long page) {
  IntensityImage img;
  if (is_png(path) && page < 0) {
    png_info(path);  // refuses colour with this reader's words
    LabelImage grey;
    try {
      grey = read_png_labels(path);
    } catch (const ImageError& e) {
      const std::string m = e.what();
      refuse(path, m.compare(0, 5 + path.size() + 2, "mask " + path + ": ") == 0 ? m.substr(path.size() + 7) : m);
    }
    img.width = grey.width;
    img.height = grey.height;
    img.values.assign(grey.labels.begin(), grey.labels.end());
    return img;
  }
  TiffErrors errors;
  TiffPage p;
  open_page(path, page, errors, p);
  img.width = p.info.width;
  img.height = p.info.height;
  img.values.assign(static_cast<size_t>(img.width) * static_cast<size_t>(img.height), 0.0);
  read_pixels(p, errors, img);
  return img;
}

CellIntensity measure_intensity(const std::uint32_t* labels, const double* values, int width, int height,
                                const std::vector<std::uint32_t>& labels_of_cells) {
  CellIntensity out;
  const size_t cells = labels_of_cells.size();
  out.total.assign(cells, 0.0);
  std::vector<double> pixels(cells, 0.0), outside;
  const size_t n = static_cast<size_t>(width) * static_cast<size_t>(height);
  outside.reserve(n / 2);
  // Row-major, one pixel at a time: every cell's sum in the same order as
  // the image's own pixels, so that integer images sum exactly.
  std::uint32_t last = 0;
  size_t at = cells;  // the cell of label `last`; cells: not a cell
  for (size_t k = 0; k < n; ++k) {
    const std::uint32_t v = labels[k];
    if (v == 0) {
      outside.push_back(values[k]);
      continue;
    }
    if (v != last) {
      last = v;
      const auto found = std::lower_bound(labels_of_cells.begin(), labels_of_cells.end(), v);
      at = found != labels_of_cells.end() && *found == v ? static_cast<size_t>(found - labels_of_cells.begin()) : cells;
    }
    if (at == cells) continue;
    out.total[at] += values[k];
    pixels[at] += 1.0;
  }
  out.mean.resize(cells);
  for (size_t i = 0; i < cells; ++i) out.mean[i] = pixels[i] > 0 ? out.total[i] / pixels[i] : NAN;
  out.background = outside.empty() ? NAN : 0.0;
  if (!outside.empty()) {
    const size_t mid = outside.size() / 2;
    std::nth_element(outside.begin(), outside.begin() + static_cast<long>(mid), outside.end());
    out.background = outside[mid];
    if (outside.size() % 2 == 0)
      out.background = (*std::max_element(outside.begin(), outside.begin() + static_cast<long>(mid)) + out.background) / 2;
  }
  return out;
}

}  // namespace vantu
