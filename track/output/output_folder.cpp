// The names the tracker writes into its output folder, listed once: the
// command line and the library check them all with the folder's guard
// (run/output_folder.h) before any work, and write no other.
#include "base/check.h"
#include "track/output/output.h"

namespace vantu {

std::vector<std::string> lineage_file_names(const TimeLapse& tl, bool masks) {
  std::vector<std::string> names = {"cells.csv", "res_track.txt", "tracks.csv", "units", kGeffFolder};
  if (masks) {
    const std::vector<long> numbers = movie_numbers(tl);
    for (const long n : numbers) names.push_back(track_mask_name(n, numbers.back()));
  }
  names.push_back("pairs.log");
  return names;
}

std::vector<std::string> pair_file_names(size_t pair) {
  std::vector<std::string> names;
  for (const char* end : {".txt", "/", ".partial/"}) names.push_back(strprintf("pairs/%04zu%s", pair, end));
  return names;
}

}  // namespace vantu
