// Output helpers of the tracker: number text, atomic files, the pair log.
#include <sys/stat.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <fstream>
#include <sstream>
#include <cstdio>

#include "base/check.h"
#include "run/writers.h"
#include "track/output/output.h"

namespace vantu {

std::string number_text(double v) {
  if (v == 0.0) return "0";  // also -0
  char buf[32];
  const auto res = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, res.ptr);
}

TrackError file_error(const std::string& path, const std::string& message) {
  struct stat st;
  return TrackError(message, ::stat(path.c_str(), &st) != 0 && errno == ENOENT ? TrackError::kMissing : TrackError::kIo);
}

bool write_file_atomically(const std::string& path, const std::string& text) {
  return replace_file(path, &text, 1);
}

std::string pairs_log_text(const TimeLapse& tl, const std::vector<PairLinks>& links, const Lineage& lin) {
  std::string text;
  for (size_t t = 0; t < links.size(); ++t) {
    const Lineage::PairCounts& c = lin.pairs[t];
    const PairLinks& pl = links[t];
    const std::string how = pl.method == PairMethod::kSmall   ? ", small-pair matcher"
                            : pl.method == PairMethod::kTiles ? strprintf(", %d tiles", pl.tiles)
                                                              : "";
    const std::string singular = pl.singular_solves ? strprintf(", %d singular spline solves", pl.singular_solves) : "";
    text += strprintf("pair %04zu frames %ld-%ld: cells %d -> %d, continuations %d, divisions %d, unmatched %d%s%s, %.2f s%s\n",
                      t, tl.frames[t].number, tl.frames[t + 1].number, pl.K, pl.M, c.continuations, c.divisions,
                      c.unmatched, how.c_str(), singular.c_str(), pl.seconds, pl.reused ? " (earlier run)" : "");
  }
  return text;
}

std::string read_file_text(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

}  // namespace vantu
