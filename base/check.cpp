#include "base/check.h"

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace vantu {

std::string strprintf(const char* fmt, ...) {
  va_list args, copy;
  va_start(args, fmt);
  va_copy(copy, args);
  const int n = std::vsnprintf(nullptr, 0, fmt, copy);
  va_end(copy);
  std::string s(static_cast<size_t>(n > 0 ? n : 0), '\0');
  std::vsnprintf(&s[0], s.size() + 1, fmt, args);
  va_end(args);
  return s;
}

bool ends_with_ci(const std::string& s, const char* lower_suffix) {
  const size_t n = std::strlen(lower_suffix);
  if (s.size() < n) return false;
  for (size_t k = 0; k < n; ++k)
    if (std::tolower(static_cast<unsigned char>(s[s.size() - n + k])) != lower_suffix[k]) return false;
  return true;
}

void fail_precondition(const char* text, const char* file, int line) {
  const char* slash = std::strrchr(file, '/');
  std::fflush(stdout);
  std::fprintf(stderr, "vantu: %s:%d: precondition failed: %s\n", slash ? slash + 1 : file, line, text);
  std::abort();
}

}  // namespace vantu
