// vantu: matches the cells of two frames of a growing, dividing colony and
// estimates the smooth warp between the frames.
//
//   vantu [first-frame-file second-frame-file]
//   vantu --help | -h | --version
//
// Reads "softconfig.dat" from the working directory and writes its result
// files there.
#include "run/driver.h"

int main(int argc, char** argv) { return vantu::vantu_main(argc, argv); }
