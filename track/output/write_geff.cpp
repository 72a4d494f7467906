// lineage.geff: the lineage as a tracking graph in the field's exchange
// format, a zarr (format 2) group of uncompressed arrays.
//
//   .zgroup, .zattrs        the group; .zattrs holds "geff": version, axes
//                           (t, y, x), every property's dtype and unit, the
//                           track properties
//   nodes/ids               one node per cell of cells.csv, in its row order
//                           (by frame, then id): node k is row k (from 0)
//   nodes/props/NAME/values one value per node; NAME/missing where a value is
//                           unknown (confidence of an unrated lineage, an
//                           intensity without background pixels)
//   edges/ids               (E, 2): one edge per link, earlier cell first:
//                           every cell to the next cell of its track (across
//                           a closed gap too), a mother's last cell to each
//                           daughter's first
// The node properties: t (frame number, in minutes with --frame-interval),
// y, x (pixels, micrometres with --pixel-size), frame and seg_id (the cell's
// frame number and id: its row of cells.csv and, for masks, its label in
// that frame's mask), track (a tracklet: a chain without a division),
// lineage (the track at the root of its tree), generation, length and area
// (in the units of x), angle, confidence, flag, border (masks) and the
// --intensity columns.
// No related_objects: a label array it could name would be a zarr array
// beside the group, and the track masks are TIFF files, one per frame.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <nlohmann/json.hpp>
#include <numeric>

#include "track/output/output.h"

namespace vantu {

namespace {

using Json = nlohmann::ordered_json;

// One property's values per node, as float64, int64 or bool.
struct NodeProp {
  std::string name, unit, description;
  char kind = 'f';  // 'f' float64, 'i' int64, 'b' bool
  std::vector<double> values;  // NaN: missing
};

void append_le(std::string& out, std::uint64_t bits, int bytes) {
  for (int b = 0; b < bytes; ++b) out.push_back(static_cast<char>((bits >> (8 * b)) & 0xFF));
}

std::string raw_bytes(const NodeProp& p) {
  std::string out;
  out.reserve(p.values.size() * 8);
  for (const double v : p.values) {
    if (p.kind == 'b') {
      out.push_back(v == 1.0 ? 1 : 0);
    } else if (p.kind == 'i') {
      append_le(out, static_cast<std::uint64_t>(std::isnan(v) ? 0 : static_cast<std::int64_t>(v)), 8);
    } else {
      std::uint64_t bits;
      std::memcpy(&bits, &v, 8);
      append_le(out, bits, 8);
    }
  }
  return out;
}

const char* zarr_dtype(char kind) { return kind == 'b' ? "|b1" : kind == 'i' ? "<i8" : "<f8"; }
const char* numpy_dtype(char kind) { return kind == 'b' ? "bool" : kind == 'i' ? "int64" : "float64"; }

// A zarr array's metadata: one chunk holding the whole array.
std::string zarray(const std::vector<size_t>& shape, char kind) {
  Json chunks = Json::array();
  for (const size_t n : shape) chunks.push_back(std::max<size_t>(n, 1));
  Json a;
  a["chunks"] = chunks;
  a["compressor"] = nullptr;
  a["dtype"] = zarr_dtype(kind);
  if (kind == 'b')
    a["fill_value"] = false;
  else
    a["fill_value"] = 0;
  a["filters"] = nullptr;
  a["order"] = "C";
  a["shape"] = shape;
  a["zarr_format"] = 2;
  return a.dump(2) + "\n";
}

const char* const kGroup = "{\n  \"zarr_format\": 2\n}\n";

struct Files {
  std::vector<std::pair<std::string, std::string>> list;
  void add(const std::string& rel, std::string bytes) { list.emplace_back(rel, std::move(bytes)); }
  // An array at `rel` (a folder) with its one chunk, none when it is empty.
  void array(const std::string& rel, const std::vector<size_t>& shape, char kind, std::string bytes) {
    add(rel + "/.zarray", zarray(shape, kind));
    bool empty = false;
    for (const size_t n : shape) empty = empty || n == 0;
    if (!empty) add(rel + (shape.size() == 2 ? "/0.0" : "/0"), std::move(bytes));
  }
};

// The cells of each frame in cells.csv's order (by id, stable).
std::vector<std::vector<size_t>> row_order(const TimeLapse& tl) {
  std::vector<std::vector<size_t>> order(tl.frames.size());
  for (size_t t = 0; t < tl.frames.size(); ++t) {
    const Frame& f = tl.frames[t];
    order[t].resize(static_cast<size_t>(f.count()));
    std::iota(order[t].begin(), order[t].end(), size_t{0});
    std::stable_sort(order[t].begin(), order[t].end(), [&](size_t a, size_t b) { return f.id[a] < f.id[b]; });
  }
  return order;
}

std::vector<NodeProp> node_props(const TimeLapse& tl, const Lineage& lin, const Units& units,
                                 const std::vector<std::vector<size_t>>& order) {
  const std::vector<TrackFacts> facts = track_facts(tl, lin);
  const double dt = units.frame_interval > 0 ? units.frame_interval : 1.0;
  const double px = units.pixel_size > 0 ? units.pixel_size : 1.0;
  const std::string um = units.pixel_size > 0 ? "micrometer" : "";
  int area = -1;
  for (size_t k = 0; k < tl.extra_names.size(); ++k)
    if (tl.extra_names[k] == "area") area = static_cast<int>(k);
  bool whole_ids = true;
  for (const Frame& f : tl.frames)
    for (const double id : f.id) whole_ids = whole_ids && id == std::floor(id) && std::fabs(id) < 9e15;
  std::vector<NodeProp> props = {
      {"t", units.frame_interval > 0 ? "minute" : "", "time: the frame number, in minutes with a frame interval", 'f', {}},
      {"y", um, "the cell's centre, row (down)", 'f', {}},
      {"x", um, "the cell's centre, column (right)", 'f', {}},
      {"frame", "", "frame number (cells.csv frame)", 'i', {}},
      {"seg_id", "", "the cell's id in its frame (cells.csv id; for masks its label)", whole_ids ? 'i' : 'f', {}},
      {"track", "", "its track: a chain of cells without a division (tracklet)", 'i', {}},
      {"lineage", "", "the track at the root of its tree", 'i', {}},
      {"generation", "", "divisions from its founder", 'i', {}},
      {"length", um, "pole to pole", 'f', {}},
      {"angle", "degree", "axis, counter-clockwise as seen on screen", 'f', {}},
      {"confidence", "", "how sure its link to the previous frame is, 0 to 1", 'f', {}},
      {"flag", "", "cells.csv flag: 0 normal, 1 probable debris, 2 after a gap, 3 division resolved, 4 no origin",
       'i', {}}};
  if (area >= 0) props.push_back({"area", units.pixel_size > 0 ? "micrometer**2" : "", "pixels of its mask", 'f', {}});
  const bool border = has_border_flags(tl);
  if (border) props.push_back({"border", "", "its mask touches the image's edge", 'b', {}});
  const size_t fixed = props.size();
  for (const std::string& name : tl.intensity_names) {
    props.push_back({name + "_mean", "", "mean " + name + " over its pixels, in the image's units", 'f', {}});
    props.push_back({name + "_total", "", "sum of " + name + " over its pixels", 'f', {}});
    props.push_back({name + "_background", "", "median " + name + " outside every cell of its frame", 'f', {}});
  }
  for (size_t t = 0; t < tl.frames.size(); ++t) {
    const Frame& f = tl.frames[t];
    for (const size_t i : order[t]) {
      const int track = lin.track[t][i];
      const TrackFacts& tf = facts[static_cast<size_t>(track - 1)];
      const double row[] = {static_cast<double>(f.number) * dt,
                            f.y[i] * px,
                            f.x[i] * px,
                            static_cast<double>(f.number),
                            f.id[i],
                            static_cast<double>(track),
                            static_cast<double>(tf.founder),
                            static_cast<double>(tf.generation),
                            f.length[i] * px,
                            f.angle[i],
                            lin.confidence.empty() ? NAN : lin.confidence[t][i],
                            static_cast<double>(lin.flag.empty() ? 0 : lin.flag[t][i])};
      size_t p = 0;
      for (const double v : row) props[p++].values.push_back(v);
      if (area >= 0) props[p++].values.push_back(f.extra[static_cast<size_t>(area)][i] * px * px);
      if (border) props[p++].values.push_back(f.border[i] ? 1.0 : 0.0);
      for (size_t c = 0; c < tl.intensity_names.size(); ++c) {
        props[fixed + 3 * c].values.push_back(f.intensity_mean[c][i]);
        props[fixed + 3 * c + 1].values.push_back(f.intensity_total[c][i]);
        props[fixed + 3 * c + 2].values.push_back(f.intensity_background[c]);
      }
    }
  }
  return props;
}

// Every link as (earlier node, later node), by source then target.
std::vector<std::pair<std::int64_t, std::int64_t>> edges_of(const TimeLapse& tl, const Lineage& lin,
                                                            const std::vector<std::vector<size_t>>& order) {
  std::vector<std::vector<std::int64_t>> node(tl.frames.size());
  std::int64_t next = 0;
  for (size_t t = 0; t < tl.frames.size(); ++t) {
    node[t].resize(order[t].size());
    for (const size_t i : order[t]) node[t][i] = next++;
  }
  const std::vector<TrackFacts> facts = track_facts(tl, lin);
  auto at = [&](const TrackFacts& f, size_t n) {
    return node[static_cast<size_t>(f.frame[n])][static_cast<size_t>(f.cell[n])];
  };
  std::vector<std::pair<std::int64_t, std::int64_t>> edges;
  for (size_t k = 0; k < facts.size(); ++k) {
    const TrackFacts& f = facts[k];
    for (size_t n = 1; n < f.frame.size(); ++n) edges.emplace_back(at(f, n - 1), at(f, n));
    const int parent = lin.tracks[k].parent;
    if (parent > 0 && !f.frame.empty()) {
      const TrackFacts& m = facts[static_cast<size_t>(parent - 1)];
      if (!m.frame.empty()) edges.emplace_back(at(m, m.frame.size() - 1), at(f, 0));
    }
  }
  std::sort(edges.begin(), edges.end());
  return edges;
}

Json prop_metadata(const NodeProp& p) {
  Json m;
  m["identifier"] = p.name;
  m["dtype"] = numpy_dtype(p.kind);
  m["varlength"] = false;
  if (!p.unit.empty()) m["unit"] = p.unit;
  m["description"] = p.description;
  return m;
}

Json axis(const char* name, const char* type, const std::string& unit) {
  Json a;
  a["name"] = name;
  a["type"] = type;
  if (!unit.empty()) a["unit"] = unit;
  return a;
}

}  // namespace

std::vector<std::pair<std::string, std::string>> geff_files(const TimeLapse& tl, const Lineage& lin,
                                                            const Units& units) {
  const std::vector<std::vector<size_t>> order = row_order(tl);
  const std::vector<NodeProp> props = node_props(tl, lin, units, order);
  const size_t nodes = props[0].values.size();
  Files files;
  files.add(".zgroup", kGroup);
  Json geff;
  geff["geff_version"] = "1.3";
  geff["directed"] = true;
  geff["axes"] = Json::array({axis("t", "time", props[0].unit), axis("y", "space", props[1].unit),
                              axis("x", "space", props[2].unit)});
  Json node_meta = Json::object();
  for (const NodeProp& p : props) node_meta[p.name] = prop_metadata(p);
  geff["node_props_metadata"] = node_meta;
  geff["edge_props_metadata"] = Json::object();
  geff["track_node_props"] = {{"tracklet", "track"}, {"lineage", "lineage"}};
  Json attrs;
  attrs["geff"] = geff;
  files.add(".zattrs", attrs.dump(2) + "\n");

  files.add("nodes/.zgroup", kGroup);
  std::string ids;
  for (size_t k = 0; k < nodes; ++k) append_le(ids, k, 8);
  files.array("nodes/ids", {nodes}, 'i', ids);
  files.add("nodes/props/.zgroup", kGroup);
  for (const NodeProp& p : props) {
    const std::string dir = "nodes/props/" + p.name;
    files.add(dir + "/.zgroup", kGroup);
    files.array(dir + "/values", {nodes}, p.kind, raw_bytes(p));
    NodeProp missing{p.name, "", "", 'b', {}};
    bool any = false;
    for (const double v : p.values) {
      missing.values.push_back(std::isnan(v) ? 1.0 : 0.0);
      any = any || std::isnan(v);
    }
    if (any) files.array(dir + "/missing", {nodes}, 'b', raw_bytes(missing));
  }

  const auto edges = edges_of(tl, lin, order);
  files.add("edges/.zgroup", kGroup);
  std::string edge_bytes;
  for (const auto& e : edges) {
    append_le(edge_bytes, static_cast<std::uint64_t>(e.first), 8);
    append_le(edge_bytes, static_cast<std::uint64_t>(e.second), 8);
  }
  files.array("edges/ids", {edges.size(), 2}, 'i', edge_bytes);
  files.add("edges/props/.zgroup", kGroup);
  return files.list;
}

}  // namespace vantu
