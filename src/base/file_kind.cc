#include "base/file_kind.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace {

FileKind kindOfMode(mode_t mode) {
  if (S_ISREG(mode)) return FileKind::kRegular;
  if (S_ISBLK(mode)) return FileKind::kBlockDevice;
  if (S_ISDIR(mode)) return FileKind::kDirectory;
  return FileKind::kOther;
}

}  // namespace

int openForReading(const std::string& path, FileKind& kind, int& err, struct stat* st) {
  kind = FileKind::kMissing;
  err = 0;
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    err = errno;
    return -1;
  }
  struct stat own;
  struct stat* s = st != nullptr ? st : &own;
  if (::fstat(fd, s) != 0) {
    err = errno;
    ::close(fd);
    return -1;
  }
  kind = kindOfMode(s->st_mode);
  // Reads of what was accepted must wait for data as usual.
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  return fd;
}

FileKind kindOf(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return FileKind::kMissing;
  return kindOfMode(st.st_mode);
}

bool sameFile(const std::string& a, const std::string& b) {
  struct stat sa, sb;
  if (::stat(a.c_str(), &sa) != 0 || ::stat(b.c_str(), &sb) != 0) return false;
  return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

const char* kindText(FileKind kind) {
  switch (kind) {
    case FileKind::kMissing:
      return "missing";
    case FileKind::kRegular:
      return "a regular file";
    case FileKind::kBlockDevice:
      return "a block device";
    case FileKind::kDirectory:
      return "a directory";
    case FileKind::kOther:
      return "neither a regular file nor a block device";
  }
  return "unknown";
}
