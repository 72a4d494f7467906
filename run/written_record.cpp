// DIR/.vantu-written: read, and replaced whole (renamed over) under flock.
#include "run/written_record.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "run/writers.h"

namespace vantu {

namespace {

std::string record_path(const std::string& dir) { return (dir.empty() ? std::string(".") : dir) + "/" + kWrittenRecordName; }

}  // namespace

bool is_record_name(const std::string& name) {
  if (name.empty() || name[0] == '/' || name == kWrittenRecordName) return false;
  size_t start = 0;
  while (start < name.size()) {
    size_t end = name.find('/', start);
    if (end == std::string::npos) end = name.size();
    const std::string part = name.substr(start, end - start);
    // Every part a plain name: nothing that leads out of the folder.
    if (part.empty() || part == "." || part == ".." || part.find('\0') != std::string::npos) return false;
    start = end + 1;
  }
  return true;
}

namespace {

// The record held under a lock, closed (and so unlocked) on exit. The record
// is never changed in place: a new one is written beside it and renamed over
// it, so that a record shared with another folder (a hard link, as `cp -al`
// leaves) stays as it was there. The lock is on the file the name held when
// it was taken; when the name was given a new file meanwhile, it is taken again.
struct LockedRecord {
  int fd = -1;
  std::string path;
  LockedRecord(const std::string& dir, int flags, int lock) : path(record_path(dir)) {
    for (int tries = 0; tries < 1000; ++tries) {
      // A link in the record's place is not followed: the record is never
      // read from, nor written into, another file.
      fd = ::open(path.c_str(), flags | O_CLOEXEC | O_NOFOLLOW, 0666);
      if (fd < 0) return;
      struct stat held, named;
      if (::flock(fd, lock) != 0 || ::fstat(fd, &held) != 0) break;
      if (::lstat(path.c_str(), &named) == 0 && named.st_dev == held.st_dev && named.st_ino == held.st_ino) return;
      ::close(fd);
      fd = -1;
    }
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
  ~LockedRecord() {
    if (fd >= 0) ::close(fd);
  }
  LockedRecord(const LockedRecord&) = delete;
  LockedRecord& operator=(const LockedRecord&) = delete;

  // The names in the record, in the order written.
  std::vector<std::string> lines() const {
    std::string text;
    char buf[65536];
    ::lseek(fd, 0, SEEK_SET);
    for (ssize_t got; (got = ::read(fd, buf, sizeof buf)) != 0;) {
      if (got < 0) {
        if (errno == EINTR) continue;
        break;
      }
      text.append(buf, static_cast<size_t>(got));
    }
    std::vector<std::string> out;
    size_t start = 0;
    while (start < text.size()) {
      size_t end = text.find('\n', start);
      if (end == std::string::npos) end = text.size();
      // A name that is not a plain name inside the folder is none of ours.
      if (end > start && is_record_name(text.substr(start, end - start))) out.push_back(text.substr(start, end - start));
      start = end + 1;
    }
    return out;
  }
  std::set<std::string> names() const {
    const std::vector<std::string> l = lines();
    return std::set<std::string>(l.begin(), l.end());
  }

  // Replaces the record by one holding `text` (while the lock is held).
  bool replace(const std::string& text) const { return replace_file(path, &text, 1); }
};

}  // namespace

std::set<std::string> read_written_record(const std::string& dir) {
  LockedRecord r(dir, O_RDONLY, LOCK_SH);
  return r.fd < 0 ? std::set<std::string>() : r.names();
}

bool add_to_written_record(const std::string& dir, const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& n : names) {
    if (!is_record_name(n)) {
      errno = EINVAL;
      return false;
    }
  }
  // An empty record is made to hold the lock on when there is none.
  LockedRecord r(dir, O_RDONLY | O_CREAT, LOCK_EX);
  if (r.fd < 0) return false;
  std::vector<std::string> lines = r.lines();
  const std::set<std::string> had(lines.begin(), lines.end());
  for (const std::string& n : lines) text += n + "\n";
  for (const std::string& n : names)
    if (!had.count(n)) text += n + "\n";
  return r.replace(text);
}

bool drop_from_written_record(const std::string& dir, const std::set<std::string>& names) {
  LockedRecord r(dir, O_RDONLY, LOCK_EX);
  if (r.fd < 0) return errno == ENOENT;
  std::string text;
  for (const std::string& n : r.lines())
    if (!names.count(n)) text += n + "\n";
  return r.replace(text);
}

}  // namespace vantu
