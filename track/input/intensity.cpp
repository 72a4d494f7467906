// Fluorescence per cell: the intensity images of a channel beside the masks,
// matched to the masks' frames and checked before any is read, and their
// sums over every cell's pixels.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <stdexcept>

#include "base/check.h"
#include "image/intensity.h"
#include "track/input/input.h"

namespace vantu {

namespace {

bool is_folder(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The images of a folder (.tif, .tiff, .png), hidden files left out.
std::vector<std::string> images_in(const std::string& dir) {
  std::vector<std::string> out;
  DIR* d = ::opendir(dir.c_str());
  if (!d) throw file_error(dir, "--intensity: cannot read the folder " + dir);
  while (const dirent* e = ::readdir(d)) {
    const std::string name = e->d_name;
    if (name.empty() || name[0] == '.' || !is_label_image_name(name)) continue;
    out.push_back(dir + (dir.back() == '/' ? "" : "/") + name);
  }
  ::closedir(d);
  std::sort(out.begin(), out.end());
  if (out.empty()) throw file_error(dir, "--intensity: the folder " + dir + " holds no images (.tif, .tiff, .png)");
  return out;
}

std::string option_text(const IntensityChannel& c) {
  return "--intensity " + c.name + (c.channel > 0 ? ":" + std::to_string(c.channel) : "") + "=" + c.path;
}

// The frames of a channel given as one TIFF stack, in order: page k, or the
// chosen channel (and the masks' slice) of an ImageJ hyperstack's frame k.
std::vector<IntensitySource> stack_sources(const IntensityChannel& c, const MovieInput& movie) {
  StackAxes axes;
  try {
    axes = tiff_stack_axes(c.path);
  } catch (const ImageError& e) {
    throw file_error(c.path, std::string(e.what()).replace(0, 4, "intensity"));
  }
  long channels = axes.channels, slices = axes.slices, frames = axes.frames;
  if ((channels > 1) + (slices > 1) + (frames > 1) <= 1) channels = slices = 1, frames = axes.pages;
  if (frames == 1) std::swap(frames, slices);
  if (channels * slices * frames != axes.pages)
    throw TrackError(strprintf("%s: its ImageJ description gives %ld channels x %ld slices x %ld frames, but the file "
                               "has %ld pages", c.path.c_str(), channels, slices, frames, axes.pages));
  if (channels > 1 && c.channel == 0)
    throw TrackError(strprintf("%s: an ImageJ hyperstack with %ld channels; choose the one to measure as --intensity "
                               "%s:C=%s, C from 1 to %ld as Fiji counts them",
                               c.path.c_str(), channels, c.name.c_str(), c.path.c_str(), channels));
  if (c.channel > channels)
    throw TrackError(strprintf("%s: channel %ld of %s, which has %ld (counted from 1)", option_text(c).c_str(),
                               c.channel, c.path.c_str(), channels));
  if (movie.slice > slices && slices > 1)
    throw TrackError(strprintf("--slice %ld: %s has %ld slices", movie.slice, c.path.c_str(), slices));
  const long channel = c.channel > 0 ? c.channel - 1 : 0, slice = slices > 1 && movie.slice > 0 ? movie.slice - 1 : 0;
  std::vector<IntensitySource> out;
  for (long t = 0; t < frames; ++t) out.push_back({c.path, (t * slices + slice) * channels + channel});
  if (axes.pages == 1) out[0].page = -1;
  return out;
}

}  // namespace

void check_intensity_names(const std::vector<IntensityChannel>& channels) {
  for (size_t k = 0; k < channels.size(); ++k) {
    const std::string& n = channels[k].name;
    const bool safe = !n.empty() && n.size() <= 40 && std::isalpha(static_cast<unsigned char>(n[0])) &&
                      std::all_of(n.begin(), n.end(), [](char ch) {
                        return std::isalnum(static_cast<unsigned char>(ch)) || ch == '_';
                      });
    if (!safe)
      throw TrackError("--intensity: \"" + n +
                       "\" is no channel name; give a letter, then letters, digits or _ (at most 40), e.g. gfp");
    for (size_t j = 0; j < k; ++j)
      if (channels[j].name == n) throw TrackError("--intensity: the channel name " + n + " is given twice");
    if (channels[k].path.empty()) throw TrackError("--intensity " + n + "=: no path after the name");
  }
}

IntensityChannel intensity_channel_of(const std::string& text) {
  const size_t eq = text.find('=');
  if (eq == std::string::npos)
    throw TrackError("--intensity " + text + ": give NAME=PATH (a folder of images or one stack), e.g. gfp=gfp/");
  IntensityChannel c;
  c.name = text.substr(0, eq);
  c.path = text.substr(eq + 1);
  const size_t colon = c.name.find(':');
  if (colon != std::string::npos) {
    const std::string number = c.name.substr(colon + 1);
    c.name.resize(colon);
    char* end = nullptr;
    c.channel = std::strtol(number.c_str(), &end, 10);
    if (number.empty() || *end != '\0' || c.channel < 1 || c.channel > 100000)
      throw TrackError("--intensity " + text + ": the channel after " + c.name + ": is a number from 1");
  }
  return c;
}

std::vector<std::vector<IntensitySource>> intensity_sources(const std::vector<Frame>& frames,
                                                            const std::vector<IntensityChannel>& channels,
                                                            const MovieInput& movie) {
  check_intensity_names(channels);
  std::vector<std::vector<IntensitySource>> out;
  if (channels.empty() || frames.empty()) return out;
  const bool masks_numbered = frames.size() > 1 && frames[0].page < 0;
  IntensityInfo mask;
  try {
    mask = intensity_info(frames[0].file, frames[0].page);
  } catch (const ImageError&) {
    // The mask reader names what is wrong with it.
    read_mask(frames[0].file, frames[0].page);
    throw;
  }
  for (const IntensityChannel& c : channels) {
    std::vector<IntensitySource> found;
    if (is_folder(c.path)) {
      // By the numbers in the names where the masks have them too, else by order.
      std::vector<std::string> warnings;
      const std::vector<MovieFile> files = numbered_files(images_in(c.path), movie.frame_number, &warnings);
      if (masks_numbered && warnings.empty()) {
        std::map<long, std::string> by_number;
        for (const MovieFile& m : files) by_number[m.number] = m.path;
        for (const Frame& f : frames) {
          const auto it = by_number.find(f.number);
          if (it == by_number.end())
            throw TrackError(strprintf("%s: no image numbered %ld in %s for the mask %s", option_text(c).c_str(),
                                       f.number, c.path.c_str(), f.source.c_str()), TrackError::kMissing);
          found.push_back({it->second, -1});
        }
      } else {
        for (const MovieFile& m : files) found.push_back({m.path, -1});
      }
    } else if (::access(c.path.c_str(), F_OK) != 0) {
      throw file_error(c.path, option_text(c) + ": " + c.path + " does not exist");
    } else if (ends_with_ci(c.path, ".png")) {
      found.push_back({c.path, -1});
    } else {
      found = stack_sources(c, movie);
    }
    if (found.size() != frames.size())
      throw TrackError(strprintf("%s: %zu images for the masks' %zu frames (%s to %s)", option_text(c).c_str(),
                                 found.size(), frames.size(), frames.front().source.c_str(),
                                 frames.back().source.c_str()));
    // A stack's pages are checked in one pass through the file.
    std::vector<IntensityInfo> pages;
    for (size_t t = 0; t < found.size(); ++t) {
      const IntensitySource& s = found[t];
      IntensityInfo info;
      try {
        if (s.page >= 0 && pages.empty()) pages = intensity_stack_info(s.file);
        info = s.page >= 0 ? pages.at(static_cast<size_t>(s.page)) : intensity_info(s.file, s.page);
      } catch (const ImageError& e) {
        throw file_error(s.file, option_text(c) + ": " + e.what());
      } catch (const std::out_of_range&) {
        throw TrackError(strprintf("%s: %s has no page %ld", option_text(c).c_str(), s.file.c_str(), s.page));
      }
      if (info.width != mask.width || info.height != mask.height)
        throw TrackError(strprintf("%s: %s%s has %d x %d pixels, but its mask %s has %d x %d",
                                   option_text(c).c_str(), s.file.c_str(),
                                   s.page >= 0 ? strprintf(" (page %ld)", s.page).c_str() : "", info.width,
                                   info.height, frames[t].source.c_str(), mask.width, mask.height));
    }
    out.push_back(std::move(found));
  }
  return out;
}

namespace {

std::vector<std::uint32_t> cell_labels(const Frame& f) {
  std::vector<std::uint32_t> cells(f.id.size());
  for (size_t i = 0; i < cells.size(); ++i) cells[i] = static_cast<std::uint32_t>(f.id[i]);
  VANTU_REQUIRE(std::is_sorted(cells.begin(), cells.end()), "a mask's cells are in increasing label order");
  return cells;
}

void add_measure(Frame& f, CellIntensity m) {
  f.intensity_mean.push_back(std::move(m.mean));
  f.intensity_total.push_back(std::move(m.total));
  f.intensity_background.push_back(m.background);
}

}  // namespace

void add_frame_intensity(Frame& f, const std::uint32_t* labels, const double* values, int width, int height) {
  add_measure(f, measure_intensity(labels, values, width, height, cell_labels(f)));
}

void add_intensity_frame(Frame& f, const std::uint32_t* labels, int width, int height, const IntensitySource& s,
                         IntensityImage& img) {
  try {
    read_intensity_image(s.file, s.page, img);
  } catch (const ImageError& e) {
    throw file_error(s.file, e.what());
  }
  if (img.width != width || img.height != height)
    throw TrackError(strprintf("intensity image %s: %d x %d pixels, but its mask %s has %d x %d", s.file.c_str(),
                               img.width, img.height, f.source.c_str(), width, height));
  add_measure(f, measure_intensity(labels, img, cell_labels(f)));
}

}  // namespace vantu
