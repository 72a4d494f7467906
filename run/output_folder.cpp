// The output folder's guard: what may be written there, its lock, the
// movie its results belong to, and the removal of an earlier run's leftovers.
#include "run/output_folder.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "base/check.h"
#include "run/writers.h"
#include "run/written_record.h"

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

bool is_real_folder(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Removes the matcher's files from a folder the programs wrote, then the
// folder unless something else is in it. In a tile's folder (`tile`) also
// the tile's inputs. A link in it is never followed.
bool remove_pair_folder(const std::string& path, bool tile = false) {
  if (!is_real_folder(path)) return errno == ENOENT;
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

// A folder result other than a pair's (lineage.geff/) holds zarr groups
// and arrays: their metadata and chunk files (digits and dots).
bool is_pair_folder_name(const std::string& rel) { return rel.compare(0, 6, "pairs/") == 0; }
bool is_zarr_file(const std::string& n) {
  return n == ".zgroup" || n == ".zattrs" || n == ".zarray" ||
         (!n.empty() && n[0] != '.' && std::all_of(n.begin(), n.end(), [](char c) { return (c >= '0' && c <= '9') || c == '.'; }));
}

// The first thing in a zarr folder that is not a zarr file or a folder of
// them (a link, a foreign name) as a path, or "".
std::string foreign_in_zarr(const std::string& path) {
  DIR* d = opendir(path.c_str());
  if (!d) return "";
  std::vector<std::string> names;
  while (const dirent* e = readdir(d))
    if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
  closedir(d);
  std::sort(names.begin(), names.end());
  for (const std::string& n : names) {
    const std::string p = path + "/" + n;
    struct stat st;
    if (::lstat(p.c_str(), &st) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      if (n[0] == '.') return p;
      const std::string inner = foreign_in_zarr(p);
      if (!inner.empty()) return inner;
    } else if (!S_ISREG(st.st_mode) || !is_zarr_file(n)) {
      return p;
    }
  }
  return "";
}

// Removes a zarr folder's files and folders (never following a link); true
// when it is gone. What is not a zarr file stays, and the folder with it.
bool remove_zarr_folder(const std::string& path) {
  if (!is_real_folder(path)) return errno == ENOENT;
  DIR* d = opendir(path.c_str());
  if (!d) return errno == ENOENT;
  std::vector<std::string> names;
  while (const dirent* e = readdir(d))
    if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
  closedir(d);
  for (const std::string& n : names) {
    const std::string p = path + "/" + n;
    struct stat st;
    if (::lstat(p.c_str(), &st) != 0) continue;
    if (S_ISDIR(st.st_mode) && n[0] != '.')
      remove_zarr_folder(p);
    else if (S_ISREG(st.st_mode) && is_zarr_file(n))
      ::unlink(p.c_str());
  }
  return ::rmdir(path.c_str()) == 0 || errno == ENOENT;
}

// Writes `files` into the new folder `path`; false (errno set) on failure.
bool write_folder_files(const std::string& path, const std::vector<std::pair<std::string, std::string>>& files) {
  if (::mkdir(path.c_str(), 0777) != 0) return false;
  for (const auto& f : files) {
    for (size_t slash = f.first.find('/'); slash != std::string::npos; slash = f.first.find('/', slash + 1))
      if (::mkdir((path + "/" + f.first.substr(0, slash)).c_str(), 0777) != 0 && errno != EEXIST) return false;
    const int fd = ::open((path + "/" + f.first).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (fd < 0) return false;
    size_t done = 0;
    while (done < f.second.size()) {
      const ssize_t n = ::write(fd, f.second.data() + done, f.second.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
    const int e = errno;
    if (::close(fd) != 0 || done != f.second.size()) {
      errno = done != f.second.size() ? e : errno;
      return false;
    }
  }
  return true;
}

bool same_bytes(const std::string& path, const std::string& text);

// True when the zarr folder at `path` holds exactly `files`.
bool same_folder(const std::string& path, const std::vector<std::pair<std::string, std::string>>& files) {
  size_t count = 0;
  std::vector<std::string> dirs = {""};
  while (!dirs.empty()) {
    const std::string rel = dirs.back();
    dirs.pop_back();
    DIR* d = opendir((path + "/" + rel).c_str());
    if (!d) return false;
    while (const dirent* e = readdir(d)) {
      const std::string n = e->d_name;
      if (n == "." || n == "..") continue;
      struct stat st;
      if (::lstat((path + "/" + rel + n).c_str(), &st) != 0) continue;
      if (S_ISDIR(st.st_mode))
        dirs.push_back(rel + n + "/");
      else
        ++count;
    }
    closedir(d);
  }
  if (count != files.size()) return false;
  for (const auto& f : files)
    if (!same_bytes(path + "/" + f.first, f.second)) return false;
  return true;
}

// Pictures are drawn from the results; the log, the parameters, the units'
// text, the pair records and the folder's own files are none they read.
bool is_result_name(const std::string& rel) {
  return !is_picture_name(rel) && rel != "pairs.log" && rel != "softconfig.dat" && rel != "units" &&
         rel.compare(0, 6, "pairs/") != 0 && !rel.empty() && rel[0] != '.';
}

bool same_bytes(const std::string& path, const std::string& text) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || static_cast<size_t>(st.st_size) != text.size())
    return false;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return false;
  std::string old(text.size(), '\0');
  size_t got = 0;
  while (got < old.size()) {
    const ssize_t n = ::read(fd, &old[got], old.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  ::close(fd);
  return got == old.size() && old == text;
}

std::string real_path(const std::string& path) {
  char resolved[PATH_MAX];
  return ::realpath(path.c_str(), resolved) ? std::string(resolved) : path;
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> out;
  std::stringstream ss(text);
  for (std::string line; std::getline(ss, line);)
    if (!line.empty()) out.push_back(line);
  return out;
}

// .vantu-inputs: its first line, then one input a line, a path with its
// backslashes and line ends escaped ("\\\\", "\\n"), or "data DIGEST" for a
// lineage tracked from memory. A record without the first line is an older
// version's: one path a line as written.
constexpr const char* kInputsFormat = "# vantu inputs 2: one a line, \\ and \\n escaped";
constexpr const char* kDataInput = "data ";

std::string escaped_line(const std::string& in) {
  std::string out;
  for (const char c : in) {
    if (c == '\\') out += "\\\\";
    else if (c == '\n') out += "\\n";
    else out += c;
  }
  return out;
}

std::string unescaped_line(const std::string& line) {
  std::string out;
  for (size_t k = 0; k < line.size(); ++k) {
    if (line[k] == '\\' && k + 1 < line.size()) {
      const char next = line[++k];
      out += next == 'n' ? '\n' : next;
    } else {
      out += line[k];
    }
  }
  return out;
}

std::vector<std::string> recorded_inputs(const std::string& text) {
  std::vector<std::string> out = lines_of(text);
  if (out.empty() || out.front() != kInputsFormat) return out;
  out.erase(out.begin());
  for (std::string& in : out) in = unescaped_line(in);
  return out;
}

// An input as a message names it: a path on one line.
std::string shown_input(const std::string& in) {
  if (in.compare(0, std::strlen(kDataInput), kDataInput) == 0)
    return "arrays or a table in memory (digest " + in.substr(std::strlen(kDataInput)) + ")";
  return escaped_line(in);
}

// "a, b and 3 more" for a message.
std::string some_of(const std::vector<std::string>& names) {
  std::string text;
  for (size_t k = 0; k < names.size() && k < 2; ++k) text += (k ? ", " : "") + names[k];
  if (names.size() > 2) text += strprintf(" and %zu more", names.size() - 2);
  return text;
}

std::vector<std::string> shown_inputs(const std::vector<std::string>& inputs) {
  std::vector<std::string> out;
  for (const std::string& in : inputs) out.push_back(shown_input(in));
  return out;
}

std::string joined(const std::vector<std::string>& names) {
  std::string text;
  for (size_t k = 0; k < names.size(); ++k) text += (k ? ", " : "") + names[k];
  return text;
}

}  // namespace

bool is_picture_name(const std::string& rel) {
  return rel.find('/') == std::string::npos &&
         (ends_with_ci(rel, ".svg") || ends_with_ci(rel, ".html") || ends_with_ci(rel, ".htm"));
}

OutputFolder::OutputFolder(const std::string& dir, const std::vector<std::string>& inputs, FolderUse use,
                           const std::string& data_digest)
    : dir_(dir), use_(use) {
  take_lock(false);
  recorded_ = read_written_record(dir);
  for (const std::string& in : inputs) {
    struct stat st;
    if (::stat(in.c_str(), &st) == 0) inputs_.push_back({in, st.st_dev, st.st_ino});
    input_paths_.push_back(real_path(in));
  }
  std::sort(input_paths_.begin(), input_paths_.end());
  input_paths_.erase(std::unique(input_paths_.begin(), input_paths_.end()), input_paths_.end());
  made_from_ = input_paths_;
  if (!data_digest.empty()) made_from_.push_back(kDataInput + data_digest);
  std::sort(made_from_.begin(), made_from_.end());
  check_same_movie();
}

OutputFolder::LockFile::~LockFile() {
  if (fd >= 0) ::close(fd);
}

void OutputFolder::take_lock(bool create) {
  if (lock_.fd >= 0) return;
  const std::string lock = path(kFolderLockName);
  struct stat st;
  if (::lstat(lock.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
    throw TrackError(lock + " is not a file of vantu's (a link or a folder); move it away or choose another folder with -o", TrackError::kNotOurs);
  const bool existed = ::lstat(lock.c_str(), &st) == 0;
  if (!existed && !create) return;  // taken when the folder is made
  const int fd = ::open(lock.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | (create ? O_CREAT : 0), 0666);
  if (fd < 0) {
    if (!create && errno == ENOENT) return;
    throw TrackError("cannot open " + lock + ": " + std::strerror(errno), TrackError::kIo);
  }
  if (::flock(fd, (use_.shared ? LOCK_SH : LOCK_EX) | LOCK_NB) != 0) {
    const int e = errno;
    ::close(fd);
    if (e == EWOULDBLOCK)
      throw TrackError(dir_ + " is in use by another vantu program (it holds " + lock +
                       "); wait until it ends, or choose another folder with -o", TrackError::kIo);
    throw TrackError("cannot lock " + lock + ": " + std::strerror(e), TrackError::kIo);
  }
  lock_.fd = fd;
  if (!create) return;
  // The folder was new or unlocked when this program started: another one
  // may have written into it since.
  if (!use_.shared && read_written_record(dir_) != recorded_)
    throw TrackError(dir_ + " was written by another vantu program while this one read its input; run it again", TrackError::kIo);
  if (!existed && !recorded_.count(kFolderLockName)) {
    if (!add_to_written_record(dir_, {kFolderLockName}))
      throw TrackError("cannot write " + dir_ + "/" + kWrittenRecordName + ": " + std::strerror(errno), TrackError::kIo);
    recorded_.insert(kFolderLockName);
  }
}

void OutputFolder::check_same_movie() const {
  if (use_.force || made_from_.empty() || !recorded_.count(kFolderInputsName) || !link_in(kFolderInputsName).empty())
    return;
  std::string text;
  {
    const int fd = ::open(path(kFolderInputsName).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return;
    char buf[65536];
    for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;) text.append(buf, static_cast<size_t>(n));
    ::close(fd);
  }
  // An empty record is an older version's lineage from memory (Python): what
  // it was made from is unknown, so it is another movie's.
  const std::vector<std::string> earlier = recorded_inputs(text);
  for (const std::string& in : earlier)
    if (std::binary_search(made_from_.begin(), made_from_.end(), in)) return;
  // Results made from the folder's own files (point files of --points-only)
  // are the same movie's.
  const std::string here = real_path(dir_) + "/";
  for (const std::string& in : input_paths_)
    if (in.compare(0, here.size(), here) == 0 && recorded_.count(in.substr(here.size()))) return;
  throw TrackError(dir_ + " holds the results of another movie: they were made from " +
                   (earlier.empty() ? std::string("arrays or a table in memory (not recorded by the version that wrote them)")
                                    : some_of(shown_inputs(earlier))) +
                   ", and this run's inputs are " + some_of(shown_inputs(made_from_)) +
                   ", none of them the same. Replacing them would lose them: choose another folder with -o, "
                   "or give --force to replace them (Python: write(dir, force=True))", TrackError::kNotOurs);
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

// The first part of `rel`'s path in the folder that is a symbolic link
// ("DIR/pairs" for "pairs/0003.txt"), or "".
std::string OutputFolder::link_in(const std::string& rel) const {
  std::string part = dir_;
  size_t start = 0;
  while (start < rel.size()) {
    size_t end = rel.find('/', start);
    if (end == std::string::npos) end = rel.size();
    part += "/" + rel.substr(start, end - start);
    struct stat st;
    if (::lstat(part.c_str(), &st) != 0) return "";
    if (S_ISLNK(st.st_mode)) return part;
    start = end + 1;
  }
  return "";
}

void OutputFolder::check_may_replace(const std::string& rel) const {
  const std::string link = link_in(rel);
  if (!link.empty()) {
    char to[PATH_MAX];
    const ssize_t n = ::readlink(link.c_str(), to, sizeof to - 1);
    const std::string target = n > 0 ? " (to " + std::string(to, static_cast<size_t>(n)) + ")" : "";
    throw TrackError(link + " is a symbolic link" + target +
                     ": vantu never writes through a link; remove the link or choose another folder with -o", TrackError::kNotOurs);
  }
  struct stat st;
  if (::lstat(path(rel).c_str(), &st) != 0) return;  // a new file
  if (const std::string* in = input_at(rel))
    throw TrackError("output folder " + dir_ + ": its " + rel + " would replace the input " + *in +
                     "; choose another folder with -o", TrackError::kNotOurs);
  // Another part of the run (vantu-track --pairs) may have written it since
  // this one read the record.
  if (!recorded(rel) && !read_written_record(dir_).count(rel))
    throw TrackError(path(rel) + " exists and was not written by vantu (it is not listed in " + dir_ + "/" +
                     kWrittenRecordName + "); move it away or choose another folder with -o", TrackError::kNotOurs);
  if (!is_folder_name(rel) && S_ISDIR(st.st_mode))
    throw TrackError(path(rel) + " is a folder where vantu writes a file; move it away or choose another folder with -o", TrackError::kNotOurs);
  if (is_folder_name(rel) && !is_pair_folder_name(rel)) {
    if (!S_ISDIR(st.st_mode))
      throw TrackError(path(rel) + " is a file where vantu writes a folder; move it away or choose another folder with -o", TrackError::kNotOurs);
    const std::string foreign = foreign_in_zarr(path(rel));
    if (!foreign.empty())
      throw TrackError(foreign + " was not written by vantu, and vantu replaces " + path(rel) +
                       " whole; move it away or choose another folder with -o", TrackError::kNotOurs);
  }
}

void OutputFolder::plan(const std::vector<std::string>& names) {
  for (const std::string& n : names) check_may_replace(n);
  std::lock_guard<std::mutex> lock(mutex_);
  planned_.insert(names.begin(), names.end());
  planned_.insert(kFolderInputsName);
}

void OutputFolder::create() {
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
  std::lock_guard<std::mutex> lock(mutex_);
  take_lock(true);
}

void OutputFolder::claim(const std::string& rel) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    VANTU_REQUIRE(planned_.empty() || planned_.count(rel), "a name the program writes is checked before its work (plan)");
    take_lock(true);
  }
  check_may_replace(rel);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    mine_.insert(rel);
    if (recorded_.count(rel)) {
      struct stat st;
      // The folder's own bookkeeping is not counted among the results replaced.
      if (!is_folder_name(rel) && rel != kFolderInputsName && ::lstat(path(rel).c_str(), &st) == 0)
        replaced_.insert(rel);
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
  const bool result = is_result_name(rel);
  const bool same = result && same_bytes(path(rel), text);
  if (!replace_file(path(rel), &text, 1)) throw TrackError("cannot write " + path(rel) + ": " + std::strerror(errno), TrackError::kIo);
  if (!result) return;
  std::lock_guard<std::mutex> lock(mutex_);
  results_written_ = true;
  if (!same) results_changed_ = true;
}

void OutputFolder::write_folder(const std::string& rel, const std::vector<std::pair<std::string, std::string>>& files) {
  VANTU_REQUIRE(is_folder_name(rel) && !is_pair_folder_name(rel), "a folder result is named with a final '/'");
  claim(rel);
  const std::string final_path = path(rel);
  const std::string name = rel.substr(0, rel.size() - 1);
  const std::string fresh = dir_ + "/." + name + strprintf(".%ld.partial", static_cast<long>(::getpid()));
  const std::string old = dir_ + "/." + name + strprintf(".%ld.old", static_cast<long>(::getpid()));
  remove_zarr_folder(fresh);
  if (!write_folder_files(fresh, files)) {
    const int e = errno;
    remove_zarr_folder(fresh);
    throw TrackError("cannot write " + fresh + ": " + std::strerror(e), TrackError::kIo);
  }
  const bool existed = is_real_folder(final_path);
  const bool same = existed && same_folder(final_path, files);
  // The old folder goes aside and the new one takes its place: a reader
  // sees the one or the other whole, never a mixture.
  if (existed && ::rename(final_path.c_str(), old.c_str()) != 0) {
    const int e = errno;
    remove_zarr_folder(fresh);
    throw TrackError("cannot replace " + final_path + ": " + std::strerror(e), TrackError::kIo);
  }
  if (::rename(fresh.c_str(), final_path.c_str()) != 0) {
    const int e = errno;
    if (existed) ::rename(old.c_str(), final_path.c_str());
    remove_zarr_folder(fresh);
    throw TrackError("cannot write " + final_path + ": " + std::strerror(e), TrackError::kIo);
  }
  if (existed) remove_zarr_folder(old);
  std::lock_guard<std::mutex> lock(mutex_);
  results_written_ = true;
  if (!same) results_changed_ = true;
  if (existed) replaced_.insert(rel);
}

void OutputFolder::record_inputs() {
  VANTU_REQUIRE(!made_from_.empty(), "a run's results record what they were made from");
  std::string text = std::string(kInputsFormat) + "\n";
  for (const std::string& in : made_from_) text += escaped_line(in) + "\n";
  write(kFolderInputsName, text);
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
  // A link is the user's: neither it nor what it points to is removed.
  if (!recorded(rel) || input_at(rel) || !link_in(rel).empty()) return;
  const std::string p = path(rel);
  const bool gone = !is_folder_name(rel)       ? (::unlink(p.c_str()) == 0 || errno == ENOENT)
                    : is_pair_folder_name(rel) ? remove_pair_folder(p)
                                               : remove_zarr_folder(p) || errno == ENOTEMPTY || errno == EEXIST;
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
  // Removes `rel` when it is there and no link; true when it was removed.
  auto drop = [&](const std::string& rel) {
    struct stat st;
    const bool there = ::lstat(path(rel).c_str(), &st) == 0 && link_in(rel).empty();
    remove(rel);
    gone.insert(rel);
    if (there) removed_.push_back(rel);
    return there;
  };
  // Files before the folders that hold them; the pictures after the results.
  std::vector<std::string> pictures;
  for (auto it = recorded.rbegin(); it != recorded.rend(); ++it) {
    const std::string& rel = *it;
    if (mine_.count(rel) || input_at(rel) || rel == kFolderLockName) continue;
    if (is_picture_name(rel)) {
      pictures.push_back(rel);
      continue;
    }
    if (drop(rel) && is_result_name(rel)) results_changed_ = true;
  }
  const bool redrawn = !results_written_ || results_changed_;
  for (auto it = pictures.rbegin(); it != pictures.rend(); ++it) {
    struct stat st;
    if (!redrawn) {
      keep(*it);
      if (::lstat(path(*it).c_str(), &st) == 0) pictures_kept_.push_back(*it);
    } else if (drop(*it)) {
      pictures_removed_.push_back(*it);
    }
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
  auto pictures = [](const std::vector<std::string>& names) {
    return std::string(names.size() == 1 ? "the picture " : "the pictures ") + joined(names);
  };
  if (!pictures_removed_.empty())
    text += "; removed " + pictures(pictures_removed_) + ": the results " +
            (pictures_removed_.size() == 1 ? "it was" : "they were") + " drawn from changed";
  if (!pictures_kept_.empty())
    text += "; kept " + pictures(pictures_kept_) + ": the results " +
            (pictures_kept_.size() == 1 ? "it was" : "they were") + " drawn from are the same";
  return text;
}

void check_picture_path(const std::string& path, const std::vector<std::string>& extensions, const char* what) {
  struct stat st;
  if (::stat(path.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) throw TrackError("will not write " + path + ": it is a folder", TrackError::kNotOurs);
    if (!S_ISREG(st.st_mode)) return;  // a device or a pipe
  }
  for (const std::string& ext : extensions)
    if (ends_with_ci(path, ext.c_str())) return;
  throw TrackError("will not write " + path + ": " + what + "; give a name ending in " + extensions[0]);
}

void write_picture(const std::string& path, const std::string& text) {
  struct stat st;
  if (::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    const bool ok = f && std::fwrite(text.data(), 1, text.size(), f) == text.size();
    if (!f || std::fclose(f) != 0 || !ok) throw TrackError("cannot write " + path, TrackError::kIo);
    return;
  }
  if (!replace_file(path, &text, 1)) throw TrackError("cannot write " + path + ": " + std::strerror(errno), TrackError::kIo);
}

}  // namespace vantu
