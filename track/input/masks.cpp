// Mask input of the tracker: label images into frames of measured cells, and
// the frames' point files. (The track masks are written by
// track/output/track_masks.cpp.)
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <unordered_map>

#include "run/option_names.h"
#include "base/check.h"
#include "image/image.h"
#include "track/input/input.h"

namespace vantu {

namespace {

// A label image the reader refused: a file that is missing or cannot be
// opened, or one that is not a label image.
TrackError image_refusal(const std::string& path, const ImageError& e) {
  if (::access(path.c_str(), R_OK) != 0) return file_error(path, e.what());
  return TrackError(e.what());
}


// The planes of an ImageJ hyperstack: channel and slice (from 1, as Fiji
// counts them) as chosen, or refused when there are several to choose from.
struct Planes {
  long channel = 0, slice = 0;  // from 0
  long channels = 1, slices = 1, frames = 1;
};

Planes chosen_planes(const std::string& path, const StackAxes& axes, const MovieInput& movie) {
  Planes p;
  p.channels = axes.channels;
  p.slices = axes.slices;
  p.frames = axes.frames;
  // With one axis (or none) the pages are the frames, whatever the axis is
  // called: tifffile calls the planes of a plain stack channels, ImageJ
  // slices.
  if ((p.channels > 1) + (p.slices > 1) + (p.frames > 1) <= 1) {
    p.channels = p.slices = 1;
    p.frames = axes.pages;
  }
  if (p.frames == 1) std::swap(p.frames, p.slices);  // channels and slices: the slices are the time
  if (p.channels * p.slices * p.frames != axes.pages)
    throw TrackError(strprintf("%s: its %s description gives %ld channels x %ld slices x %ld frames, but the file "
                               "has %ld pages",
                               path.c_str(), axes.described_by, p.channels, p.slices, p.frames, axes.pages));
  const struct {
    const char* what;
    long count, given;
    long* index;
  } axis[2] = {{"channel", p.channels, movie.channel, &p.channel}, {"slice", p.slices, movie.slice, &p.slice}};
  for (const auto& a : axis) {
    if (a.given == 0 && a.count > 1)
      throw TrackError(strprintf("%s: %s of %ld frames with %ld %ss (%ld pages); choose the %s "
                                 "that holds the label masks with %s to %s (counted from 1, as Fiji shows "
                                 "them)",
                                 path.c_str(),
                                 std::strcmp(axes.described_by, "ImageJ") == 0 ? "an ImageJ hyperstack"
                                                                             : "a stack (by tifffile's description)",
                                 p.frames, a.count, a.what, axes.pages, a.what,
                                 option_with(a.what, "1").c_str(), option_with(a.what, std::to_string(a.count)).c_str()));
    if (a.given < 0 || a.given > a.count)
      throw TrackError(strprintf("%s: %s has %ld %s%s (counted from 1)", option_with(a.what, std::to_string(a.given)).c_str(),
                                 path.c_str(), a.count, a.what, a.count == 1 ? "" : "s"));
    *a.index = a.given > 0 ? a.given - 1 : 0;
  }
  return p;
}

// The frames of one TIFF stack: page k is frame k, or, in an ImageJ
// hyperstack, the chosen channel and slice of frame k.
std::vector<Frame> stack_frames(const std::string& path, const StackAxes& axes, const MovieInput& movie) {
  const Planes p = chosen_planes(path, axes, movie);
  std::vector<Frame> frames(static_cast<size_t>(p.frames));
  for (long t = 0; t < p.frames; ++t) {
    Frame& f = frames[static_cast<size_t>(t)];
    f.number = t;
    f.file = path;
    f.page = (t * p.slices + p.slice) * p.channels + p.channel;
    f.source = f.page == t ? strprintf("%s (page %ld)", path.c_str(), t)
                           : strprintf("%s (page %ld: frame %ld)", path.c_str(), f.page, t);
  }
  return frames;
}

// The frames of the movie: the pages of one stack, or one image per frame
// numbered by their names.
std::vector<Frame> mask_frames(const std::vector<std::string>& paths, const MovieInput& movie,
                               std::vector<std::string>& warnings) {
  if (paths.size() == 1 && !ends_with_ci(paths[0], ".png")) {
    StackAxes axes;
    try {
      axes = tiff_stack_axes(paths[0]);
    } catch (const ImageError& e) {
      throw image_refusal(paths[0], e);
    }
    if (axes.pages > 1 || movie.channel > 0 || movie.slice > 0) return stack_frames(paths[0], axes, movie);
  }
  std::vector<Frame> frames;
  for (const MovieFile& m : numbered_files(paths, movie.frame_number, &warnings)) {
    frames.emplace_back();
    frames.back().number = m.number;
    frames.back().file = frames.back().source = m.path;
  }
  return frames;
}

// The labelled pixels of `labels` as runs (Frame::mask_runs) appended to `runs`.
void append_runs(const std::uint32_t* labels, int width, int height, std::vector<std::uint32_t>& runs) {
  for (int y = 0; y < height; ++y) {
    const std::uint32_t* row = labels + static_cast<size_t>(y) * static_cast<size_t>(width);
    for (int x = 0; x < width;) {
      // Background mostly: eight pixels at a time while all are 0.
      while (x + 8 <= width && (row[x] | row[x + 1] | row[x + 2] | row[x + 3] | row[x + 4] | row[x + 5] | row[x + 6] |
                                row[x + 7]) == 0)
        x += 8;
      if (x >= width) break;
      const std::uint32_t v = row[x];
      int end = x + 1;
      while (end < width && row[end] == v) ++end;
      if (v != 0)
        runs.insert(runs.end(), {static_cast<std::uint32_t>(y), static_cast<std::uint32_t>(x),
                                 static_cast<std::uint32_t>(end), v});
      x = end;
    }
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


// Frame::border: the cells with a pixel in the image's first or last row or
// column.
void mark_border_cells(const std::uint32_t* labels, int width, int height, Frame& f) {
  std::unordered_map<std::uint32_t, size_t> index_of;
  for (size_t i = 0; i < f.id.size(); ++i) index_of.emplace(static_cast<std::uint32_t>(f.id[i]), i);
  f.border.assign(f.id.size(), 0);
  auto mark = [&](int x, int y) {
    const std::uint32_t v = labels[static_cast<size_t>(y) * static_cast<size_t>(width) + static_cast<size_t>(x)];
    const auto found = v ? index_of.find(v) : index_of.end();
    if (found != index_of.end()) f.border[found->second] = 1;
  };
  for (int x = 0; x < width; ++x) mark(x, 0), mark(x, height - 1);
  for (int y = 0; y < height; ++y) mark(0, y), mark(width - 1, y);
}

// Measures the cells of frame t of `tl` in its labels; refuses a size
// other than frame 0's.
void measure_frame(TimeLapse& tl, size_t t, const std::uint32_t* labels, int width, int height) {
  Frame& f = tl.frames[t];
  if (t == 0) {
    tl.extra_names = {"area", "width"};
    tl.width = width;
    tl.height = height;
  } else if (width != tl.width || height != tl.height) {
    throw TrackError(strprintf("mask %s: %d x %d pixels, but %s has %d x %d; every frame must have the same size",
                               f.source.c_str(), width, height, tl.frames[0].source.c_str(), tl.width, tl.height));
  }
  try {
    LabelLayout layout;
    const std::vector<RegionShape> shapes =
        measure_labels(labels, width, height, std::numeric_limits<int>::max(), f.source, &layout);
    check_label_layout(layout, f.source);
    add_cells(shapes, f);
  } catch (const ImageError& e) {
    throw TrackError(e.what());
  }
  mark_border_cells(labels, width, height, f);
  fill_point_sets(f);
}

}  // namespace

LabelImage read_mask(const std::string& path, long page) {
  try {
    return page < 0 ? read_label_image(path) : read_tiff_labels(path, page);
  } catch (const ImageError& e) {
    throw image_refusal(path, e);
  }
}

TimeLapse read_mask_files(const std::vector<std::string>& paths, const MovieInput& movie,
                          const std::vector<IntensityChannel>& intensity) {
  TimeLapse tl;
  tl.frames = mask_frames(paths, movie, tl.warnings);
  const std::vector<std::vector<IntensitySource>> sources = intensity_sources(tl.frames, intensity, movie);
  for (const IntensityChannel& c : intensity) tl.intensity_names.push_back(c.name);
  std::vector<IntensityImage> channel_images(sources.size());
  // Runs are kept while they fit the budget: the track masks are then drawn
  // from them instead of decoding every mask again (on the agar movie a
  // fifth of the run went to reading and writing masks).
  size_t kept = 0;
  bool keep = true;
  for (size_t t = 0; t < tl.frames.size(); ++t) {
    const LabelImage image = read_mask(tl.frames[t].file, tl.frames[t].page);
    measure_frame(tl, t, image.labels.data(), image.width, image.height);
    for (size_t c = 0; c < sources.size(); ++c)
      add_intensity_frame(tl.frames[t], image.labels.data(), image.width, image.height, sources[c][t],
                          channel_images[c]);
    if (!keep) continue;
    std::vector<std::uint32_t>& runs = tl.frames[t].mask_runs;
    append_runs(image.labels.data(), image.width, image.height, runs);
    kept += runs.size() * sizeof(std::uint32_t);
    if (kept > kMaskRunBytes) {
      keep = false;
      for (size_t u = 0; u <= t; ++u) std::vector<std::uint32_t>().swap(tl.frames[u].mask_runs);
    }
  }
  drop_blank_frames(tl, tl.frames.front().number, tl.frames.back().number, movie.allow_gaps);
  return tl;
}

void add_label_frame(TimeLapse& tl, const std::uint32_t* labels, int width, int height, long number,
                     const std::string& source) {
  tl.frames.emplace_back();
  tl.frames.back().number = number;
  tl.frames.back().source = source;
  measure_frame(tl, tl.frames.size() - 1, labels, width, height);
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


}  // namespace vantu
