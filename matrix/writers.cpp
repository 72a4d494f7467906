// The three writers of the result files. Each builds its file in memory and
// writes it in one go; the text is exactly what printf's %g gives per value.
#include <cstdio>
#include <string>
#include <type_traits>

#include "matrix/simple_matrix.h"
#include "run/check.h"

namespace vantu {

namespace {

void put_double(std::string& out, double v) {
  char buf[32];
  int n = std::snprintf(buf, sizeof buf, "%g ", v);
  out.append(buf, static_cast<size_t>(n));
}

void put_int(std::string& out, int v) {
  char buf[16];
  int n = std::snprintf(buf, sizeof buf, "%d ", v);
  out.append(buf, static_cast<size_t>(n));
}

template <typename T>
void put_row(std::string& out, const T* t, long r, int cols) {
  for (int c = 0; c < cols; ++c) {
    if constexpr (std::is_same<T, int>::value)
      put_int(out, t[r * cols + c]);
    else
      put_double(out, t[r * cols + c]);
  }
}

bool write_file(const char* name, const std::string& text) {
  std::FILE* f = std::fopen(name, "w");
  if (!f) return false;
  size_t written = std::fwrite(text.data(), 1, text.size(), f);
  bool ok = written == text.size();
  if (std::fclose(f) != 0) ok = false;
  return ok;
}

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

bool write_match(const char* name, int rows, const int* t1, const int* t2, const int* t3,
                 const double* t4, int cols) {
  VANTU_REQUIRE(t1 != nullptr, "t1!=NULL");
  std::string out;
  for (long r = 0; r < rows; ++r) {
    put_row(out, t1, r, cols);
    out += ' ';
    put_row(out, t2, r, cols);
    out += ' ';
    put_row(out, t3, r, cols);
    out += ' ';
    put_row(out, t4, r, cols);
    out += '\n';
  }
  return write_file(name, out);
}

bool write_triples(const char* name, int rows, const double* t1, const double* t2,
                   const double* t3, int cols) {
  VANTU_REQUIRE(t1 != nullptr, "t1!=NULL");
  std::string out;
  for (long r = 0; r < rows; ++r) {
    put_row(out, t1, r, cols);
    out += ' ';
    put_row(out, t2, r, cols);
    out += ' ';
    put_row(out, t3, r, cols);
    out += '\n';
  }
  return write_file(name, out);
}

void ResultFiles::check(bool written, const char* name) {
  if (written || !warned.insert(name).second) return;
  std::fflush(stdout);
  std::fprintf(stderr, "warning: cannot write %s\n", name);
}

}  // namespace vantu
