// Precondition checks and the ways a run ends early.
//
// VANTU_REQUIRE stays active in every build type: a failed precondition
// prints its expression text, the source file and the line on standard
// error and aborts. The text is given explicitly so that the message reads
// the same whatever the code around it looks like.
#pragma once

#include <string>

namespace vantu {

// printf into a string.
std::string strprintf(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// True when `s` ends with `lower_suffix`, letters compared case-blind
// (the suffix given in lower case), as file name extensions are.
bool ends_with_ci(const std::string& s, const char* lower_suffix);

[[noreturn]] void fail_precondition(const char* text, const char* file, int line);

// A run that ends before its normal end: `message` goes to standard output
// as it stands, and the process exits with `status`.
struct RunEnd {
  int status;
  std::string message;
};

}  // namespace vantu

#define VANTU_REQUIRE(cond, text)                               \
  do {                                                          \
    if (!(cond)) ::vantu::fail_precondition(text, __FILE__, __LINE__); \
  } while (0)
