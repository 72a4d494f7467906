// Label masks: the readers on files written by libtiff and libpng and their
// refusals, the measured shapes of rods of known geometry, and whole runs of
// vantu-track from simulated masks to the track masks of a result folder.
#include <gtest/gtest.h>
#include <png.h>
#include <tiffio.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "image/image.h"
#include "tests/harness.h"
#include "track/track.h"

using vantu_test::Outcome;
using vantu_test::RunDir;
using namespace vantu;

namespace {

// ---- Files written by the libraries themselves ----

struct TiffLayout {
  int bits = 16;
  int compression = COMPRESSION_NONE;
  int format = SAMPLEFORMAT_UINT;
  int samples = 1;
  int pages = 1;
  bool tiled = false;
  bool set_first = false;  // the first pixel holds `first` (as two's complement) instead of its label
  long long first = 0;
};

// A test pattern: labels up to `top`, in runs and isolated pixels.
LabelImage pattern(int width, int height, std::uint32_t top) {
  LabelImage img;
  img.width = width;
  img.height = height;
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x)
      img.labels.push_back(((x / 7 + y / 5) % 4 == 0) ? 0 : (static_cast<std::uint32_t>(x * 31 + y * 17) % top) + 1);
  return img;
}

void write_tiff(const std::string& path, const LabelImage& img, const TiffLayout& l) {
  TIFF* tif = TIFFOpen(path.c_str(), "w");
  ASSERT_NE(tif, nullptr);
  const size_t bytes = static_cast<size_t>(l.bits / 8) * static_cast<size_t>(l.samples);
  for (int page = 0; page < l.pages; ++page) {
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, img.width);
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, img.height);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, l.bits);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, l.samples);
    TIFFSetField(tif, TIFFTAG_SAMPLEFORMAT, l.format);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, l.samples == 3 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK);
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tif, TIFFTAG_COMPRESSION, l.compression);
    if (l.compression == COMPRESSION_LZW || l.compression == COMPRESSION_ADOBE_DEFLATE)
      TIFFSetField(tif, TIFFTAG_PREDICTOR, PREDICTOR_HORIZONTAL);
    if (l.pages > 1) TIFFSetField(tif, TIFFTAG_SUBFILETYPE, FILETYPE_PAGE);
    std::vector<unsigned char> buf;
    for (size_t k = 0; k < img.labels.size(); ++k)
      for (int s = 0; s < l.samples; ++s) {
        std::uint64_t v = img.labels[k];
        if (l.set_first && k == 0) v = static_cast<std::uint64_t>(l.first);  // two's complement
        if (l.format == SAMPLEFORMAT_IEEEFP) {
          const float f = static_cast<float>(v);
          std::uint32_t bits32;
          std::memcpy(&bits32, &f, 4);
          v = bits32;
        }
        for (int b = 0; b < l.bits / 8; ++b) buf.push_back(0);
        std::memcpy(buf.data() + buf.size() - l.bits / 8, &v, static_cast<size_t>(l.bits / 8));  // little-endian host
      }
    if (l.tiled) {
      TIFFSetField(tif, TIFFTAG_TILEWIDTH, 16);
      TIFFSetField(tif, TIFFTAG_TILELENGTH, 16);
      std::vector<unsigned char> tile(16 * 16 * bytes);
      for (int y0 = 0; y0 < img.height; y0 += 16)
        for (int x0 = 0; x0 < img.width; x0 += 16) {
          std::fill(tile.begin(), tile.end(), 0);
          for (int y = y0; y < std::min(img.height, y0 + 16); ++y)
            for (int x = x0; x < std::min(img.width, x0 + 16); ++x)
              std::memcpy(&tile[(static_cast<size_t>(y - y0) * 16 + static_cast<size_t>(x - x0)) * bytes],
                          &buf[(static_cast<size_t>(y) * static_cast<size_t>(img.width) + static_cast<size_t>(x)) * bytes], bytes);
          ASSERT_GE(TIFFWriteTile(tif, tile.data(), static_cast<std::uint32_t>(x0), static_cast<std::uint32_t>(y0), 0, 0), 0);
        }
    } else {
      TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, 7);
      for (int y = 0; y < img.height; ++y)
        ASSERT_EQ(TIFFWriteScanline(tif, &buf[static_cast<size_t>(y) * static_cast<size_t>(img.width) * bytes], static_cast<std::uint32_t>(y), 0), 1);
    }
    TIFFWriteDirectory(tif);
  }
  TIFFClose(tif);
}

void write_png(const std::string& path, const LabelImage& img, int bits, int colour = PNG_COLOR_TYPE_GRAY) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  png_init_io(png, f);
  png_set_IHDR(png, info, static_cast<png_uint_32>(img.width), static_cast<png_uint_32>(img.height), bits, colour,
               PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  const int channels = colour == PNG_COLOR_TYPE_RGB ? 3 : 1;
  std::vector<unsigned char> row;
  for (int y = 0; y < img.height; ++y) {
    row.clear();
    for (int x = 0; x < img.width; ++x)
      for (int c = 0; c < channels; ++c) {
        const std::uint32_t v = img.labels[static_cast<size_t>(y) * static_cast<size_t>(img.width) + static_cast<size_t>(x)];
        if (bits == 16) row.push_back(static_cast<unsigned char>(v >> 8));  // big-endian
        row.push_back(static_cast<unsigned char>(v & 0xff));
      }
    png_write_row(png, row.data());
  }
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  std::fclose(f);
}

TEST(MaskReader, EveryCompressionAndDepthReadsTheSameLabels) {
  RunDir d;
  struct Case {
    const char* name;
    int compression;
    bool tiled;
  };
  const Case cases[] = {{"none", COMPRESSION_NONE, false},     {"deflate", COMPRESSION_ADOBE_DEFLATE, false},
                        {"lzw", COMPRESSION_LZW, false},       {"zstd", COMPRESSION_ZSTD, false},
                        {"packbits", COMPRESSION_PACKBITS, false}, {"deflate-tiled", COMPRESSION_ADOBE_DEFLATE, true}};
  for (int bits : {8, 16, 32}) {
    const std::uint32_t top = bits == 8 ? 250u : bits == 16 ? 65000u : 4000000000u;
    const LabelImage img = pattern(53, 37, top);
    for (const Case& c : cases) {
      TiffLayout l;
      l.bits = bits;
      l.compression = c.compression;
      l.tiled = c.tiled;
      const std::string path = d.file(std::string(c.name) + std::to_string(bits) + ".tif");
      write_tiff(path, img, l);
      const LabelImage got = read_label_image(path);
      EXPECT_EQ(got.width, 53);
      EXPECT_EQ(got.height, 37);
      EXPECT_TRUE(got.labels == img.labels) << c.name << " " << bits;
    }
  }
  for (int bits : {8, 16}) {
    const LabelImage img = pattern(41, 29, bits == 8 ? 250u : 65000u);
    const std::string path = d.file("grey" + std::to_string(bits) + ".PNG");
    write_png(path, img, bits);
    const LabelImage got = read_label_image(path);
    EXPECT_EQ(got.width, 41);
    EXPECT_TRUE(got.labels == img.labels) << bits;
  }
}

// The refusal of `path` names the file and says why.
void expect_refused(const std::string& path, const std::string& why) {
  try {
    read_label_image(path);
    ADD_FAILURE() << path << " was read";
  } catch (const ImageError& e) {
    const std::string m = e.what();
    EXPECT_NE(m.find(path), std::string::npos) << m;
    EXPECT_NE(m.find(why), std::string::npos) << m;
  }
}

// What skimage.measure.label and numpy give (int32, int64) holds labels too,
// as long as none is negative and each fits 32 bits.
TEST(MaskReader, SignedAndSixtyFourBitLabelsReadAsTheirValuesAndNegativeOnesAreRefused) {
  RunDir d;
  for (int bits : {8, 16, 32, 64})
    for (bool tiled : {false, true}) {
      const LabelImage img = pattern(37, 21, bits == 8 ? 120u : bits == 16 ? 30000u : 2000000000u);
      TiffLayout l;
      l.bits = bits;
      l.format = SAMPLEFORMAT_INT;
      l.tiled = tiled;
      l.compression = COMPRESSION_ADOBE_DEFLATE;
      const std::string name = "int" + std::to_string(bits) + (tiled ? "t" : "");
      write_tiff(d.file(name + ".tif"), img, l);
      EXPECT_TRUE(read_label_image(d.file(name + ".tif")).labels == img.labels) << name;
      l.set_first = true;
      l.first = -3;
      write_tiff(d.file(name + "neg.tif"), img, l);
      expect_refused(d.file(name + "neg.tif"), "negative label -3 in signed " + std::to_string(bits) + "-bit pixels");
    }
  TiffLayout wide;
  wide.bits = 64;
  const LabelImage img = pattern(37, 21, 4000000000u);
  write_tiff(d.file("uint64.tif"), img, wide);
  EXPECT_TRUE(read_label_image(d.file("uint64.tif")).labels == img.labels);
  wide.set_first = true;
  wide.first = 5000000000LL;
  write_tiff(d.file("past32.tif"), img, wide);
  expect_refused(d.file("past32.tif"), "label 5000000000 does not fit 32 bits");
}

TEST(MaskReader, RefusesWhatIsNotOnePageOfIntegerLabels) {
  RunDir d;
  const LabelImage img = pattern(20, 10, 200);
  TiffLayout rgb;
  rgb.bits = 8;
  rgb.samples = 3;
  write_tiff(d.file("rgb.tif"), img, rgb);
  expect_refused(d.file("rgb.tif"), "RGB");
  TiffLayout real;
  real.bits = 32;
  real.format = SAMPLEFORMAT_IEEEFP;
  write_tiff(d.file("float.tif"), img, real);
  expect_refused(d.file("float.tif"), "floating-point");
  TiffLayout stack;
  stack.pages = 3;
  write_tiff(d.file("stack.tif"), img, stack);
  expect_refused(d.file("stack.tif"), "3 pages");
  write_png(d.file("rgb.png"), img, 8, PNG_COLOR_TYPE_RGB);
  expect_refused(d.file("rgb.png"), "colour");

  d.write("text.tif", "not an image\n");
  expect_refused(d.file("text.tif"), "not a readable TIFF");
  d.write("text.png", "not an image\n");
  expect_refused(d.file("text.png"), "not a PNG");
  expect_refused(d.file("absent.tif"), "cannot open");
  // Cut short: the header is there, the pixels are not.
  write_tiff(d.file("whole.tif"), pattern(200, 100, 200), TiffLayout());
  const std::string whole = d.read("whole.tif");
  d.write("cut.tif", whole.substr(0, whole.size() / 3));
  expect_refused(d.file("cut.tif"), "cut.tif");
  write_png(d.file("whole.png"), pattern(200, 100, 200), 16);
  const std::string png = d.read("whole.png");
  d.write("cut.png", png.substr(0, png.size() / 2));
  expect_refused(d.file("cut.png"), "unreadable PNG");
}

// Sizes declared by a damaged or hostile header are refused before their
// memory is taken (each of these once asked for gigabytes or terabytes).
TEST(MaskReader, RefusesDeclaredSizesBeforeTakingTheirMemory) {
  RunDir d;
  // Uncompressed 30000 x 30000 pixels declared in a file of a few hundred bytes.
  TIFF* tif = TIFFOpen(d.file("huge.tif").c_str(), "w");
  ASSERT_NE(tif, nullptr);
  TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, 30000);
  TIFFSetField(tif, TIFFTAG_IMAGELENGTH, 30000);
  TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 16);
  TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
  TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, 30000);
  TIFFWriteCheck(tif, 0, "test");
  TIFFWriteDirectory(tif);
  TIFFClose(tif);
  expect_refused(d.file("huge.tif"), "need 1800000000 bytes");
  // A tile of 65536 x 65536 pixels in a 20 x 10 image.
  tif = TIFFOpen(d.file("tile.tif").c_str(), "w");
  ASSERT_NE(tif, nullptr);
  TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, 20);
  TIFFSetField(tif, TIFFTAG_IMAGELENGTH, 10);
  TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 32);
  TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
  TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_ADOBE_DEFLATE);
  TIFFSetField(tif, TIFFTAG_TILEWIDTH, 65536);
  TIFFSetField(tif, TIFFTAG_TILELENGTH, 65536);
  TIFFWriteCheck(tif, 1, "test");
  TIFFWriteDirectory(tif);
  TIFFClose(tif);
  expect_refused(d.file("tile.tif"), "bad tile size 65536 x 65536");
  // A PNG of 1000000 x 1000000 16-bit pixels whose data stops after a few rows.
  std::FILE* f = std::fopen(d.file("huge.png").c_str(), "wb");
  ASSERT_NE(f, nullptr);
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  png_init_io(png, f);
  png_set_IHDR(png, info, 1000000, 1000000, 16, PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  std::vector<unsigned char> row(2000000, 0);
  for (int y = 0; y < 20; ++y) png_write_row(png, row.data());
  png_write_flush(png);
  png_destroy_write_struct(&png, &info);
  std::fclose(f);
  expect_refused(d.file("huge.png"), "1000000 x 1000000 pixels is too large");
}

// ---- Measurement on rods of known geometry ----

// A rod (rectangle with round caps) of pole-to-pole length L and width W,
// centred at (cx, cy), axis (cos a, -sin a): the pixels whose centres lie
// within W / 2 of the axis segment.
void draw_rod(LabelImage& img, std::uint32_t label, double cx, double cy, double L, double W, double degrees) {
  const double a = degrees * 3.14159265358979323846 / 180, ax = std::cos(a), ay = -std::sin(a);
  const double half = L / 2 - W / 2;
  for (int y = 0; y < img.height; ++y)
    for (int x = 0; x < img.width; ++x) {
      const double px = x - cx, py = y - cy;
      const double t = std::max(-half, std::min(half, px * ax + py * ay));
      if (std::hypot(px - t * ax, py - t * ay) <= W / 2)
        img.labels[static_cast<size_t>(y) * static_cast<size_t>(img.width) + static_cast<size_t>(x)] = label;
    }
}

TEST(MaskMeasure, RodsOfKnownGeometryAtManyAngles) {
  const double angles[] = {0, 17, 30, 45, 60, 90, 112.5, 135, 150, 179};
  for (double L : {20.0, 45.0}) {
    LabelImage img;
    img.width = img.height = 400;
    img.labels.assign(400 * 400, 0);
    const double W = 13;
    for (size_t k = 0; k < std::size(angles); ++k)
      draw_rod(img, static_cast<std::uint32_t>(70 + 3 * k), 40.3 + 75 * static_cast<double>(k % 5),
               60.7 + 120 * static_cast<double>(k / 5), L, W, angles[k]);
    const std::vector<RegionShape> s = measure_regions(img, 1000, "rods");
    ASSERT_EQ(s.size(), std::size(angles));
    for (size_t k = 0; k < s.size(); ++k) {
      SCOPED_TRACE("L " + std::to_string(L) + " angle " + std::to_string(angles[k]));
      EXPECT_EQ(s[k].label, 70 + 3 * k);
      // Within the rounding of the rod's edges to whole pixels.
      EXPECT_NEAR(s[k].x, 40.3 + 75 * static_cast<double>(k % 5), 0.35);
      EXPECT_NEAR(s[k].y, 60.7 + 120 * static_cast<double>(k / 5), 0.35);
      EXPECT_NEAR(s[k].length, L, 1.0);
      double da = std::fabs(s[k].angle - angles[k]);
      da = std::min(da, 180 - da);
      EXPECT_LT(da, L > 30 ? 1.0 : 2.5);
      EXPECT_GE(s[k].angle, 0.0);
      EXPECT_LT(s[k].angle, 180.0);
      // The mean width of a rod with round caps: its area over its length.
      const double area = W * (L - W) + 3.14159265358979323846 * W * W / 4;
      EXPECT_NEAR(s[k].area, area, 0.05 * area);
      EXPECT_NEAR(s[k].width, area / L, 0.5);
    }
  }
}

TEST(MaskMeasure, SinglePixelsLinesAndTheLabelCap) {
  LabelImage img;
  img.width = 40;
  img.height = 30;
  img.labels.assign(1200, 0);
  img.labels[5 * 40 + 7] = 9;                                      // one pixel
  for (int x = 10; x < 30; ++x) img.labels[20 * 40 + x] = 4000000000u;  // a horizontal line, 20 px
  for (int y = 2; y < 12; ++y) img.labels[static_cast<size_t>(y) * 40 + 35] = 3;  // a vertical line, 10 px
  const std::vector<RegionShape> s = measure_regions(img, 3, "lines");
  ASSERT_EQ(s.size(), 3u);
  EXPECT_EQ(s[0].label, 3u);
  EXPECT_DOUBLE_EQ(s[0].length, 10.0);
  EXPECT_DOUBLE_EQ(s[0].angle, 90.0);
  EXPECT_DOUBLE_EQ(s[0].y, 6.5);
  EXPECT_EQ(s[1].label, 9u);
  EXPECT_DOUBLE_EQ(s[1].length, 1.0);
  EXPECT_DOUBLE_EQ(s[1].area, 1.0);
  EXPECT_EQ(s[2].label, 4000000000u);
  EXPECT_DOUBLE_EQ(s[2].length, 20.0);
  EXPECT_DOUBLE_EQ(s[2].angle, 0.0);
  EXPECT_DOUBLE_EQ(s[2].x, 19.5);
  EXPECT_THROW(measure_regions(img, 2, "lines"), ImageError);
}

TEST(MaskMeasure, ACellWhosePixelsInARowLieInSeveralRunsSpansThemAll) {
  // Label 5 in row 10: x 0..9, 15..19 and 25..29, cut by label 6 twice;
  // its far pole lies only in the last run.
  LabelImage img;
  img.width = 32;
  img.height = 16;
  img.labels.assign(32 * 16, 0);
  for (int x = 0; x < 30; ++x) img.labels[10 * 32 + static_cast<size_t>(x)] = (x >= 10 && x < 15) || (x >= 20 && x < 25) ? 6 : 5;
  const std::vector<RegionShape> s = measure_regions(img, 10, "runs");
  ASSERT_EQ(s.size(), 2u);
  EXPECT_DOUBLE_EQ(s[0].length, 30.0);
  EXPECT_DOUBLE_EQ(s[0].area, 20.0);
  EXPECT_DOUBLE_EQ(s[0].x, 13.25);
  EXPECT_DOUBLE_EQ(s[0].angle, 0.0);
  EXPECT_DOUBLE_EQ(s[1].length, 15.0);  // label 6: x 10..24 pole to pole
  EXPECT_DOUBLE_EQ(s[1].area, 10.0);
}

// ---- The tracker on masks ----

// Labels 1..n in a grid of small squares.
// ---- Label masks, not other images ----

TEST(MaskCheck, PiecesJoinAtSidesAndCornersAndTouchingCellsStayApart) {
  // 1: a U open upwards (one piece, two runs in its top rows); 2: two
  // pixels meeting at a corner; 3: two pieces; 4: beside 1, touching it.
  const char* const rows[] = {
      "1...1.2.....",
      "1...14.2..3.",
      "11111.....3.",
      "............",
      "..........3.",
  };
  LabelImage img;
  img.width = 12;
  img.height = 5;
  for (const char* r : rows)
    for (int x = 0; x < 12; ++x) img.labels.push_back(r[x] == '.' ? 0u : static_cast<std::uint32_t>(r[x] - '0'));
  const LabelLayout l = label_layout(img.labels.data(), img.width, img.height);
  EXPECT_EQ(l.labels, 4);
  EXPECT_EQ(l.pieces, 5);
  EXPECT_EQ(l.split_labels, 1);
  EXPECT_EQ(l.labelled_pixels, 15);
  EXPECT_EQ(l.pixels, 60);
  // The same counted while measuring, as a run does.
  LabelLayout measured;
  EXPECT_EQ(measure_labels(img.labels.data(), img.width, img.height, 10, "pieces", &measured).size(), 4u);
  EXPECT_EQ(measured.pieces, 5);
  EXPECT_EQ(measured.split_labels, 1);
  EXPECT_EQ(measured.labelled_pixels, 15);
}

TEST(MaskCheck, IntensityImagesAndForegroundMasksAreRefusedWhileColoniesPass) {
  // A colony of touching rods, two of them in two pieces, and a label past 16 bits.
  LabelImage colony;
  colony.width = colony.height = 300;
  colony.labels.assign(300 * 300, 0);
  for (int k = 0; k < 60; ++k)
    draw_rod(colony, k == 7 ? 70000u : static_cast<std::uint32_t>(k + 1), 20 + 26 * (k % 10), 25 + 45 * (k / 10), 40,
             13, k % 3 == 0 ? 90 : 0);
  for (std::uint32_t label : {3u, 70000u}) colony.labels[299 * 300 + label % 250] = label;
  EXPECT_EQ(label_layout(colony.labels.data(), 300, 300).split_labels, 2);
  EXPECT_NO_THROW(check_label_masks(colony.labels.data(), 300, 300, "colony"));
  // One cell in two pieces, alone in its frame.
  LabelImage one = colony;
  for (std::uint32_t& v : one.labels) v = v == 3 ? 1 : 0;
  EXPECT_NO_THROW(check_label_masks(one.labels.data(), 300, 300, "one"));

  // Camera counts: noise around 1000.
  LabelImage camera = colony;
  std::uint32_t seed = 12345;
  for (std::uint32_t& v : camera.labels) {
    seed = seed * 1664525u + 1013904223u;
    v = 900 + (seed >> 16) % 200 + (v ? 300 : 0);
  }
  try {
    check_label_masks(camera.labels.data(), 300, 300, "frame_003.tif");
    ADD_FAILURE() << "an intensity image passed";
  } catch (const ImageError& e) {
    const std::string m = e.what();
    EXPECT_NE(m.find("frame_003.tif: 400 labels over 100 % of the pixels, most labels in several pieces"),
              std::string::npos) << m;
    EXPECT_NE(m.find("this looks like an intensity image, not label masks"), std::string::npos) << m;
  }
  // Every other cell (so that they do not touch), labelled 1: a foreground mask.
  LabelImage foreground = colony;
  for (std::uint32_t& v : foreground.labels) v = v && v != 70000u && (v - 1) % 2 == 0 ? 1 : 0;
  try {
    check_label_masks(foreground.labels.data(), 300, 300, "fg.tif");
    ADD_FAILURE() << "a foreground mask passed";
  } catch (const ImageError& e) {
    EXPECT_NE(std::string(e.what()).find("fg.tif: one label over"), std::string::npos) << e.what();
    EXPECT_NE(std::string(e.what()).find("foreground (binary) mask"), std::string::npos) << e.what();
  }
}

// The masks of a real movie pass (a few of its frames, to stay fast).
TEST(MaskCheck, TheRealMoviesMasksPass) {
  const std::string dir = "/work/shared/data/ecoli_agar/masks/";
  std::FILE* probe = std::fopen((dir + "frame_000.tif").c_str(), "rb");
  if (!probe) GTEST_SKIP() << "the real movie is absent";
  std::fclose(probe);
  for (const char* name : {"frame_000.tif", "frame_011.tif", "frame_022.tif"}) {
    const LabelImage img = read_label_image(dir + name);
    EXPECT_NO_THROW(check_label_masks(img.labels.data(), img.width, img.height, name)) << name;
  }
}

LabelImage squares(int n, int width) {
  LabelImage img;
  img.width = width;
  img.height = width;
  img.labels.assign(static_cast<size_t>(width) * static_cast<size_t>(width), 0);
  const int per_row = width / 4;
  for (int k = 0; k < n; ++k) {
    const int x0 = 4 * (k % per_row), y0 = 4 * (k / per_row);
    for (int y = y0; y < y0 + 3; ++y)
      for (int x = x0; x < x0 + 3; ++x)
        img.labels[static_cast<size_t>(y) * static_cast<size_t>(width) + static_cast<size_t>(x)] =
            static_cast<std::uint32_t>(k + 1);
  }
  return img;
}

TEST(MaskTracker, RefusesMismatchedFramesAndMixedInput) {
  RunDir d;
  d.write("a.tif", tiff16_bytes(squares(10, 128)));
  d.write("b.tif", tiff16_bytes(squares(10, 80)));
  d.write("c.dat", "1 2 20 0 1\n");
  const struct {
    std::vector<std::string> args;
    std::string message;
  } cases[] = {
      {{"a.tif", "b.tif"}, "mask b.tif: 80 x 80 pixels, but a.tif has 128 x 128"},
      {{"a.tif", "c.dat"}, "mix masks"},
      {{"--points-only", "c.dat", "c.dat"}, "--points-only takes masks"},
      {{"a.tif", "absent.png"}, "mask absent.png: cannot open"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = {"-o", "out"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const Outcome o = d.run(args, VANTU_TRACK_BIN);
    EXPECT_EQ(o.status, 1);
    EXPECT_NE(o.err.find(c.message), std::string::npos) << o.err;
    EXPECT_FALSE(d.exists("out")) << c.message;
  }
  CtcLabels big;
  big.lines.resize(65536);
  EXPECT_THROW(check_track_labels(big), TrackError);
  big.lines.resize(65535);
  EXPECT_NO_THROW(check_track_labels(big));
}

class MaskRun : public vantu_test::SimulatedMasks {};

TEST_F(MaskRun, SimulatorMasksLeaveTheOtherFilesUnchanged) {
  ASSERT_EQ(masks.size(), 6u);
  vantu_test::simulate_timelapse(*data, "plain", {"--frames", "6", "--cells", "30", "--seed", "7"});
  for (const char* name : {"cells.csv", "truth.csv", "truth_tracks.csv", "frame_0003.dat"})
    EXPECT_EQ(data->read(std::string("plain/") + name), data->read(std::string("tl/") + name)) << name;
  EXPECT_FALSE(data->exists("plain/mask_0000.tif"));
}

TEST_F(MaskRun, PointsOnlyWritesTheMeasuredCellsAndNothingElse) {
  std::vector<std::string> args = {"--points-only", "-o", "pts"};
  args.insert(args.end(), masks.begin(), masks.end());
  const Outcome o = data->run(args, VANTU_TRACK_BIN);
  ASSERT_EQ(o.status, 0) << o.err;
  const std::vector<std::string> rows = vantu_test::lines(data->read("pts/frame_0002.dat"));
  const std::vector<std::string> truth = vantu_test::lines(data->read("tl/frame_0002.dat"));
  ASSERT_EQ(rows.size(), truth.size());
  for (int t = 0; t < 6; ++t) EXPECT_TRUE(data->exists("pts/" + frame_file_name(t)));
  EXPECT_FALSE(data->exists("pts/cells.csv"));
  EXPECT_FALSE(data->exists("pts/softconfig.dat"));
  // Each measured cell lies near the detection drawn with its label.
  std::map<int, std::vector<double>> drawn;
  for (const auto& r : vantu_test::table(data->read("tl/frame_0002.dat")))
    drawn[std::stoi(r[4])] = {std::stod(r[0]), std::stod(r[1]), std::stod(r[2]), std::stod(r[3])};
  int near = 0;
  for (const auto& r : vantu_test::table(data->read("pts/frame_0002.dat"))) {
    ASSERT_EQ(r.size(), 5u);
    const std::vector<double>& p = drawn.at(std::stoi(r[4]));
    const double dist = std::hypot(std::stod(r[0]) - p[0], std::stod(r[1]) - p[1]);
    EXPECT_LT(dist, 4.0) << r[4];
    const double turn = std::fmod(std::fabs(std::stod(r[3]) - p[3]), 180.0);  // axes: modulo 180 degrees
    near += dist < 1.5 && std::fabs(std::stod(r[2]) - p[2]) < 3 && std::min(turn, 180 - turn) < 6 ? 1 : 0;
  }
  EXPECT_GE(near, static_cast<int>(rows.size() * 8 / 10));
}

TEST_F(MaskRun, TrackMasksKeepEveryCellsPixelsUnderALiveTrack) {
  std::vector<std::string> args = {"-o", "ctc"};
  args.insert(args.end(), masks.begin(), masks.end());
  const Outcome o = data->run(args, VANTU_TRACK_BIN);
  ASSERT_EQ(o.status, 0) << o.err;
  std::map<int, std::pair<int, int>> alive;  // track -> first, last frame
  for (const auto& r : vantu_test::table(data->read("ctc/res_track.txt"))) {
    ASSERT_EQ(r.size(), 4u);
    alive[std::stoi(r[0])] = {std::stoi(r[1]), std::stoi(r[2])};
  }
  std::map<std::pair<int, int>, int> track_of;  // (frame, id) -> track, from cells.csv
  const auto cells = vantu_test::csv_rows(data->read("ctc/cells.csv"));
  ASSERT_EQ(cells[0][cells[0].size() - 5], "width");  // the input's extras, flag, generation, confidence, border
  for (size_t k = 1; k < cells.size(); ++k)
    track_of[{std::stoi(cells[k][0]), std::stoi(cells[k][1])}] = std::stoi(cells[k][2]);
  for (int t = 0; t < 6; ++t) {
    const LabelImage in = read_label_image(masks[static_cast<size_t>(t)]);
    const LabelImage out = read_label_image(data->file("ctc/" + track_mask_name(t, 6)));
    ASSERT_EQ(out.width, in.width);
    ASSERT_EQ(out.height, in.height);
    std::set<std::uint32_t> seen;
    for (size_t k = 0; k < in.labels.size(); ++k) {
      if (in.labels[k] == 0) {
        ASSERT_EQ(out.labels[k], 0u);
        continue;
      }
      const int want = track_of.at({t, static_cast<int>(in.labels[k])});
      ASSERT_EQ(out.labels[k], static_cast<std::uint32_t>(want)) << "frame " << t << " pixel " << k;
      seen.insert(out.labels[k]);
    }
    for (std::uint32_t L : seen) {
      ASSERT_TRUE(alive.count(static_cast<int>(L))) << L;
      EXPECT_LE(alive[static_cast<int>(L)].first, t);
      EXPECT_GE(alive[static_cast<int>(L)].second, t);
    }
  }
  // As accurate as the same time-lapse from its point files.
  std::vector<std::string> pargs = {"-o", "points"};
  pargs.insert(pargs.end(), frames.begin(), frames.end());
  ASSERT_EQ(data->run(pargs, VANTU_TRACK_BIN).status, 0);
  const std::string truth = data->read("tl/truth.csv");
  const vantu_test::LineageScore m = vantu_test::score_lineage(data->read("ctc/cells.csv"), truth);
  const vantu_test::LineageScore p = vantu_test::score_lineage(data->read("points/cells.csv"), truth);
  EXPECT_EQ(m.cells, p.cells);
  EXPECT_GE(m.links, p.links - 0.02);
  EXPECT_GE(m.daughters_found, p.daughters_found - 0.1);
  EXPECT_GE(m.links, 0.95);
}

TEST_F(MaskRun, ASecondRunLeavesOnlyItsOwnTrackMasks) {
  std::vector<std::string> args = {"-o", "twice", masks[0], masks[1], masks[2]};
  ASSERT_EQ(data->run(args, VANTU_TRACK_BIN).status, 0);
  data->write("twice/mask0009.tif", "the user's, named like a track mask");
  data->write("twice/mask_notes.tif", "the user's");
  args.pop_back();
  const Outcome o = data->run(args, VANTU_TRACK_BIN);
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_TRUE(data->exists("twice/mask000.tif"));
  EXPECT_TRUE(data->exists("twice/mask001.tif"));
  EXPECT_FALSE(data->exists("twice/mask002.tif"));
  EXPECT_NE(o.err.find("held an earlier run: 10 of its files replaced, 2 removed (mask002.tif, pairs/0001.txt)"),
            std::string::npos)
      << o.err;
  EXPECT_EQ(data->read("twice/mask0009.tif"), "the user's, named like a track mask");
  EXPECT_TRUE(data->exists("twice/mask_notes.tif"));
  EXPECT_FALSE(data->exists("twice/mask000.tif.partial"));
}

}  // namespace
