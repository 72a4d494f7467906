// Reading and measuring label masks of 1000 x 1000 pixels: frames per second
// for each file format, one thread.
//
//   cmake --build build --target vantu-mask-bench && build/vantu-mask-bench [FRAMES] [DIR]
//
// Writes eight different masks of 1000 rods (13 px wide, 25 to 38 px long,
// angles spread over every direction, labels a random permutation of 1..1000)
// in each format into DIR (default: a fresh folder under /tmp, removed at the
// end), then reads and measures FRAMES masks (default 200) of each format in
// turn, cycling through the eight, and prints the rate by the wall clock and
// by the process's CPU time (which a loaded shared machine disturbs less).
#include <png.h>
#include <tiffio.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "image/image.h"

using namespace vantu;

namespace {

constexpr int kSide = 1000;

LabelImage rods(unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> u(0, 1);
  LabelImage img;
  img.width = img.height = kSide;
  img.labels.assign(static_cast<size_t>(kSide) * kSide, 0);
  std::vector<std::uint32_t> label(1000);
  for (size_t k = 0; k < label.size(); ++k) label[k] = static_cast<std::uint32_t>(k + 1);
  std::shuffle(label.begin(), label.end(), rng);
  // 40 x 25 slots of 25 x 40 pixels; a rod in each, mostly upright.
  for (int k = 0; k < 1000; ++k) {
    const double cx = 12.5 + 25 * (k % 40) + u(rng) * 4 - 2, cy = 20 + 40 * (k / 40) + u(rng) * 4 - 2;
    const double L = 25 + 13 * u(rng), W = 13, half = L / 2 - W / 2;
    const double a = (90 + 50 * (u(rng) - 0.5)) * M_PI / 180 + (u(rng) < 0.1 ? M_PI / 2 : 0);
    const double ax = std::cos(a), ay = -std::sin(a);
    for (int y = static_cast<int>(cy - 20); y <= static_cast<int>(cy + 20); ++y)
      for (int x = static_cast<int>(cx - 20); x <= static_cast<int>(cx + 20); ++x) {
        if (x < 0 || y < 0 || x >= kSide || y >= kSide) continue;
        const double px = x - cx, py = y - cy;
        const double t = std::max(-half, std::min(half, px * ax + py * ay));
        if (std::hypot(px - t * ax, py - t * ay) <= W / 2) img.labels[static_cast<size_t>(y) * kSide + x] = label[k];
      }
  }
  return img;
}

void write_tiff(const std::string& path, const LabelImage& img, int compression) {
  TIFF* tif = TIFFOpen(path.c_str(), "w");
  if (!tif) std::exit(1);
  TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, img.width);
  TIFFSetField(tif, TIFFTAG_IMAGELENGTH, img.height);
  TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 16);
  TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 1);
  TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
  TIFFSetField(tif, TIFFTAG_COMPRESSION, compression);
  if (compression != COMPRESSION_NONE) TIFFSetField(tif, TIFFTAG_PREDICTOR, PREDICTOR_HORIZONTAL);
  TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, 64);
  std::vector<std::uint16_t> row(static_cast<size_t>(img.width));
  for (int y = 0; y < img.height; ++y) {
    for (int x = 0; x < img.width; ++x)
      row[static_cast<size_t>(x)] = static_cast<std::uint16_t>(img.labels[static_cast<size_t>(y) * kSide + x]);
    TIFFWriteScanline(tif, row.data(), static_cast<std::uint32_t>(y), 0);
  }
  TIFFClose(tif);
}

void write_png(const std::string& path, const LabelImage& img) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) std::exit(1);
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  png_init_io(png, f);
  png_set_IHDR(png, info, kSide, kSide, 16, PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  std::vector<unsigned char> row(2 * kSide);
  for (int y = 0; y < kSide; ++y) {
    for (int x = 0; x < kSide; ++x) {
      const std::uint32_t v = img.labels[static_cast<size_t>(y) * kSide + x];
      row[2 * static_cast<size_t>(x)] = static_cast<unsigned char>(v >> 8);
      row[2 * static_cast<size_t>(x) + 1] = static_cast<unsigned char>(v & 0xff);
    }
    png_write_row(png, row.data());
  }
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  std::fclose(f);
}

}  // namespace

int main(int argc, char** argv) {
  const int frames = argc > 1 ? std::atoi(argv[1]) : 200;
  std::string dir = argc > 2 ? argv[2] : "";
  char tmpl[] = "/tmp/vantu-mask-bench-XXXXXX";
  const bool own = dir.empty();
  if (own) {
    if (!mkdtemp(tmpl)) return 1;
    dir = tmpl;
  }
  struct Format {
    const char* name;
    int compression;  // -1: PNG
  };
  const Format formats[] = {{"tif-none", COMPRESSION_NONE},
                            {"tif-deflate", COMPRESSION_ADOBE_DEFLATE},
                            {"tif-lzw", COMPRESSION_LZW},
                            {"tif-zstd", COMPRESSION_ZSTD},
                            {"png", -1}};
  std::vector<std::string> written;
  for (unsigned k = 0; k < 8; ++k) {
    const LabelImage img = rods(k + 1);
    for (const Format& f : formats) {
      const std::string path = dir + "/" + f.name + "_" + std::to_string(k) + (f.compression < 0 ? ".png" : ".tif");
      if (f.compression < 0)
        write_png(path, img);
      else
        write_tiff(path, img, f.compression);
      written.push_back(path);
    }
  }
  std::printf("%d masks of %d x %d pixels, 1000 rods each, per format (one thread)\n", frames, kSide, kSide);
  for (const Format& f : formats) {
    size_t cells = 0;
    double reading = 0;
    const std::clock_t cpu_start = std::clock();
    const auto start = std::chrono::steady_clock::now();
    for (int t = 0; t < frames; ++t) {
      const std::string path =
          dir + "/" + f.name + "_" + std::to_string(t % 8) + (f.compression < 0 ? ".png" : ".tif");
      const auto before = std::chrono::steady_clock::now();
      const LabelImage img = read_label_image(path);
      reading += std::chrono::duration<double>(std::chrono::steady_clock::now() - before).count();
      LabelLayout layout;  // as a run measures: the label pieces in the same pass, then checked
      cells += measure_labels(img.labels.data(), img.width, img.height, 1000, path, &layout).size();
      check_label_layout(layout, path);
    }
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double cpu = static_cast<double>(std::clock() - cpu_start) / CLOCKS_PER_SEC;
    std::printf("%-12s %7.1f frames/s, %7.1f per CPU second  (%.2f ms per frame: %.2f reading, %.2f measuring "
                "and checking; %zu cells)\n",
                f.name, frames / s, frames / cpu, 1000 * s / frames, 1000 * reading / frames,
                1000 * (s - reading) / frames, cells);
  }
  if (own) {
    for (const std::string& p : written) std::remove(p.c_str());
    rmdir(dir.c_str());
  }
  return 0;
}
