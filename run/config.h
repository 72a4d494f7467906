// The configuration file of a run and the parameter report of the entry point.
#pragma once

#include <cstdio>

#include "base/params.h"

namespace vantu {

// Name of the configuration file, read from the working directory.
extern const char* const kConfigFile;

// Reads the configuration file and applies its gated values to `p`.
// Throws RunEnd (status 1) when the file cannot be opened or read.
void load_config(ParameterSet& p, const char* path = kConfigFile);

// The fifteen-line parameter report of the entry point.
void print_parameter_report(const ParameterSet& p, std::FILE* out);

}  // namespace vantu
