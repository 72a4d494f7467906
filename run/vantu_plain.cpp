// vantu-plain: the same program as vantu on the plain, literal kernels. It is
// the reference that the fast kernels are checked against, bit for bit.
//
//   vantu-plain [first-frame-file second-frame-file]
#include "run/driver.h"

int main(int argc, char** argv) { return vantu::vantu_main(argc, argv, false); }
