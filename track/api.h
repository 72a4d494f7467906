// vantu as a library: the calls the Python module makes. A time-lapse held
// in memory is tracked with the stages and bytes of vantu-track, and two
// frames are matched as vantu matches them; nothing is written unless asked.
//
// A run goes:   TimeLapse  (built by one of the three routes below)
//            -> track_time_lapse(...)  -> TrackResult (the texts of the files)
//            -> write_lineage_folder(...)  (optional: the command line's folder)
//
// Routes into a TimeLapse (declared in track/track.h):
//   label images   add_label_frame(tl, labels, width, height, number, source)
//                  per frame; labels laid out as image/image.h's LabelImage
//   a table        time_lapse_of_cells(TableCells, AngleConvention)
//   files          read_time_lapse(TrackOptions with .inputs, parameters);
//                  a folder as the only input: files_in_folder first
//
// Every refusal is a TrackError whose message is the line the command line
// prints after "vantu-track: ". The calls share no state: runs may go side
// by side in threads.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "run/driver.h"
#include "track/track.h"

namespace vantu {

// What a caller watches a run through. `progress` is called from the
// matching threads, one call at a time, after each pair (pairs done, pairs
// in all); `cancel`, set from another thread, stops the run between pairs
// with RunCancelled.
struct TrackHooks {
  std::function<void(size_t done, size_t total)> progress;
  const std::atomic<bool>* cancel = nullptr;
};

struct TrackResult {
  TimeLapse time_lapse;     // the cells as read, per frame
  bool masks = false;       // the cells came from label images
  Units units;              // what its lengths and times mean (o.units)
  std::string config_text;  // softconfig.dat: the parameters used
  LineageTexts texts;       // lineage and the texts of its files
  std::string summary;      // the command line's closing line, without the folder
  std::string corrections;  // the corrections the lineage holds, as given (corrections.csv); empty: none
  // What the command line prints as warnings (a blank frame, parameters that
  // cannot work, a pixel size that makes the cells too long), one sentence
  // each; the library prints nothing.
  std::vector<std::string> warnings;
};

// Tracks `tl` (checked here) as vantu-track does with the options `o`: the
// parameters from o.config or chosen from the data, o.jobs pairs at a time
// (0: the number of cores), o.repairs, o.units and the corrections of
// o.corrections_text or o.corrections (checked before any work). No pair record is written. `masks`
// marks cells measured from label images (track labels must fit 16 bits).
TrackResult track_time_lapse(TimeLapse tl, bool masks, const TrackOptions& o, const TrackHooks& hooks = {});

// Writes the folder the command line writes: softconfig.dat, cells.csv,
// res_track.txt, tracks.csv, units, lineage.geff, pairs.log, corrections.csv when the lineage holds
// corrections and, when the cells came from label images, the
// track masks maskNNN.tif (each frame's mask read again from its file, or
// given by `mask_of`). Refuses, before writing anything, to replace one of
// `inputs` or a file that the programs did not write there; removes what an
// earlier run wrote there and this one did not.
// With `force`, the results of another movie there (run/output_folder.h)
// are replaced too.
void write_lineage_folder(const TrackResult& r, const std::string& dir, const std::vector<std::string>& inputs,
                          const std::function<LabelImage(const Frame&)>& mask_of = nullptr, bool force = false);

// ---- Two frames ----

struct MatchResult {
  std::string config_text;  // the parameters used
  int K = 0, M = 0;         // cells of the first and second frame
  // Per second-frame cell j, as a line of Match.dat holds it: per level l
  // (0 the cell itself, 1 and 2 its first and second daughter) the id of the
  // first-frame cell matched to it, rounded to a whole number, or 0; and the
  // cell's own id. `row` gives the same matches as first-frame indices (-1: none).
  std::vector<int> id[3], row[3];
  std::vector<double> second_id;
};

// Matches two frames' cells (`frame` unused). The parameters are chosen
// from the two frames as vantu-track chooses them, then `config` (a
// softconfig.dat path, if not empty) replaces them and `set` overrides
// single values by name (BetaInit ... nz as in softconfig.dat). Refuses a
// frame the matcher cannot take (TrackError).
MatchResult match_frames(const TableCells& first, const TableCells& second, const std::string& config,
                         const std::vector<std::pair<std::string, double>>& set = {});

}  // namespace vantu
