// Whole-file replacement of result files: written under a temporary name in
// the file's own folder, then renamed over it.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>

#include "run/writers.h"

namespace vantu {

namespace {

// ".NAME.PID.THREAD.tmp" beside NAME. Only this thread of this process uses
// the name, one file at a time, so it is free unless an earlier process with
// the same numbers was killed while writing it.
std::string temporary_name(const std::string& target) {
  const size_t slash = target.rfind('/');
  const size_t base = slash == std::string::npos ? 0 : slash + 1;
  char tag[64];
  std::snprintf(tag, sizeof tag, ".%ld.%zx.tmp", static_cast<long>(getpid()),
                std::hash<std::thread::id>()(std::this_thread::get_id()));
  return target.substr(0, base) + "." + target.substr(base) + tag;
}

int create_temporary(const std::string& path) {
  const int flags = O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC;
  int fd = open(path.c_str(), flags, 0666);
  if (fd < 0 && errno == EEXIST && unlink(path.c_str()) == 0) fd = open(path.c_str(), flags, 0666);
  return fd;
}

bool write_all(int fd, const std::string& text) {
  const char* p = text.data();
  size_t left = text.size();
  while (left > 0) {
    const ssize_t n = write(fd, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    left -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

bool replace_file(const std::string& name, const std::string* parts, size_t count) {
  // The name itself is replaced: a symbolic link there is replaced by the
  // new file, and whatever it pointed to stays as it was.
  const std::string& target = name;
  const std::string temp = temporary_name(target);
  const int fd = create_temporary(temp);
  if (fd < 0) return false;
  bool ok = true;
  // A file that is replaced keeps its permissions.
  struct stat old;
  if (lstat(target.c_str(), &old) == 0 && S_ISREG(old.st_mode)) ok = fchmod(fd, old.st_mode & 07777) == 0;
  for (size_t k = 0; ok && k < count; ++k) ok = write_all(fd, parts[k]);
  if (close(fd) != 0) ok = false;
  if (ok) ok = rename(temp.c_str(), target.c_str()) == 0;
  if (!ok) unlink(temp.c_str());
  return ok;
}

}  // namespace vantu
