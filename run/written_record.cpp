// DIR/.vantu-written: read, appended and rewritten under flock.
#include "run/written_record.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

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

// An open record held under a lock, closed (and so unlocked) on exit.
struct LockedRecord {
  int fd = -1;
  LockedRecord(const std::string& dir, int flags, int lock) {
    // A link in the record's place is not followed: the record is never
    // read from, nor written into, another file.
    fd = ::open(record_path(dir).c_str(), flags | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (fd >= 0 && ::flock(fd, lock) != 0) {
      ::close(fd);
      fd = -1;
    }
  }
  ~LockedRecord() {
    if (fd >= 0) ::close(fd);
  }
  LockedRecord(const LockedRecord&) = delete;
  LockedRecord& operator=(const LockedRecord&) = delete;

  std::set<std::string> names() const {
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
    std::set<std::string> out;
    size_t start = 0;
    while (start < text.size()) {
      size_t end = text.find('\n', start);
      if (end == std::string::npos) end = text.size();
      // A name that is not a plain name inside the folder is none of ours.
      if (end > start && is_record_name(text.substr(start, end - start))) out.insert(text.substr(start, end - start));
      start = end + 1;
    }
    return out;
  }

  bool write_all(const std::string& text) const {
    size_t done = 0;
    while (done < text.size()) {
      const ssize_t put = ::write(fd, text.data() + done, text.size() - done);
      if (put < 0 && errno == EINTR) continue;
      if (put <= 0) return false;
      done += static_cast<size_t>(put);
    }
    return true;
  }
};

}  // namespace

std::set<std::string> read_written_record(const std::string& dir) {
  LockedRecord r(dir, O_RDONLY, LOCK_SH);
  return r.fd < 0 ? std::set<std::string>() : r.names();
}

bool add_to_written_record(const std::string& dir, const std::vector<std::string>& names) {
  // Appended without reading the record first: a run adds each name once,
  // and a name that two runs add is read as one.
  std::string text;
  for (const std::string& n : names) {
    if (!is_record_name(n)) {
      errno = EINVAL;
      return false;
    }
    text += n + "\n";
  }
  LockedRecord r(dir, O_WRONLY | O_CREAT | O_APPEND, LOCK_EX);
  if (r.fd < 0) return false;
  return r.write_all(text);
}

bool drop_from_written_record(const std::string& dir, const std::set<std::string>& names) {
  LockedRecord r(dir, O_RDWR, LOCK_EX);
  if (r.fd < 0) return errno == ENOENT;
  std::string text;
  for (const std::string& n : r.names())
    if (!names.count(n)) text += n + "\n";
  // O_APPEND is not set: the rewrite starts at the beginning.
  if (::ftruncate(r.fd, 0) != 0 || ::lseek(r.fd, 0, SEEK_SET) != 0) return false;
  return r.write_all(text);
}

}  // namespace vantu
