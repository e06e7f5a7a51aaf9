#include "base/output_probe.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>

namespace {

std::string directoryOf(const std::string& name) {
  const std::size_t slash = name.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : name.substr(0, slash);
}

}  // namespace

int probeWritable(const std::string& name) {
  // Non-blocking, so that a FIFO under the name cannot stall the run.
  const int flags = O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
  int fd = ::open(name.c_str(), flags);
  if (fd >= 0) {
    ::close(fd);
    return 0;
  }
  if (errno != ENOENT) return errno;
  fd = ::open(name.c_str(), flags | O_CREAT | O_EXCL, 0666);
  if (fd < 0) return errno == EEXIST ? 0 : errno;  // made by someone else meanwhile: creatable
  ::close(fd);
  ::unlink(name.c_str());
  return 0;
}

FileSystemSpace spaceFor(const std::string& name) {
  FileSystemSpace space;
  const std::string dir = directoryOf(name);
  struct statvfs vfs;
  struct stat st;
  if (::statvfs(dir.c_str(), &vfs) != 0 || ::stat(dir.c_str(), &st) != 0) return space;
  space.known = true;
  space.id = static_cast<uint64_t>(st.st_dev);
  space.blockBytes = vfs.f_frsize > 0 ? vfs.f_frsize : (vfs.f_bsize > 0 ? vfs.f_bsize : 1);
  // The superuser may also fill the blocks reserved for it.
  const uint64_t blocks = ::geteuid() == 0 ? vfs.f_bfree : vfs.f_bavail;
  space.freeBytes = blocks * space.blockBytes;
  return space;
}
