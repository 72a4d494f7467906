// Track masks out: an uncompressed 16-bit greyscale TIFF, little-endian, one
// strip, written byte by byte so that the same image gives the same file on
// every machine and with every libtiff.
#include <algorithm>
#include <cstring>

#include "base/check.h"
#include "image/image.h"

namespace vantu {

namespace {

void put16(std::string& out, unsigned v) {
  out += static_cast<char>(v & 0xff);
  out += static_cast<char>((v >> 8) & 0xff);
}

void put32(std::string& out, std::uint32_t v) {
  put16(out, v & 0xffff);
  put16(out, v >> 16);
}

// One directory entry holding a single SHORT (type 3) or LONG (type 4).
void entry(std::string& out, unsigned tag, unsigned type, std::uint32_t value) {
  put16(out, tag);
  put16(out, type);
  put32(out, 1);
  if (type == 3) {
    put16(out, value);
    put16(out, 0);
  } else {
    put32(out, value);
  }
}

}  // namespace

std::string tiff16_bytes(const LabelImage& image) {
  const std::uint64_t pixels = static_cast<std::uint64_t>(image.width) * static_cast<std::uint64_t>(image.height);
  VANTU_REQUIRE(image.width > 0 && image.height > 0 && pixels == image.labels.size(),
                "a label image holds width * height labels");
  VANTU_REQUIRE(pixels * 2 < (std::uint64_t{1} << 31), "a 16-bit mask fits one strip of at most 2 GB");
  const unsigned kEntries = 11;
  const std::uint32_t data_offset = 8 + 2 + kEntries * 12 + 4;
  std::string out;
  out.reserve(data_offset + pixels * 2);
  out += "II";
  put16(out, 42);
  put32(out, 8);
  put16(out, kEntries);
  const std::uint32_t W = static_cast<std::uint32_t>(image.width), H = static_cast<std::uint32_t>(image.height);
  entry(out, 256, 4, W);                                      // image width
  entry(out, 257, 4, H);                                      // image length
  entry(out, 258, 3, 16);                                     // bits per sample
  entry(out, 259, 3, 1);                                      // no compression
  entry(out, 262, 3, 1);                                      // black is zero
  entry(out, 273, 4, data_offset);                            // strip offset
  entry(out, 277, 3, 1);                                      // samples per pixel
  entry(out, 278, 4, H);                                      // rows per strip
  entry(out, 279, 4, static_cast<std::uint32_t>(pixels * 2));  // strip byte count
  entry(out, 284, 3, 1);                                      // contiguous planes
  entry(out, 339, 3, 1);                                      // unsigned integers
  put32(out, 0);                                              // no further page
  // The pixels little-endian, a block at a time: narrowed to 16 bits in a
  // local buffer (a loop the compiler vectorises), checked, then copied in.
  const size_t head = out.size();
  out.resize(head + pixels * 2);
  unsigned char* dst = reinterpret_cast<unsigned char*>(&out[head]);
  const std::uint32_t* src = image.labels.data();
  constexpr size_t kBlock = 4096;
  std::uint16_t block[kBlock];
  for (size_t k0 = 0; k0 < pixels; k0 += kBlock) {
    const size_t n = std::min<size_t>(kBlock, pixels - k0);
    std::uint32_t largest = 0;
    if (n == kBlock) {  // a fixed count: -O2 vectorises only such loops
      for (size_t k = 0; k < kBlock; ++k) {
        largest = std::max(largest, src[k0 + k]);
        block[k] = static_cast<std::uint16_t>(src[k0 + k]);
      }
    } else {
      for (size_t k = 0; k < n; ++k) {
        largest = std::max(largest, src[k0 + k]);
        block[k] = static_cast<std::uint16_t>(src[k0 + k]);
      }
    }
    VANTU_REQUIRE(largest <= 0xffff, "a 16-bit mask holds labels up to 65535");
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    std::memcpy(dst + 2 * k0, block, 2 * n);
#else
    for (size_t k = 0; k < n; ++k) {
      dst[2 * (k0 + k)] = static_cast<unsigned char>(block[k] & 0xff);
      dst[2 * (k0 + k) + 1] = static_cast<unsigned char>(block[k] >> 8);
    }
#endif
  }
  return out;
}

}  // namespace vantu
