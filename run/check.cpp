#include "run/check.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace vantu {

void fail_precondition(const char* text, const char* file, int line) {
  const char* slash = std::strrchr(file, '/');
  std::fflush(stdout);
  std::fprintf(stderr, "vantu: %s:%d: precondition failed: %s\n", slash ? slash + 1 : file, line, text);
  std::abort();
}

}  // namespace vantu
