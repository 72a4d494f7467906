// Writes the seed corpora of the mask readers: tiny label images (6 x 5
// pixels, three cells) as TIFF (uncompressed, deflate, LZW, PackBits, with
// and without predictor; 8, 16 and 32 bits; strips and tiles; a tile larger
// than the image; signed 32 bits; a two-channel stack by ImageJ's and by
// tifffile's description) and PNG
// (8 and 16 bits, interlaced). Run once; the files
// are kept in fuzz/corpus/.
//   build-fuzz/fuzz/vantu-make-mask-seeds fuzz/corpus
#include <png.h>
#include <tiffio.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <type_traits>
#include <vector>

namespace {

constexpr int kWidth = 6, kHeight = 5;

std::uint32_t label_at(int x, int y) {
  if (y <= 1 && x <= 2) return 1;
  if (y >= 3 && x >= 1 && x <= 4) return 2;
  if (x == 5) return 3;
  return 0;
}

template <class T>
std::vector<T> pixels() {
  std::vector<T> v;
  for (int y = 0; y < kHeight; ++y)
    for (int x = 0; x < kWidth; ++x) v.push_back(static_cast<T>(label_at(x, y) * (sizeof(T) == 1 ? 1 : 257)));
  return v;
}

// `pages` pages of the image, the first with the `description` (ImageJ's or tifffile's).
template <class T>
bool write_tiff(const std::string& path, int compression, int predictor, int tile, int pages = 1,
                const char* description = nullptr) {
  TIFF* t = TIFFOpen(path.c_str(), "w");
  if (!t) return false;
  bool ok = true;
  for (int page = 0; page < pages; ++page) {
  if (page == 0 && description) TIFFSetField(t, TIFFTAG_IMAGEDESCRIPTION, description);
  if (std::is_signed<T>::value) TIFFSetField(t, TIFFTAG_SAMPLEFORMAT, SAMPLEFORMAT_INT);
  TIFFSetField(t, TIFFTAG_IMAGEWIDTH, kWidth);
  TIFFSetField(t, TIFFTAG_IMAGELENGTH, kHeight);
  TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, static_cast<int>(8 * sizeof(T)));
  TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 1);
  TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
  TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
  TIFFSetField(t, TIFFTAG_COMPRESSION, compression);
  if (predictor) TIFFSetField(t, TIFFTAG_PREDICTOR, predictor);
  std::vector<T> px = pixels<T>();
  if (tile) {
    TIFFSetField(t, TIFFTAG_TILEWIDTH, tile);
    TIFFSetField(t, TIFFTAG_TILELENGTH, tile);
    std::vector<T> buf(static_cast<size_t>(tile) * tile);
    for (int y0 = 0; y0 < kHeight; y0 += tile)
      for (int x0 = 0; x0 < kWidth; x0 += tile) {
        std::fill(buf.begin(), buf.end(), T(0));
        for (int y = y0; y < std::min(kHeight, y0 + tile); ++y)
          for (int x = x0; x < std::min(kWidth, x0 + tile); ++x)
            buf[static_cast<size_t>((y - y0) * tile + (x - x0))] = px[static_cast<size_t>(y * kWidth + x)];
        ok = ok && TIFFWriteTile(t, buf.data(), x0, y0, 0, 0) >= 0;
      }
  } else {
    TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, 2);
    for (int y = 0; y < kHeight; ++y) ok = ok && TIFFWriteScanline(t, px.data() + y * kWidth, y, 0) >= 0;
  }
  ok = ok && (pages == 1 || TIFFWriteDirectory(t));
  }
  TIFFClose(t);
  return ok;
}

// A 6 x 5 image declaring one compressed tile of 65536 x 65536 pixels and no
// data: the reader once took 16 GB for it.
bool write_oversized_tile(const std::string& path) {
  TIFF* t = TIFFOpen(path.c_str(), "w");
  if (!t) return false;
  TIFFSetField(t, TIFFTAG_IMAGEWIDTH, kWidth);
  TIFFSetField(t, TIFFTAG_IMAGELENGTH, kHeight);
  TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 32);
  TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
  TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_ADOBE_DEFLATE);
  TIFFSetField(t, TIFFTAG_TILEWIDTH, 65536);
  TIFFSetField(t, TIFFTAG_TILELENGTH, 65536);
  const bool ok = TIFFWriteCheck(t, 1, "seed") && TIFFWriteDirectory(t);
  TIFFClose(t);
  return ok;
}

template <class T>
bool write_png(const std::string& path, bool interlaced) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    std::fclose(f);
    return false;
  }
  png_init_io(png, f);
  png_set_IHDR(png, info, kWidth, kHeight, 8 * sizeof(T), PNG_COLOR_TYPE_GRAY,
               interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  if (sizeof(T) == 2) png_set_swap(png);
  std::vector<T> px = pixels<T>();
  std::vector<png_bytep> rows;
  for (int y = 0; y < kHeight; ++y) rows.push_back(reinterpret_cast<png_bytep>(px.data() + y * kWidth));
  png_write_image(png, rows.data());
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  std::fclose(f);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string dir = argc > 1 ? argv[1] : "fuzz/corpus";
  const std::string t = dir + "/tiff/", p = dir + "/png/";
  bool ok = write_tiff<std::uint8_t>(t + "u8_none", COMPRESSION_NONE, 0, 0) &&
            write_tiff<std::uint16_t>(t + "u16_none", COMPRESSION_NONE, 0, 0) &&
            write_tiff<std::uint32_t>(t + "u32_none", COMPRESSION_NONE, 0, 0) &&
            write_tiff<std::uint16_t>(t + "u16_deflate_predictor", COMPRESSION_ADOBE_DEFLATE, PREDICTOR_HORIZONTAL, 0) &&
            write_tiff<std::uint8_t>(t + "u8_lzw", COMPRESSION_LZW, 0, 0) &&
            write_tiff<std::uint32_t>(t + "u32_lzw_predictor", COMPRESSION_LZW, PREDICTOR_HORIZONTAL, 0) &&
            write_tiff<std::uint8_t>(t + "u8_packbits", COMPRESSION_PACKBITS, 0, 0) &&
            write_tiff<std::uint16_t>(t + "u16_tiled", COMPRESSION_NONE, 0, 16) &&
            write_tiff<std::uint8_t>(t + "u8_tiled_deflate", COMPRESSION_ADOBE_DEFLATE, 0, 16) &&
            write_oversized_tile(t + "oversized_tile") &&
            write_tiff<std::int32_t>(t + "i32_deflate", COMPRESSION_ADOBE_DEFLATE, 0, 0) &&
            write_tiff<std::uint16_t>(t + "imagej_2ch_2t", COMPRESSION_NONE, 0, 0, 4,
                                      "ImageJ=1.54f\nimages=4\nchannels=2\nframes=2\nhyperstack=true\n") &&
            write_tiff<std::uint16_t>(t + "tifffile_shape_2t_2ch", COMPRESSION_NONE, 0, 0, 4,
                                      ("{\"axes\": \"TCYX\", \"shape\": [2, 2, " + std::to_string(kHeight) + ", " +
                                       std::to_string(kWidth) + "]}").c_str()) &&
            write_png<std::uint8_t>(p + "u8", false) && write_png<std::uint16_t>(p + "u16", false) &&
            write_png<std::uint8_t>(p + "u8_interlaced", true);
  if (!ok) std::fprintf(stderr, "cannot write the seeds in %s\n", dir.c_str());
  return ok ? 0 : 1;
}
