// The output folder of a run: what may be replaced there, the record of what
// the programs wrote (run/written_record.h), and the removal of an earlier
// run's leftovers.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sstream>

#include "base/check.h"
#include "run/written_record.h"
#include "track/track.h"

namespace vantu {

namespace {

bool is_folder_name(const std::string& rel) { return !rel.empty() && rel.back() == '/'; }

// The files the matcher writes into a pair's kept folder (pairs/NNNN/).
const char* const kMatcherFiles[] = {"Match.dat",   "Perm0.dat",   "Perm1.dat",   "Perm2.dat", "v0slack.dat",
                                     "v1slack.dat", "v2slack.dat", "h0slack.dat", "out.dat",   "out1.dat",
                                     "out2.dat",    "tps_c.dat"};

// A file of the matcher, or one of its temporary files ".NAME.PID.THREAD.tmp"
// that a killed run left behind.
bool is_matcher_file(const std::string& n) {
  for (const char* m : kMatcherFiles) {
    const std::string name = m;
    if (n == name) return true;
    if (n.size() > name.size() + 6 && n[0] == '.' && n.compare(1, name.size(), name) == 0 &&
        n[name.size() + 1] == '.' && n.compare(n.size() - 4, 4, ".tmp") == 0)
      return true;
  }
  return false;
}

// A tiled pair's folder also holds tiles.txt and a folder tile_NNN per tile
// with the tile's cells and parameters (first.dat, second.dat,
// softconfig.dat) beside the matcher's files.
bool is_tile_file(const std::string& n) { return n == "first.dat" || n == "second.dat" || n == "softconfig.dat"; }
bool is_tile_folder(const std::string& n) {
  return n.size() == 8 && n.compare(0, 5, "tile_") == 0 &&
         std::all_of(n.begin() + 5, n.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Removes the matcher's files from a folder the programs wrote, then the
// folder unless something else is in it. In a tile's folder (`tile`) also
// the tile's inputs.
bool remove_pair_folder(const std::string& path, bool tile = false) {
  DIR* d = opendir(path.c_str());
  if (!d) return errno == ENOENT;
  std::vector<std::string> names, tiles;
  while (const dirent* e = readdir(d)) {
    const std::string n = e->d_name;
    if (is_matcher_file(n) || (tile && is_tile_file(n)) || (!tile && n == "tiles.txt")) names.push_back(n);
    if (!tile && is_tile_folder(n)) tiles.push_back(n);
  }
  closedir(d);
  for (const std::string& n : tiles) remove_pair_folder(path + "/" + n, true);
  for (const std::string& n : names) ::unlink((path + "/" + n).c_str());
  return ::rmdir(path.c_str()) == 0 || errno == ENOENT || errno == ENOTEMPTY || errno == EEXIST;
}

}  // namespace

OutputFolder::OutputFolder(const std::string& dir, const std::vector<std::string>& inputs)
    : dir_(dir), recorded_(read_written_record(dir)) {
  for (const std::string& in : inputs) {
    struct stat st;
    if (::stat(in.c_str(), &st) == 0) inputs_.push_back({in, st.st_dev, st.st_ino});
  }
}

std::string OutputFolder::path(const std::string& rel) const {
  std::string p = dir_ + "/" + rel;
  if (is_folder_name(p)) p.pop_back();
  return p;
}

const std::string* OutputFolder::input_at(const std::string& rel) const {
  struct stat st;
  if (::stat(path(rel).c_str(), &st) != 0) return nullptr;
  for (const InputFile& in : inputs_)
    if (in.dev == st.st_dev && in.ino == st.st_ino) return &in.path;
  return nullptr;
}

void OutputFolder::check_may_replace(const std::string& rel) const {
  struct stat st;
  if (::lstat(path(rel).c_str(), &st) != 0) return;  // a new file
  if (const std::string* in = input_at(rel))
    throw TrackError("output folder " + dir_ + ": its " + rel + " would replace the input " + *in +
                     "; choose another folder with -o",
                     TrackError::kNotOurs);
  // Another part of the run (vantu-track --pairs) may have written it since
  // this one read the record.
  if (!recorded(rel) && !read_written_record(dir_).count(rel))
    throw TrackError(path(rel) + " exists and was not written by vantu (it is not listed in " + dir_ + "/" +
                     kWrittenRecordName + "); move it away or choose another folder with -o",
                     TrackError::kNotOurs);
}

void OutputFolder::create() const {
  std::string sofar;
  std::stringstream ss(dir_);
  std::string part;
  if (!dir_.empty() && dir_[0] == '/') sofar = "/";
  while (std::getline(ss, part, '/')) {
    if (part.empty()) continue;
    sofar += part;
    struct stat st;
    if (::mkdir(sofar.c_str(), 0777) != 0 && !(::stat(sofar.c_str(), &st) == 0 && S_ISDIR(st.st_mode)))
      throw TrackError("cannot create output folder " + sofar + ": " + std::strerror(errno), TrackError::kIo);
    sofar += "/";
  }
}

void OutputFolder::claim(const std::string& rel) {
  check_may_replace(rel);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    mine_.insert(rel);
    if (recorded_.count(rel)) {
      struct stat st;
      if (!is_folder_name(rel) && ::lstat(path(rel).c_str(), &st) == 0) replaced_.insert(rel);
      return;
    }
  }
  if (!add_to_written_record(dir_, {rel}))
    throw TrackError("cannot write " + dir_ + "/" + kWrittenRecordName + ": " + std::strerror(errno), TrackError::kIo);
  std::lock_guard<std::mutex> lock(mutex_);
  recorded_.insert(rel);
}

void OutputFolder::write(const std::string& rel, const std::string& text) {
  claim(rel);
  if (!write_file_atomically(path(rel), text)) throw TrackError("cannot write " + path(rel) + ": " + std::strerror(errno), TrackError::kIo);
}

void OutputFolder::keep(const std::string& rel) {
  std::lock_guard<std::mutex> lock(mutex_);
  mine_.insert(rel);
}

bool OutputFolder::recorded(const std::string& rel) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return recorded_.count(rel) != 0;
}

void OutputFolder::remove(const std::string& rel) {
  if (!recorded(rel) || input_at(rel)) return;
  const std::string p = path(rel);
  const bool gone = is_folder_name(rel) ? remove_pair_folder(p) : (::unlink(p.c_str()) == 0 || errno == ENOENT);
  if (!gone) throw TrackError("cannot remove the earlier run's " + p + ": " + std::strerror(errno), TrackError::kIo);
  std::lock_guard<std::mutex> lock(mutex_);
  mine_.erase(rel);
}

void OutputFolder::remove_stale() {
  std::set<std::string> gone;
  std::set<std::string> recorded;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    recorded = recorded_;
  }
  // Files before the folders that hold them.
  for (auto it = recorded.rbegin(); it != recorded.rend(); ++it) {
    const std::string& rel = *it;
    if (mine_.count(rel) || input_at(rel)) continue;
    struct stat st;
    const bool existed = ::lstat(path(rel).c_str(), &st) == 0;
    remove(rel);
    if (existed) removed_.push_back(rel);
    gone.insert(rel);
  }
  std::sort(removed_.begin(), removed_.end());
  if (!gone.empty() && !drop_from_written_record(dir_, gone))
    throw TrackError("cannot write " + dir_ + "/" + kWrittenRecordName + ": " + std::strerror(errno), TrackError::kIo);
  std::lock_guard<std::mutex> lock(mutex_);
  for (const std::string& rel : gone) recorded_.erase(rel);
}

std::string OutputFolder::summary() const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (replaced_.empty() && removed_.empty()) return "";
  std::string text = strprintf("%s held an earlier run: %zu of its files replaced", dir_.c_str(), replaced_.size());
  if (!removed_.empty()) {
    text += strprintf(", %zu removed (", removed_.size());
    for (size_t k = 0; k < removed_.size() && k < 5; ++k) text += (k ? ", " : "") + removed_[k];
    text += removed_.size() > 5 ? ", ...)" : ")";
  }
  return text;
}

}  // namespace vantu
