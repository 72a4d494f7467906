// Fuzz target of the configuration reader: any bytes as "softconfig.dat",
// then the parameter report of what was read.
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "base/check.h"
#include "fuzz/input_file.h"
#include "run/config.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static vantu_fuzz::InputFile file;
  static std::FILE* sink = std::fopen("/dev/null", "w");
  const std::string& path = file.hold(data, size);
  vantu::ParameterSet p;
  try {
    vantu::load_config(p, path.c_str());
  } catch (const vantu::RunEnd& end) {
    return 0;  // refused: the message is the run's last line
  }
  vantu::print_parameter_report(p, sink);
  return 0;
}
