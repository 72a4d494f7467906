// The time-lapse tracker: a whole time-lapse into a lineage.
//
// The tracker runs in stages, one folder each, each with a header stating its
// data layout:
//   track/input/    read the frame files, masks or table, and check them;
//                   the neighbours of every frame's cells
//   track/pairs/    choose the parameters, match every pair of consecutive
//                   frames (the kernel, the small-pair matcher, tiles)
//   track/lineage/  decide the links over one link model, chain them into
//                   tracks, mend them along the time axis, rate them
//   track/output/   format the lineage's files
// pipeline.cpp runs the lineage stage and formats its files, for both the
// command line (cli.cpp) and the library (api.h). Every
// stage refuses bad input by throwing TrackError before anything is written.
#pragma once

#include "track/lineage/corrections.h"
#include "track/output/output.h"

namespace vantu {

// ---- The command line's stages (cli.cpp) ----

// The parameters of a configuration file, checked as the two-frame program
// checks them.
ParameterSet configured_parameters(const std::string& path);
// A folder given as the only input: its masks, else its point files (.dat),
// in name order (the readers order them by number), leaving out what the
// programs wrote there.
std::vector<std::string> files_in_folder(const std::string& dir);
// True when the inputs are label images; refuses them mixed with other files.
bool inputs_are_masks(const std::vector<std::string>& inputs);
// The time-lapse of o.inputs (masks, one table, or point files read with
// the columns of `params`), checked.
TimeLapse read_time_lapse(const TrackOptions& o, const ParameterSet& params);

// The corrections of o.corrections or o.corrections_text, read and checked
// against `tl` (none: empty).
Corrections corrections_of(const TrackOptions& o, const TimeLapse& tl);

// The whole program; returns the exit status.
int track_main(int argc, char** argv);

}  // namespace vantu
