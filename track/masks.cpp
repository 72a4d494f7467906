// Mask input and output of the tracker: label images into frames of measured
// cells, the frames' point files, and the track masks of a Cell Tracking
// Challenge result folder.
#include <unistd.h>

#include <limits>
#include <unordered_map>

#include "base/check.h"
#include "image/image.h"
#include "track/track.h"

namespace vantu {

namespace {

// A label image the reader refused: a file that is missing or cannot be
// opened, or one that is not a label image.
TrackError image_refusal(const std::string& path, const ImageError& e) {
  if (::access(path.c_str(), R_OK) != 0) return file_error(path, e.what());
  return TrackError(e.what());
}

LabelImage read_mask(const std::string& path, long page) {
  try {
    return page < 0 ? read_label_image(path) : read_tiff_labels(path, page);
  } catch (const ImageError& e) {
    throw image_refusal(path, e);
  }
}

// The frames of the movie: the pages of one stack (page k is frame k), or
// one image per frame numbered by their names.
std::vector<Frame> mask_frames(const std::vector<std::string>& paths) {
  std::vector<Frame> frames;
  long pages = 1;
  if (paths.size() == 1 && !ends_with_ci(paths[0], ".png")) {
    try {
      pages = tiff_page_count(paths[0]);
    } catch (const ImageError& e) {
      throw image_refusal(paths[0], e);
    }
  }
  if (pages > 1) {
    for (long k = 0; k < pages; ++k) {
      frames.emplace_back();
      frames.back().number = k;
      frames.back().file = paths[0];
      frames.back().page = k;
      frames.back().source = strprintf("%s (page %ld)", paths[0].c_str(), k);
    }
    return frames;
  }
  for (const MovieFile& m : numbered_files(paths)) {
    frames.emplace_back();
    frames.back().number = m.number;
    frames.back().file = frames.back().source = m.path;
  }
  return frames;
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

// The frame's mask `image` (read again), each cell's pixels carrying `label[cell]`.
LabelImage relabelled_mask(LabelImage image, const Frame& f, const std::vector<int>& label, const TimeLapse& tl) {
  if (image.width != tl.width || image.height != tl.height)
    throw TrackError("mask " + f.source + ": its size changed while the tracker ran");
  std::unordered_map<std::uint32_t, std::uint32_t> label_of;
  for (int i = 0; i < f.count(); ++i)
    label_of.emplace(static_cast<std::uint32_t>(f.id[static_cast<size_t>(i)]),
                     static_cast<std::uint32_t>(label[static_cast<size_t>(i)]));
  std::uint32_t last_id = 0, last_label = 0;
  for (std::uint32_t& v : image.labels) {
    if (v == 0) continue;
    if (v != last_id) {
      const auto found = label_of.find(v);
      if (found == label_of.end())
        throw TrackError(strprintf("mask %s: label %u appeared while the tracker ran", f.source.c_str(), v));
      last_id = v;
      last_label = found->second;
    }
    v = last_label;
  }
  return image;
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
    add_cells(measure_labels(labels, width, height, std::numeric_limits<int>::max(), f.source), f);
  } catch (const ImageError& e) {
    throw TrackError(e.what());
  }
  mark_border_cells(labels, width, height, f);
  fill_point_sets(f);
}

}  // namespace

TimeLapse read_mask_files(const std::vector<std::string>& paths) {
  TimeLapse tl;
  tl.frames = mask_frames(paths);
  for (size_t t = 0; t < tl.frames.size(); ++t) {
    const LabelImage image = read_mask(tl.frames[t].file, tl.frames[t].page);
    measure_frame(tl, t, image.labels.data(), image.width, image.height);
  }
  drop_blank_frames(tl, tl.frames.front().number, tl.frames.back().number);
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

std::string track_mask_name(long number, long last_number) {
  return numbered("mask", number, last_number >= 1000 ? 4 : 3, ".tif");
}

void check_track_labels(const CtcLabels& labels) {
  if (labels.lines.size() > 65535)
    throw TrackError(strprintf("%zu track labels: a 16-bit track mask holds at most 65535; nothing written",
                               labels.lines.size()));
}

void write_track_masks(const TimeLapse& tl, const Lineage& lin, OutputFolder& out,
                       const std::function<LabelImage(const Frame&)>& mask_of) {
  const CtcLabels labels = ctc_labels(tl, lin);
  check_track_labels(labels);
  const std::vector<long> numbers = movie_numbers(tl);
  size_t t = 0;  // the next frame with cells
  for (const long number : numbers) {
    LabelImage image;
    if (t < tl.frames.size() && tl.frames[t].number == number) {
      const Frame& f = tl.frames[t];
      image = relabelled_mask(mask_of ? mask_of(f) : read_mask(f.file, f.page), f, labels.label[t], tl);
      ++t;
    } else {
      image.width = tl.width;
      image.height = tl.height;
      image.labels.assign(static_cast<size_t>(tl.width) * static_cast<size_t>(tl.height), 0);
    }
    out.write(track_mask_name(number, numbers.back()), tiff16_bytes(image));
  }
}

}  // namespace vantu
