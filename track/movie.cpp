// A movie's frames: their numbers from the file names, and the blank and
// missing frames that the tracks cross as gaps.
#include <algorithm>
#include <cstdio>
#include <map>

#include "base/check.h"
#include "track/track.h"

namespace vantu {

namespace {

constexpr long kMaxFrameSpan = 1000000;  // frame numbers from first to last

std::string base_name(const std::string& path) {
  std::string p = path;
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  const size_t slash = p.rfind('/');
  return slash == std::string::npos ? p : p.substr(slash + 1);
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

bool frame_number_in_name(const std::string& path, long& number) {
  std::string name = base_name(path);
  const size_t dot = name.rfind('.');
  if (dot != std::string::npos && dot > 0) name.erase(dot);
  size_t end = name.size();
  while (end > 0 && !is_digit(name[end - 1])) --end;
  if (end == 0) return false;
  size_t start = end;
  while (start > 0 && is_digit(name[start - 1])) --start;
  while (start + 1 < end && name[start] == '0') ++start;  // leading zeros
  if (end - start > 15) throw TrackError(path + ": the frame number in its name has more than 15 digits");
  number = std::stol(name.substr(start, end - start));
  return true;
}

std::vector<MovieFile> numbered_files(const std::vector<std::string>& paths) {
  std::vector<MovieFile> files;
  const std::string* without = nullptr;
  for (const std::string& p : paths) {
    MovieFile f;
    f.path = p;
    if (!frame_number_in_name(p, f.number)) without = &p;
    files.push_back(f);
  }
  if (without) {
    if (files.size() > 1 && std::any_of(paths.begin(), paths.end(), [](const std::string& p) {
          long n = 0;
          return frame_number_in_name(p, n);
        }))
      throw TrackError(*without + ": no frame number in its name, unlike the other inputs; name every frame by its number");
    // No name has a number: the frames are numbered in the order given.
    for (size_t k = 0; k < files.size(); ++k) files[k].number = static_cast<long>(k);
    return files;
  }
  std::stable_sort(files.begin(), files.end(), [](const MovieFile& a, const MovieFile& b) { return a.number < b.number; });
  for (size_t k = 1; k < files.size(); ++k)
    if (files[k].number == files[k - 1].number)
      throw TrackError(strprintf("%s and %s both have frame number %ld in their names", files[k - 1].path.c_str(),
                                 files[k].path.c_str(), files[k].number));
  return files;
}

std::vector<long> movie_numbers(const TimeLapse& tl) {
  if (!tl.numbers.empty()) return tl.numbers;
  std::vector<long> numbers;
  if (!tl.frames.empty())
    for (long n = tl.frames.front().number; n <= tl.frames.back().number; ++n) numbers.push_back(n);
  return numbers;
}

void drop_blank_frames(TimeLapse& tl, long first, long last) {
  if (last - first >= kMaxFrameSpan)
    throw TrackError(strprintf("frame numbers %ld to %ld: more than %ld frames from the first to the last", first, last,
                               kMaxFrameSpan));
  std::vector<Frame> kept;
  for (Frame& f : tl.frames) {
    if (f.count() == 0)
      tl.warnings.push_back(strprintf("%s has no cells; the tracks cross frame %ld as a gap", f.source.c_str(), f.number));
    else
      kept.push_back(std::move(f));
  }
  tl.frames = std::move(kept);
  tl.numbers.clear();
  for (long n = first; n <= last; ++n) tl.numbers.push_back(n);
}

}  // namespace vantu
