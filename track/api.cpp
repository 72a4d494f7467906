// The library calls of track/api.h, on the command line's stages.
#include "track/api.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <thread>

#include "base/check.h"

namespace vantu {

namespace {

int jobs_of(const TrackOptions& o) {
  return o.jobs > 0 ? o.jobs : static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
}

// 64-bit FNV-1a over the bytes of values, in the order added.
struct Digest {
  std::uint64_t h = 14695981039346656037ull;
  void bytes(const void* p, size_t n) {
    const unsigned char* c = static_cast<const unsigned char*>(p);
    for (size_t k = 0; k < n; ++k) h = (h ^ c[k]) * 1099511628211ull;
  }
  template <class T>
  void values(const std::vector<T>& v) {
    const std::uint64_t n = v.size();
    bytes(&n, sizeof n);
    if (!v.empty()) bytes(v.data(), v.size() * sizeof(T));
  }
};

// What a lineage tracked from memory (arrays, a table) was made from, for
// the folder's record: a digest of every frame's number, cells and pixels.
std::string time_lapse_digest(const TimeLapse& tl) {
  Digest d;
  const std::int64_t size[2] = {tl.width, tl.height};
  d.bytes(size, sizeof size);
  for (const Frame& f : tl.frames) {
    const std::int64_t number = f.number;
    d.bytes(&number, sizeof number);
    for (const std::vector<double>* v : {&f.x, &f.y, &f.length, &f.angle, &f.id}) d.values(*v);
    for (const std::vector<double>& v : f.extra) d.values(v);
    d.values(f.mask_runs);
  }
  return strprintf("fnv1a64:%016llx", static_cast<unsigned long long>(d.h));
}

// A run's end as a refusal, without the line end the program prints.
std::string refusal_text(std::string m) {
  while (!m.empty() && m.back() == '\n') m.pop_back();
  return m;
}

void set_parameter(ParameterSet& p, const std::string& name, double value) {
  struct Slot {
    const char* name;
    double* value;
  };
  const Slot slots[] = {{"BetaInit", &p.BetaInit}, {"BetaIncr", &p.BetaIncr}, {"BetaMax", &p.BetaMax},
                        {"lambda1", &p.lambda1},   {"lambda2", &p.lambda2},   {"TH", &p.TH},
                        {"rEvar", &p.rEvar},       {"alphaS", &p.alphaS}};
  for (const Slot& s : slots)
    if (name == s.name) {
      *s.value = value;
      return;
    }
  if (name == "MaxSplit") {
    bool ok = false;
    p.MaxSplit = round_to_int(value, &ok);
    if (ok && p.MaxSplit == value) return;
    throw TrackError("MaxSplit " + number_text(value) + " is not a whole number");
  }
  throw TrackError("unknown parameter \"" + name +
                   "\" (BetaInit, BetaIncr, BetaMax, lambda1, lambda2, TH, rEvar, alphaS or MaxSplit)");
}

}  // namespace

TrackResult track_time_lapse(TimeLapse tl, bool masks, const TrackOptions& o, const TrackHooks& hooks) {
  check_time_lapse(tl);
  const Corrections fixed = corrections_of(o, tl);
  TrackResult r;
  r.masks = masks;
  r.units = o.units;
  r.corrections = fixed.text;
  PairRun run;
  if (o.config.empty()) {
    ChosenParameters chosen = choose_parameters(tl);
    run.params = chosen.params;
    r.config_text = chosen.config_text;
    if (!chosen.warning.empty()) r.warnings.push_back(chosen.warning);
  } else {
    run.params = configured_parameters(o.config);
    r.config_text = read_file_text(o.config);
  }
  run.jobs = jobs_of(o);
  // The library prints nothing: progress goes to the caller's hook or nowhere.
  run.on_pair_done = hooks.progress ? hooks.progress : [](size_t, size_t) {};
  run.cancel = hooks.cancel;
  run.flush_subnormals = o.flush_subnormals;
  run.tile_cells = o.tile_cells;
  run.proposal = o.repairs.assign;
  const std::vector<PairLinks> links = match_pairs(tl, run);
  r.texts = lineage_texts(tl, links, run.params.MaxSplit, o.repairs, masks, o.units, &fixed);
  r.summary = lineage_summary(tl, r.texts);
  r.warnings.insert(r.warnings.begin(), tl.warnings.begin(), tl.warnings.end());
  const std::string length = pixel_size_warning(tl, o.units);
  if (!length.empty()) r.warnings.push_back(length);
  const std::string interval = frame_interval_warning(tl, r.texts.lineage, o.units);
  if (!interval.empty()) r.warnings.push_back(interval);
  r.time_lapse = std::move(tl);
  return r;
}

void write_lineage_folder(const TrackResult& r, const std::string& dir, const std::vector<std::string>& inputs,
                          const std::function<LabelImage(const Frame&)>& mask_of, bool force) {
  const TimeLapse& tl = r.time_lapse;
  FolderUse use;
  use.force = force;
  // A lineage from memory names no file: the folder records a digest of its
  // cells instead, so that another movie's results are not replaced unasked.
  OutputFolder out(dir, inputs, use, inputs.empty() ? time_lapse_digest(tl) : "");
  std::vector<std::string> names = lineage_file_names(tl, r.masks);
  names.push_back("softconfig.dat");
  if (!r.corrections.empty()) names.push_back("corrections.csv");
  out.plan(names);
  out.create();
  out.record_inputs();
  out.write("softconfig.dat", r.config_text);
  out.write("cells.csv", r.texts.cells_csv);
  out.write("res_track.txt", r.texts.res_track);
  out.write("tracks.csv", r.texts.tracks_csv);
  out.write("units", r.texts.units);
  out.write_folder(kGeffFolder, geff_files(tl, r.texts.lineage, r.units));
  if (r.masks) write_track_masks(tl, r.texts.lineage, out, mask_of);
  out.write("pairs.log", r.texts.pairs_log);
  if (!r.corrections.empty()) out.write("corrections.csv", r.corrections);
  out.remove_stale();
}

MatchResult match_frames(const TableCells& first, const TableCells& second, const std::string& config,
                         const std::vector<std::pair<std::string, double>>& set) {
  TimeLapse tl;
  for (const TableCells* c : {&first, &second}) {
    TableCells cells = *c;
    cells.frame.assign(cells.id.size(), 0.0);
    TimeLapse one = time_lapse_of_cells(cells, AngleConvention::kDegrees);
    if (one.frames.empty()) throw TrackError(c->source + ": no cells");
    tl.frames.push_back(std::move(one.frames[0]));
    tl.frames.back().number = static_cast<long>(tl.frames.size()) - 1;
    tl.frames.back().source = c->source;
  }
  check_time_lapse(tl);

  ChosenParameters chosen = choose_parameters(tl);
  ParameterSet p = config.empty() ? chosen.params : configured_parameters(config);
  for (const auto& kv : set) set_parameter(p, kv.first, kv.second);
  try {
    check_supported(p);
  } catch (const RunEnd& e) {
    throw TrackError(refusal_text(e.message));
  }
  MatchResult m;
  m.config_text = set.empty() ? (config.empty() ? chosen.config_text : read_file_text(config))
                              : config_text(p, config.empty() ? "given values over the parameters chosen from the two frames"
                                                                : "given values over " + config);
  const PairResult r = match_pair(tl.frames[0].first, tl.frames[1].second, p, PairOptions());
  if (r.status != 0) throw TrackError(refusal_text(r.message));
  m.K = r.K;
  m.M = r.M;
  const Frame& a = tl.frames[0];
  for (int l = 0; l < 3; ++l) {
    m.row[l] = r.matched_row[l];
    m.id[l].assign(static_cast<size_t>(m.M), 0);
    for (int j = 0; j < m.M; ++j) {
      const int i = m.row[l][static_cast<size_t>(j)];
      if (i >= 0) m.id[l][static_cast<size_t>(j)] = round_to_int(a.id[static_cast<size_t>(i)]);
    }
  }
  m.second_id = tl.frames[1].id;
  return m;
}

}  // namespace vantu
