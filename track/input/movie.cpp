// A movie's frames: their numbers from the file names, and the blank and
// missing frames that the tracks cross as gaps.
#include <algorithm>
#include <cstdio>
#include <map>
#include <numeric>
#include <regex>

#include "run/option_names.h"
#include "base/check.h"
#include "track/input/input.h"

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

// The number of a name's last run of digits in [0, end), leading zeros
// left out; false when there is none.
bool last_number(const std::string& path, const std::string& name, size_t end, long& number) {
  while (end > 0 && !is_digit(name[end - 1])) --end;
  if (end == 0) return false;
  size_t start = end;
  while (start > 0 && is_digit(name[start - 1])) --start;
  while (start + 1 < end && name[start] == '0') ++start;  // leading zeros
  if (end - start > 15) throw TrackError(path + ": the frame number in its name has more than 15 digits");
  number = std::stol(name.substr(start, end - start));
  return true;
}

bool all_digits(const std::string& s, size_t from) {
  return from < s.size() && std::all_of(s.begin() + static_cast<long>(from), s.end(), is_digit);
}

std::regex frame_pattern(const std::string& pattern) {
  std::regex re;
  try {
    re.assign(pattern);
  } catch (const std::regex_error& e) {
    throw TrackError(option_named("frame-number") + ": \"" + pattern + "\" is not a valid pattern (" + e.what() + ")");
  }
  if (re.mark_count() == 0)
    throw TrackError(option_named("frame-number") + ": \"" + pattern +
                     "\" has no group in parentheses for the number, e.g. 't(\\d+)'");
  return re;
}

// The number that the first group of `re` finds in the file's name.
long number_by_pattern(const std::string& path, const std::regex& re, const std::string& pattern) {
  const std::string name = base_name(path);
  std::smatch m;
  if (!std::regex_search(name, m, re))
    throw TrackError(path + ": " + option_with("frame-number", "'" + pattern + "'") + " does not match its name");
  const std::string digits = m[1].str();
  if (!all_digits(digits, 0))
    throw TrackError(path + ": " + option_with("frame-number", "'" + pattern + "'") + " finds \"" + digits +
                     "\" in its name, which is not a frame number (digits only)");
  long number = 0;
  last_number(path, digits, digits.size(), number);
  return number;
}

}  // namespace

bool frame_number_in_name(const std::string& path, long& number, const std::string& pattern) {
  if (!pattern.empty()) {
    number = number_by_pattern(path, frame_pattern(pattern), pattern);
    return true;
  }
  const std::string name = base_name(path);
  const size_t dot = name.rfind('.');
  if (dot == std::string::npos || dot == 0) return last_number(path, name, name.size(), number);
  // "pts.12": an extension of digits is the number when the rest has none.
  return last_number(path, name, dot, number) || (all_digits(name, dot + 1) && last_number(path, name, name.size(), number));
}

std::vector<MovieFile> numbered_files(const std::vector<std::string>& paths, const std::string& pattern,
                                      std::vector<std::string>* warnings) {
  std::vector<MovieFile> files;
  if (!pattern.empty()) {
    const std::regex re = frame_pattern(pattern);
    for (const std::string& p : paths) files.push_back(MovieFile{p, number_by_pattern(p, re, pattern)});
  } else {
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
        throw TrackError(*without +
                         ": no frame number in its name, unlike the other inputs; name every frame by its number");
      // No name has a number: the frames are numbered in the order given.
      for (size_t k = 0; k < files.size(); ++k) files[k].number = static_cast<long>(k);
      if (files.size() > 1 && warnings)
        warnings->push_back(strprintf("no frame number in the names; the %zu frames are taken in the order given (%s first, %s "
                       "last), numbered 0 to %zu",
                       files.size(), files.front().path.c_str(), files.back().path.c_str(), files.size() - 1));
      return files;
    }
  }
  std::stable_sort(files.begin(), files.end(), [](const MovieFile& a, const MovieFile& b) { return a.number < b.number; });
  for (size_t k = 1; k < files.size(); ++k)
    if (files[k].number == files[k - 1].number)
      throw TrackError(strprintf("%s and %s both have frame number %ld in their names%s", files[k - 1].path.c_str(),
                                 files[k].path.c_str(), files[k].number,
                                 pattern.empty() ? (" (the last number in a name; " + option_with("frame-number", "'PATTERN'") +
                                                    " takes the first group of a pattern instead, e.g. 't(\\d+)')")
                                                       .c_str()
                                                 : ""));
  return files;
}

std::vector<long> movie_numbers(const TimeLapse& tl) {
  if (!tl.numbers.empty()) return tl.numbers;
  std::vector<long> numbers;
  const long step = std::max(1L, tl.step);
  if (!tl.frames.empty())
    for (long n = tl.frames.front().number; n <= tl.frames.back().number; n += step) numbers.push_back(n);
  return numbers;
}


namespace {

// Runs of numbers as text: "3, 7-9, 12", at most `shown` runs, then "...".
struct NumberRuns {
  std::vector<std::pair<long, long>> runs;
  long each = 1;  // the step from one number to the next
  long count() const {
    long n = 0;
    for (const auto& r : runs) n += (r.second - r.first) / each + 1;
    return n;
  }
  std::string text(size_t shown = 8) const {
    std::string out;
    for (size_t k = 0; k < runs.size() && k < shown; ++k) {
      out += k ? ", " : "";
      out += runs[k].first == runs[k].second ? strprintf("%ld", runs[k].first)
                                             : strprintf("%ld-%ld", runs[k].first, runs[k].second);
    }
    if (runs.size() > shown) out += ", ...";
    return out;
  }
};

// The movie's step: what every difference of consecutive numbers is a
// multiple of (5 for 0, 5, 10, 20: the number 15 is missing).
long number_step(const std::vector<long>& numbers) {
  long step = 0;
  for (size_t k = 1; k < numbers.size(); ++k) step = std::gcd(step, numbers[k] - numbers[k - 1]);
  return std::max(1L, step);
}

// The step between most frames: the median difference of consecutive numbers.
long usual_step(const std::vector<long>& numbers) {
  std::vector<long> steps;
  for (size_t k = 1; k < numbers.size(); ++k) steps.push_back(numbers[k] - numbers[k - 1]);
  if (steps.empty()) return 1;
  const size_t middle = (steps.size() - 1) / 2;  // the lower median: one long gap of three frames is no step
  std::nth_element(steps.begin(), steps.begin() + static_cast<long>(middle), steps.end());
  return std::max(1L, steps[middle]);
}

// A run of missing numbers longer than this many of the usual steps is
// taken for a mistake unless the user says otherwise: the gap closing
// bridges 2 missing frames.
constexpr long kLongGapSteps = 4;

// Warns about the numbers without a frame (in steps of `each`, the movie's
// step); refuses a long run of them unless `allow_gaps`.
void check_missing_numbers(const std::vector<long>& numbers, long each, bool allow_gaps,
                           std::vector<std::string>& warnings) {
  NumberRuns missing, long_gaps;
  missing.each = long_gaps.each = each;
  const long step = usual_step(numbers);
  for (size_t k = 1; k < numbers.size(); ++k) {
    const long a = numbers[k - 1], b = numbers[k];
    if (b - a <= each) continue;
    missing.runs.emplace_back(a + each, b - each);
    if ((b - a) / step - 1 > kLongGapSteps) long_gaps.runs.emplace_back(a + each, b - each);
  }
  if (!long_gaps.runs.empty() && !allow_gaps)
    throw TrackError(strprintf(
        "no frame numbered %s: %s %ld frame numbers where the other frames are %ld apart, far longer than the gap "
        "closing bridges (2 frames), and the tracks would be linked across it. Give %s to track across "
        "it anyway, or check the frame numbers",
        long_gaps.text().c_str(), long_gaps.runs.size() == 1 ? "a gap of" : "gaps of", long_gaps.count(), step, option_switch("allow-gaps").c_str()));
  if (!missing.runs.empty())
    warnings.push_back(strprintf("no frame numbered %s (%ld number%s%s); the tracks cross %s", missing.text().c_str(),
                   missing.count(), missing.count() == 1 ? "" : "s",
                   each > 1 ? strprintf(" in the movie's steps of %ld", each).c_str() : "",
                   missing.count() == 1 ? "it as a gap" : "them as gaps"));
}

// Warns about the frames without cells: each one named when they are few.
void warn_blank_frames(const std::vector<const Frame*>& blank, std::vector<std::string>& warnings) {
  if (blank.size() <= 3) {
    for (const Frame* f : blank)
      warnings.push_back(strprintf("%s has no cells; the tracks cross frame %ld as a gap", f->source.c_str(), f->number));
    return;
  }
  NumberRuns numbers;
  for (const Frame* f : blank) {
    if (!numbers.runs.empty() && numbers.runs.back().second + 1 == f->number) numbers.runs.back().second = f->number;
    else numbers.runs.emplace_back(f->number, f->number);
  }
  warnings.push_back(strprintf("%zu frames have no cells (frame numbers %s; the first %s); the tracks cross them as gaps",
                 blank.size(), numbers.text().c_str(), blank.front()->source.c_str()));
}

}  // namespace

void drop_blank_frames(TimeLapse& tl, long first, long last, bool allow_gaps) {
  if (last - first >= kMaxFrameSpan)
    throw TrackError(strprintf("frame numbers %ld to %ld: more than %ld frames from the first to the last", first, last,
                               kMaxFrameSpan));
  std::vector<long> numbers;
  std::vector<const Frame*> blank;
  for (const Frame& f : tl.frames) {
    numbers.push_back(f.number);
    if (f.count() == 0) blank.push_back(&f);
  }
  tl.step = number_step(numbers);
  check_missing_numbers(numbers, tl.step, allow_gaps, tl.warnings);
  warn_blank_frames(blank, tl.warnings);
  std::vector<Frame> kept;
  for (Frame& f : tl.frames)
    if (f.count() != 0) kept.push_back(std::move(f));
  tl.frames = std::move(kept);
  tl.numbers.clear();
  for (long n = first; n <= last; n += tl.step) tl.numbers.push_back(n);
}

}  // namespace vantu
