// vantu-track: a whole time-lapse of a growing, dividing colony into a
// lineage (see track/track.h and the README).
#include "track/track.h"

int main(int argc, char** argv) { return vantu::track_main(argc, argv); }
