// The three writers of the result files. Each builds its file in memory and
// writes it in one go; the text is exactly what printf's %g gives per value.
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

#include "matrix/kernels.h"
#include "run/writers.h"
#include "base/check.h"

namespace vantu {

namespace {

void put_double(std::string& out, double v) {
  char buf[32];
  int n = std::snprintf(buf, sizeof buf, "%g ", v);
  out.append(buf, static_cast<size_t>(n));
}

// %g of a finite value through std::to_chars (the same text as printf).
void put_double_chars(std::string& out, double v) {
  if (!std::isfinite(v)) return put_double(out, v);
  char buf[40];
  auto res = std::to_chars(buf, buf + sizeof buf - 1, v, std::chars_format::general, 6);
  *res.ptr++ = ' ';
  out.append(buf, static_cast<size_t>(res.ptr - buf));
}

// Powers of ten in extended precision, 10^-350 .. 10^350.
struct PowersOfTen {
  long double p[701];
  PowersOfTen() {
    for (int k = -350; k <= 350; ++k) p[k + 350] = std::pow(10.0L, static_cast<long double>(k));
  }
  long double operator()(int k) const { return p[k + 350]; }
};

// %g with precision 6, the common case in a few nanoseconds: the six
// significant digits come from |v| * 10^(5-X) in extended precision (64-bit
// mantissa: an error far below 1e-9 at 1e6), rounded to an integer. X is the
// decimal exponent of v rounded to six digits, as %g takes it: the one with
// |v| * 10^(5-X) in [99999.95, 999999.5) (below 99999.95 the value rounds to
// six digits one decade lower; from 999999.5 up it rounds into the next
// decade). When that product lies within 1e-7 of a rounding tie or of the
// lower bound the digits are left to to_chars, which rounds exactly; so are
// non-finite values.
void put_double_fast(std::string& out, double v) {
  static const PowersOfTen pow10;
  if (v == 0.0) {  // common in the match matrices; printf keeps the sign of zero
    out.append(std::signbit(v) ? "-0 " : "0 ");
    return;
  }
  if (!std::isfinite(v)) return put_double_chars(out, v);
  const long double a = v < 0 ? -static_cast<long double>(v) : static_cast<long double>(v);
  uint64_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  int e2 = static_cast<int>((bits >> 52) & 0x7ff) - 1023;  // floor(log2 |v|)
  if (e2 == -1023) e2 = -1074 + 63 - __builtin_clzll(bits & 0x000fffffffffffffULL);  // subnormal
  int X = (e2 * 1233) >> 12;  // floor(e2 * log10(2)), or one more or less
  constexpr long double kLow = 99999.95L, kHigh = 999999.5L;
  long double s = a * pow10(5 - X);
  for (int tries = 0; tries < 4 && !(s >= kLow && s < kHigh); ++tries) {
    X += s < kLow ? -1 : 1;
    s = a * pow10(5 - X);
  }
  if (!(s >= kLow && s < kHigh) || s - kLow < 1e-7L) return put_double_chars(out, v);
  long n = static_cast<long>(s);
  const long double frac = s - static_cast<long double>(n);
  if (frac - 0.5L < 1e-7L && 0.5L - frac < 1e-7L) return put_double_chars(out, v);
  if (frac > 0.5L) ++n;
  char d[6];
  for (int k = 5; k >= 0; --k) {
    d[k] = static_cast<char>('0' + n % 10);
    n /= 10;
  }
  char buf[24];
  int len = 0;
  if (v < 0) buf[len++] = '-';
  if (X >= -4 && X < 6) {
    // Fixed notation with 5 - X decimals, trailing zeros removed.
    int last = 5;
    while (last > 0 && last > X && d[last] == '0') --last;
    if (X >= 0) {
      for (int k = 0; k <= X; ++k) buf[len++] = d[k];
      if (last > X) {
        buf[len++] = '.';
        for (int k = X + 1; k <= last; ++k) buf[len++] = d[k];
      }
    } else {
      buf[len++] = '0';
      buf[len++] = '.';
      for (int k = 0; k < -X - 1; ++k) buf[len++] = '0';
      for (int k = 0; k <= last; ++k) buf[len++] = d[k];
    }
  } else {
    int last = 5;
    while (last > 0 && d[last] == '0') --last;
    buf[len++] = d[0];
    if (last > 0) {
      buf[len++] = '.';
      for (int k = 1; k <= last; ++k) buf[len++] = d[k];
    }
    buf[len++] = 'e';
    buf[len++] = X < 0 ? '-' : '+';
    int ax = X < 0 ? -X : X;
    if (ax >= 100) {
      buf[len++] = static_cast<char>('0' + ax / 100);
      ax %= 100;
    }
    buf[len++] = static_cast<char>('0' + ax / 10);
    buf[len++] = static_cast<char>('0' + ax % 10);
  }
  buf[len++] = ' ';
  out.append(buf, static_cast<size_t>(len));
}

// n values +0 ("0 " each), the long runs of the match matrices at high Beta.
void put_zero_run(std::string& out, long n) {
  static const std::string zeros = [] {
    std::string z;
    for (int k = 0; k < 512; ++k) z += "0 ";
    return z;
  }();
  for (; n > 0; n -= 512) out.append(zeros, 0, static_cast<size_t>(n < 512 ? n : 512) * 2);
}

// The number of values from t[0] on, at most n, whose bits are those of +0.
long zero_run(const double* t, long n) {
  long k = 0;
  for (uint64_t bits; k < n; ++k) {
    std::memcpy(&bits, t + k, sizeof bits);
    if (bits != 0) break;
  }
  return k;
}

void put_int_fast(std::string& out, int v) {
  char buf[16];
  auto res = std::to_chars(buf, buf + sizeof buf - 1, v);
  *res.ptr++ = ' ';
  out.append(buf, static_cast<size_t>(res.ptr - buf));
}

void put_int(std::string& out, int v) {
  char buf[16];
  int n = std::snprintf(buf, sizeof buf, "%d ", v);
  out.append(buf, static_cast<size_t>(n));
}

template <typename T, bool Fast = false>
void put_row(std::string& out, const T* t, long r, int cols) {
  for (int c = 0; c < cols; ++c) {
    if constexpr (std::is_same<T, int>::value) {
      if constexpr (Fast)
        put_int_fast(out, t[r * cols + c]);
      else
        put_int(out, t[r * cols + c]);
    } else {
      if constexpr (Fast) {
        const long zeros = zero_run(t + r * cols + c, cols - c);
        if (zeros > 1) {
          put_zero_run(out, zeros);
          c += static_cast<int>(zeros) - 1;
          continue;
        }
        put_double_fast(out, t[r * cols + c]);
      } else
        put_double(out, t[r * cols + c]);
    }
  }
}

bool write_file(const char* name, const std::string& text) { return replace_file(name, &text, 1); }

}  // namespace

bool write_matrix(const char* name, int rows, const double* t1, int cols) {
  VANTU_REQUIRE(t1 != nullptr, "t1!=NULL");
  std::string out;
  for (long r = 0; r < rows; ++r) {
    put_row(out, t1, r, cols);
    out += '\n';
  }
  return write_file(name, out);
}

namespace {

// The match and point files, with either formatter.
template <bool Fast>
std::string match_text(int rows, const int* t1, const int* t2, const int* t3, const double* t4, int cols) {
  std::string out;
  for (long r = 0; r < rows; ++r) {
    put_row<int, Fast>(out, t1, r, cols);
    out += ' ';
    put_row<int, Fast>(out, t2, r, cols);
    out += ' ';
    put_row<int, Fast>(out, t3, r, cols);
    out += ' ';
    put_row<double, Fast>(out, t4, r, cols);
    out += '\n';
  }
  return out;
}

template <bool Fast>
std::string triples_text(int rows, const double* t1, const double* t2, const double* t3, int cols) {
  std::string out;
  for (long r = 0; r < rows; ++r) {
    put_row<double, Fast>(out, t1, r, cols);
    out += ' ';
    put_row<double, Fast>(out, t2, r, cols);
    out += ' ';
    put_row<double, Fast>(out, t3, r, cols);
    out += '\n';
  }
  return out;
}

}  // namespace

bool write_match(const char* name, int rows, const int* t1, const int* t2, const int* t3,
                 const double* t4, int cols) {
  VANTU_REQUIRE(t1 != nullptr, "t1!=NULL");
  return write_file(name, match_text<false>(rows, t1, t2, t3, t4, cols));
}

bool write_triples(const char* name, int rows, const double* t1, const double* t2,
                   const double* t3, int cols) {
  VANTU_REQUIRE(t1 != nullptr, "t1!=NULL");
  return write_file(name, triples_text<false>(rows, t1, t2, t3, cols));
}

void append_g(std::string& out, double v) { put_double(out, v); }
void append_g_fast(std::string& out, double v) { put_double_fast(out, v); }

bool write_matrix_fast(const char* name, int rows, const double* t1, int cols, Workers* workers) {
  VANTU_REQUIRE(t1 != nullptr, "t1!=NULL");
  // Large matrices are formatted in parts (consecutive rows) in parallel and
  // written one after the other.
  const int parts = workers ? workers->parts_for(static_cast<long>(rows) * cols * 8) : 1;
  std::vector<std::string> text(static_cast<size_t>(parts));
  auto format = [&](int t) {
    std::string& out = text[static_cast<size_t>(t)];
    const int r0 = part_begin(rows, parts, t), r1 = part_begin(rows, parts, t + 1);
    out.reserve(static_cast<size_t>(r1 - r0) * (static_cast<size_t>(cols) * 13 + 1));
    for (long r = r0; r < r1; ++r) {
      put_row<double, true>(out, t1, r, cols);
      out += '\n';
    }
  };
  if (workers)
    workers->run(parts, format);
  else
    format(0);
  return replace_file(name, text.data(), text.size());
}

bool write_match_fast(const char* name, int rows, const int* t1, const int* t2, const int* t3,
                      const double* t4, int cols) {
  VANTU_REQUIRE(t1 != nullptr, "t1!=NULL");
  return write_file(name, match_text<true>(rows, t1, t2, t3, t4, cols));
}

bool write_triples_fast(const char* name, int rows, const double* t1, const double* t2,
                        const double* t3, int cols) {
  VANTU_REQUIRE(t1 != nullptr, "t1!=NULL");
  return write_file(name, triples_text<true>(rows, t1, t2, t3, cols));
}

std::string ResultFiles::path(const char* name) const {
  if (dir.empty()) return name;
  return dir.back() == '/' ? dir + name : dir + '/' + name;
}

void ResultFiles::check(bool written, const char* name) {
  if (written) return;
  const std::string where = path(name);
  if (!warned.insert(where).second || quiet) return;
  std::fflush(stdout);
  std::fprintf(stderr, "warning: cannot write %s\n", where.c_str());
}

}  // namespace vantu
