// Mask input and output of the tracker: label images into frames of measured
// cells, the frames' point files, and the track masks of a Cell Tracking
// Challenge result folder.
#include <dirent.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <limits>
#include <set>
#include <unordered_map>

#include "base/check.h"
#include "image/image.h"
#include "track/track.h"

namespace vantu {

namespace {

LabelImage read_mask(const std::string& path) {
  try {
    return read_label_image(path);
  } catch (const ImageError& e) {
    throw TrackError(e.what());
  }
}

void add_cells(const std::vector<RegionShape>& shapes, Frame& f) {
  f.extra.assign(2, {});
  for (const RegionShape& s : shapes) {
    f.x.push_back(s.x);
    f.y.push_back(s.y);
    f.length.push_back(s.length);
    f.angle.push_back(s.angle);
    f.id.push_back(static_cast<double>(s.label));
    f.extra[0].push_back(s.area);
    f.extra[1].push_back(s.width);
  }
}

std::string numbered(const char* prefix, long number, int digits, const char* suffix) {
  return strprintf("%s%0*ld%s", prefix, digits, number, suffix);
}

// "maskNNN.tif" or "maskNNNN.tif": a track mask of a result folder.
bool is_track_mask_name(const std::string& name) {
  if (name.size() != 11 && name.size() != 12) return false;
  if (name.compare(0, 4, "mask") != 0 || name.compare(name.size() - 4, 4, ".tif") != 0) return false;
  for (size_t k = 4; k < name.size() - 4; ++k)
    if (name[k] < '0' || name[k] > '9') return false;
  return true;
}

// Removes the track masks of an earlier run that this run did not write
// (frames beyond its last, or numbered with the other width), which readers
// of the folder would take for part of this lineage.
void remove_stale_track_masks(const std::string& dir, const std::set<std::string>& written) {
  DIR* d = opendir(dir.c_str());
  if (!d) throw TrackError("cannot list " + dir + ": " + std::strerror(errno));
  std::vector<std::string> stale;
  while (const dirent* e = readdir(d)) {
    const std::string name = e->d_name;
    if (is_track_mask_name(name) && !written.count(name)) stale.push_back(name);
  }
  closedir(d);
  for (const std::string& name : stale)
    if (::unlink((dir + "/" + name).c_str()) != 0 && errno != ENOENT)
      throw TrackError("cannot remove the earlier run's " + dir + "/" + name + ": " + std::strerror(errno));
}

}  // namespace

TimeLapse read_mask_files(const std::vector<std::string>& paths) {
  TimeLapse tl;
  tl.extra_names = {"area", "width"};
  tl.frames.resize(paths.size());
  int width = 0, height = 0;
  for (size_t t = 0; t < paths.size(); ++t) {
    const LabelImage image = read_mask(paths[t]);
    if (t == 0) {
      width = image.width;
      height = image.height;
    } else if (image.width != width || image.height != height) {
      throw TrackError(strprintf("mask %s: %d x %d pixels, but %s has %d x %d; every frame must have the same size",
                                 paths[t].c_str(), image.width, image.height, paths[0].c_str(), width, height));
    }
    Frame& f = tl.frames[t];
    f.number = static_cast<long>(t);
    f.source = paths[t];
    try {
      add_cells(measure_regions(image, std::numeric_limits<int>::max(), paths[t]), f);
    } catch (const ImageError& e) {
      throw TrackError(e.what());
    }
    fill_point_sets(f);
  }
  return tl;
}

std::string point_file_text(const Frame& f) {
  std::string text;
  for (int i = 0; i < f.count(); ++i) {
    const size_t k = static_cast<size_t>(i);
    text += number_text(f.x[k]) + " " + number_text(f.y[k]) + " " + number_text(f.length[k]) + " " +
            number_text(f.angle[k]) + " " + number_text(f.id[k]) + "\n";
  }
  return text;
}

std::string frame_file_name(long number) { return numbered("frame_", number, 4, ".dat"); }

std::string track_mask_name(long number, size_t frames) {
  return numbered("mask", number, frames > 1000 ? 4 : 3, ".tif");
}

void check_track_labels(const Lineage& lin) {
  if (lin.tracks.size() > 65535)
    throw TrackError(strprintf("%zu tracks: a 16-bit track mask holds at most 65535; nothing written",
                               lin.tracks.size()));
}

void write_track_masks(const std::vector<std::string>& paths, const TimeLapse& tl, const Lineage& lin,
                       const std::string& dir) {
  check_track_labels(lin);
  int width = 0, height = 0;
  std::set<std::string> written;
  for (size_t t = 0; t < tl.frames.size(); ++t) {
    const Frame& f = tl.frames[t];
    LabelImage image = read_mask(paths[t]);
    if (t == 0) width = image.width, height = image.height;
    if (image.width != width || image.height != height)
      throw TrackError("mask " + paths[t] + ": its size changed while the tracker ran");
    std::unordered_map<std::uint32_t, std::uint32_t> track_of;
    for (int i = 0; i < f.count(); ++i)
      track_of.emplace(static_cast<std::uint32_t>(f.id[static_cast<size_t>(i)]),
                       static_cast<std::uint32_t>(lin.track[t][static_cast<size_t>(i)]));
    std::uint32_t last_label = 0, last_track = 0;
    for (std::uint32_t& v : image.labels) {
      if (v == 0) continue;
      if (v != last_label) {
        const auto found = track_of.find(v);
        if (found == track_of.end())
          throw TrackError(strprintf("mask %s: label %u appeared while the tracker ran", paths[t].c_str(), v));
        last_label = v;
        last_track = found->second;
      }
      v = last_track;
    }
    const std::string name = track_mask_name(f.number, tl.frames.size());
    if (!write_file_atomically(dir + "/" + name, tiff16_bytes(image)))
      throw TrackError("cannot write " + dir + "/" + name + ": " + std::strerror(errno));
    written.insert(name);
  }
  remove_stale_track_masks(dir, written);
}

}  // namespace vantu
