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
#include "image/tiff_file.h"

namespace vantu {

namespace {

[[noreturn]] void refuse(const std::string& where, const std::string& why) {
  throw ImageError("intensity image " + where + ": " + why);
}

// The page of a TIFF, opened and checked to be one numeric grey image.
struct TiffPage {
  TiffFile tif;
  std::string where;  // the file, and its page in a stack
  IntensityInfo info;
  bool is_signed = false;
};

// Opens the file; returns its size in bytes.
std::uint64_t open_file(const std::string& path, TiffMessages& errors, TiffPage& p) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) refuse(path, std::string("cannot open: ") + std::strerror(errno));
  if (!S_ISREG(st.st_mode)) refuse(path, "not a regular file");
  p.tif = open_tiff_quietly(path, errors);
  if (!p.tif) refuse(path, tiff_failure(errors, "not a readable TIFF file"));
  p.where = path;
  return static_cast<std::uint64_t>(st.st_size);
}

// Checks the page libtiff is on to be one numeric grey image; fills p.info.
void check_page(TiffPage& p, std::uint64_t file_size) {
  TIFF* tif = p.tif.get();
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
  if (compression == COMPRESSION_NONE && std::uint64_t{width} * height * (bits / 8) > file_size)
    refuse(p.where, "the file is too short for its uncompressed pixels");
  p.info.width = static_cast<int>(width);
  p.info.height = static_cast<int>(height);
  p.info.bits = bits;
  p.info.floating = floating;
  p.is_signed = format == SAMPLEFORMAT_INT;
}

void open_page(const std::string& path, long page, TiffMessages& errors, TiffPage& p) {
  const std::uint64_t size = open_file(path, errors, p);
  TIFF* tif = p.tif.get();
  const tdir_t pages = TIFFNumberOfDirectories(tif);
  if (page < 0 && pages > 1)
    refuse(path, strprintf("%u pages; give one image per frame, or the stack alone", static_cast<unsigned>(pages)));
  p.where = page < 0 ? path : strprintf("%s (page %ld)", path.c_str(), page);
  if (page >= 0 && (page >= static_cast<long>(pages) || !TIFFSetDirectory(tif, static_cast<tdir_t>(page))))
    refuse(p.where, tiff_failure(errors, "cannot read the page"));
  check_page(p, size);
}

template <typename T, typename Out>
void widen_as(const unsigned char* p, size_t count, Out* out) {
  for (size_t k = 0; k < count; ++k) {
    T v;
    std::memcpy(&v, p + sizeof(T) * k, sizeof(T));
    out[k] = static_cast<Out>(v);
  }
}

// 8- and 16-bit integers into IntensityImage::whole, the others into ::values.
void widen(const TiffPage& p, const unsigned char* bytes, size_t count, IntensityImage& img, size_t at) {
  std::int32_t* whole = img.whole.data() + at;
  double* out = img.values.data() + at;
  if (p.info.floating) return p.info.bits == 32 ? widen_as<float>(bytes, count, out) : widen_as<double>(bytes, count, out);
  switch (p.info.bits) {
    case 8: return p.is_signed ? widen_as<std::int8_t>(bytes, count, whole) : widen_as<std::uint8_t>(bytes, count, whole);
    case 16: return p.is_signed ? widen_as<std::int16_t>(bytes, count, whole) : widen_as<std::uint16_t>(bytes, count, whole);
    case 32: return p.is_signed ? widen_as<std::int32_t>(bytes, count, out) : widen_as<std::uint32_t>(bytes, count, out);
    default: return p.is_signed ? widen_as<std::int64_t>(bytes, count, out) : widen_as<std::uint64_t>(bytes, count, out);
  }
}

// Decodes every strip or tile (libtiff undoes the compression, the
// predictor and the byte order).
void read_pixels(TiffPage& p, const TiffMessages& errors, IntensityImage& img) {
  TIFF* tif = p.tif.get();
  const size_t bytes = static_cast<size_t>(p.info.bits) / 8, W = static_cast<size_t>(img.width),
               H = static_cast<size_t>(img.height);
  if (TIFFIsTiled(tif)) {
    std::uint32_t tw = 0, th = 0;
    TIFFGetField(tif, TIFFTAG_TILEWIDTH, &tw);
    TIFFGetField(tif, TIFFTAG_TILELENGTH, &th);
    if (tw == 0 || th == 0 || tw > (W + 15) / 16 * 16 || th > (H + 15) / 16 * 16)
      refuse(p.where, strprintf("bad tile size %u x %u", tw, th));
    std::vector<unsigned char>& buf = img.buffer;
    buf.resize(static_cast<size_t>(tw) * th * bytes);
    for (size_t y0 = 0; y0 < H; y0 += th)
      for (size_t x0 = 0; x0 < W; x0 += tw) {
        const tmsize_t got = TIFFReadTile(tif, buf.data(), static_cast<std::uint32_t>(x0), static_cast<std::uint32_t>(y0), 0, 0);
        if (got < 0 || static_cast<size_t>(got) != buf.size()) refuse(p.where, tiff_failure(errors, "cannot decode a tile"));
        for (size_t y = y0; y < std::min(H, y0 + th); ++y)
          widen(p, buf.data() + (y - y0) * tw * bytes, std::min(W, x0 + tw) - x0, img, y * W + x0);
      }
    return;
  }
  std::uint32_t rows_per_strip = 0;
  TIFFGetFieldDefaulted(tif, TIFFTAG_ROWSPERSTRIP, &rows_per_strip);
  if (rows_per_strip == 0 || rows_per_strip > H) rows_per_strip = static_cast<std::uint32_t>(H);
  std::vector<unsigned char>& buf = img.buffer;
  buf.resize(static_cast<size_t>(rows_per_strip) * W * bytes);
  for (size_t y0 = 0; y0 < H; y0 += rows_per_strip) {
    const size_t rows = std::min<size_t>(rows_per_strip, H - y0);
    const tstrip_t strip = TIFFComputeStrip(tif, static_cast<std::uint32_t>(y0), 0);
    const tmsize_t got = TIFFReadEncodedStrip(tif, strip, buf.data(), static_cast<tmsize_t>(rows * W * bytes));
    if (got < 0 || static_cast<size_t>(got) != rows * W * bytes) refuse(p.where, tiff_failure(errors, "cannot decode a strip"));
    widen(p, buf.data(), rows * W, img, y0 * W);
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
  TiffMessages errors;
  TiffPage p;
  open_page(path, page, errors, p);
  return p.info;
}

std::vector<IntensityInfo> intensity_stack_info(const std::string& path) {
  TiffMessages errors;
  TiffPage p;
  const std::uint64_t size = open_file(path, errors, p);
  std::vector<IntensityInfo> pages;
  do {
    p.where = strprintf("%s (page %zu)", path.c_str(), pages.size());
    check_page(p, size);
    pages.push_back(p.info);
  } while (TIFFReadDirectory(p.tif.get()) == 1);
  return pages;
}

IntensityImage read_intensity_image(const std::string& path, long page) {
  IntensityImage img;
  read_intensity_image(path, page, img);
  return img;
}

void read_intensity_image(const std::string& path, long page, IntensityImage& img) {
  img.values.clear();
  img.whole.clear();
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
    img.whole.assign(grey.labels.begin(), grey.labels.end());
    return;
  }
  TiffMessages errors;
  TiffPage p;
  open_page(path, page, errors, p);
  img.width = p.info.width;
  img.height = p.info.height;
  const size_t n = static_cast<size_t>(img.width) * static_cast<size_t>(img.height);
  if (!p.info.floating && p.info.bits <= 16)
    img.whole.resize(n);
  else
    img.values.resize(n);
  read_pixels(p, errors, img);
}

namespace {

// The median of `v` (the mean of the two middle values for an even count).
double median_by_selection(std::vector<double>& v) {
  const size_t mid = v.size() / 2;
  std::nth_element(v.begin(), v.begin() + static_cast<long>(mid), v.end());
  const double upper = v[mid];
  if (v.size() % 2 == 1) return upper;
  return (*std::max_element(v.begin(), v.begin() + static_cast<long>(mid)) + upper) / 2;
}

// Background values that are whole numbers of 8 or 16 bits (signed or not)
// are counted instead of kept: their median is read off the counts.
constexpr int kLowest = -32768, kHighest = 65535;

bool is_counted(double v) {
  return v >= kLowest && v <= kHighest && v == static_cast<double>(static_cast<int>(v));
}

// The value of rank `r` (from 0) among the counted values.
double value_of_rank(const std::vector<std::uint32_t>& counts, size_t r) {
  size_t seen = 0;
  for (size_t k = 0; k < counts.size(); ++k) {
    seen += counts[k];
    if (seen > r) return static_cast<double>(static_cast<int>(k) + kLowest);
  }
  return NAN;
}

}  // namespace

namespace {

// Adds up every cell's pixels (total, pixels) and passes each background
// value to `outside`. Row-major, one pixel at a time: every cell's sum in the
// same order as the image's own pixels.
template <typename V, typename Sum, typename Outside>
void add_up(const std::uint32_t* labels, const V* values, size_t n, const std::vector<std::uint32_t>& cells,
            std::vector<Sum>& total, std::vector<double>& pixels, Outside&& outside) {
  std::uint32_t last = 0;
  size_t at = cells.size();  // the cell of label `last`; cells.size(): not a cell
  for (size_t k = 0; k < n; ++k) {
    const std::uint32_t v = labels[k];
    if (v == 0) {
      outside(values[k]);
      continue;
    }
    if (v != last) {
      last = v;
      const auto found = std::lower_bound(cells.begin(), cells.end(), v);
      at = found != cells.end() && *found == v ? static_cast<size_t>(found - cells.begin()) : cells.size();
    }
    if (at == cells.size()) continue;
    total[at] += values[k];
    pixels[at] += 1.0;
  }
}

template <typename Sum>
void set_means(const std::vector<Sum>& total, const std::vector<double>& pixels, CellIntensity& out) {
  out.total.resize(total.size());
  out.mean.resize(total.size());
  for (size_t i = 0; i < total.size(); ++i) {
    out.total[i] = static_cast<double>(total[i]);
    out.mean[i] = pixels[i] > 0 ? out.total[i] / pixels[i] : NAN;
  }
}

double counted_median(const std::vector<std::uint32_t>& counts, size_t background) {
  if (background == 0) return NAN;
  const double upper = value_of_rank(counts, background / 2);
  return background % 2 == 1 ? upper : (value_of_rank(counts, background / 2 - 1) + upper) / 2;
}

}  // namespace

CellIntensity measure_intensity(const std::uint32_t* labels, const double* values, int width, int height,
                                const std::vector<std::uint32_t>& labels_of_cells) {
  CellIntensity out;
  std::vector<double> total(labels_of_cells.size(), 0.0), pixels(labels_of_cells.size(), 0.0);
  std::vector<std::uint32_t> counts(static_cast<size_t>(kHighest - kLowest + 1), 0);
  bool counted = true;
  size_t background = 0;
  const size_t n = static_cast<size_t>(width) * static_cast<size_t>(height);
  add_up(labels, values, n, labels_of_cells, total, pixels, [&](double v) {
    ++background;
    if (counted && is_counted(v))
      ++counts[static_cast<size_t>(static_cast<int>(v) - kLowest)];
    else
      counted = false;
  });
  set_means(total, pixels, out);
  if (counted || background == 0) {
    out.background = counted_median(counts, background);
  } else {
    std::vector<double> outside;
    outside.reserve(background);
    for (size_t k = 0; k < n; ++k)
      if (labels[k] == 0) outside.push_back(values[k]);
    out.background = median_by_selection(outside);
  }
  return out;
}

CellIntensity measure_intensity(const std::uint32_t* labels, const std::int32_t* values, int width, int height,
                                const std::vector<std::uint32_t>& labels_of_cells) {
  CellIntensity out;
  // Whole sums: exact, and the same doubles as the sums in double above.
  std::vector<std::int64_t> total(labels_of_cells.size(), 0);
  std::vector<double> pixels(labels_of_cells.size(), 0.0);
  std::vector<std::uint32_t> counts(static_cast<size_t>(kHighest - kLowest + 1), 0);
  size_t background = 0;
  add_up(labels, values, static_cast<size_t>(width) * static_cast<size_t>(height), labels_of_cells, total, pixels,
         [&](std::int32_t v) {
           ++background;
           ++counts[static_cast<size_t>(v - kLowest)];
         });
  set_means(total, pixels, out);
  out.background = counted_median(counts, background);
  return out;
}

CellIntensity measure_intensity(const std::uint32_t* labels, const IntensityImage& image,
                                const std::vector<std::uint32_t>& labels_of_cells) {
  return image.whole.empty()
             ? measure_intensity(labels, image.values.data(), image.width, image.height, labels_of_cells)
             : measure_intensity(labels, image.whole.data(), image.width, image.height, labels_of_cells);
}

}  // namespace vantu
