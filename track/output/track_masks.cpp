// The track masks of a Cell Tracking Challenge result folder: every frame's
// mask (from the runs kept at reading, or read again) with each cell's pixels
// relabelled with its track's label, an empty mask for a frame without cells.
#include <unordered_map>

#include "base/check.h"
#include "image/image.h"
#include "track/output/output.h"

namespace vantu {

namespace {

// The track mask of frame f drawn from its runs, each cell's runs carrying
// `label[cell]` (as relabelled_mask gives it from the mask read again).
LabelImage track_mask_of_runs(const Frame& f, const std::vector<int>& label, const TimeLapse& tl) {
  std::unordered_map<std::uint32_t, std::uint32_t> label_of;
  for (int i = 0; i < f.count(); ++i)
    label_of.emplace(static_cast<std::uint32_t>(f.id[static_cast<size_t>(i)]),
                     static_cast<std::uint32_t>(label[static_cast<size_t>(i)]));
  LabelImage image;
  image.width = tl.width;
  image.height = tl.height;
  image.labels.assign(static_cast<size_t>(tl.width) * static_cast<size_t>(tl.height), 0);
  const std::vector<std::uint32_t>& runs = f.mask_runs;
  std::uint32_t last_id = 0, last_label = 0;
  for (size_t k = 0; k + 3 < runs.size(); k += 4) {
    if (runs[k + 3] != last_id) {
      const auto found = label_of.find(runs[k + 3]);
      VANTU_REQUIRE(found != label_of.end(), "every label of a mask's runs is a cell of its frame");
      last_id = runs[k + 3];
      last_label = found->second;
    }
    std::uint32_t* row = image.labels.data() + static_cast<size_t>(runs[k]) * static_cast<size_t>(tl.width);
    std::fill(row + runs[k + 1], row + runs[k + 2], last_label);
  }
  return image;
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

}  // namespace

std::string track_mask_name(long number, long last_number) {
  return strprintf("mask%0*ld.tif", last_number >= 1000 ? 4 : 3, number);
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
      image = mask_of || f.mask_runs.empty()
                  ? relabelled_mask(mask_of ? mask_of(f) : read_mask(f.file, f.page), f, labels.label[t], tl)
                  : track_mask_of_runs(f, labels.label[t], tl);
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
