#include "base/run_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

namespace {

// The held lock file's name in a fixed buffer: a signal handler may read
// it, not allocate.
char heldPath[4096];
volatile sig_atomic_t heldPathSet = 0;

void registerHeld(const std::string& path) {
  static bool atExitSet = false;
  if (!atExitSet) {
    // Ends through std::exit leave no lock file behind either.
    std::atexit(removeHeldRunLockFile);
    atExitSet = true;
  }
  heldPathSet = 0;
  if (path.size() >= sizeof heldPath) return;
  std::memcpy(heldPath, path.c_str(), path.size() + 1);
  heldPathSet = 1;
}

// What a file system without locks answers.
bool noLocking(int err) { return err == ENOLCK || err == EOPNOTSUPP || err == ENOSYS || err == EINVAL; }

bool tryLock(int fd, int& err) {
  for (;;) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
    if (errno != EINTR) {
      err = errno;
      return false;
    }
  }
}

// A lock file removed (and perhaps made anew) by its last holder between
// our open and our flock is not the one under the name any more.
bool stillNamed(int fd, const std::string& path) {
  struct stat held, named;
  return ::fstat(fd, &held) == 0 && ::stat(path.c_str(), &named) == 0 && held.st_dev == named.st_dev &&
         held.st_ino == named.st_ino;
}

}  // namespace

RunLock::Result RunLock::acquire(const std::string& lockPath, const std::vector<std::string>& alsoLocked,
                                 int& err) {
  release();
  err = 0;
  // Each retry follows a holder that ended and removed its file; that
  // happens at most once per competing run.
  for (int attempt = 0; fd_ < 0; ++attempt) {
    const int fd = ::open(lockPath.c_str(), O_RDONLY | O_CREAT | O_NOCTTY | O_CLOEXEC, 0666);
    if (fd < 0) {
      err = errno;
      return Result::kCannotCreate;
    }
    int lockErr = 0;
    if (!tryLock(fd, lockErr)) {
      if (noLocking(lockErr)) {
        fd_ = fd;
        path_ = lockPath;
        registerHeld(path_);
        err = lockErr;
        return Result::kUnlocked;
      }
      ::close(fd);
      if (lockErr == EWOULDBLOCK) return Result::kInUse;
      err = lockErr;
      return Result::kCannotCreate;
    }
    if (stillNamed(fd, lockPath)) {
      fd_ = fd;
    } else {
      ::close(fd);
      if (attempt == 100) return Result::kInUse;
    }
  }
  path_ = lockPath;
  registerHeld(path_);

  for (const std::string& name : alsoLocked) {
    // Non-blocking: the caller has refused names that are no regular file,
    // but the name may have changed since.
    const int fd = ::open(name.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) continue;  // nothing there to hold
    others_.push_back(fd);
    int lockErr = 0;
    if (!tryLock(fd, lockErr) && lockErr == EWOULDBLOCK) {
      release();
      return Result::kInUse;
    }
  }
  return Result::kHeld;
}

void RunLock::release() {
  for (int fd : others_) ::close(fd);
  others_.clear();
  if (fd_ < 0) return;
  heldPathSet = 0;
  // Removed while still locked: a run that opened the old file before this
  // sees that it is no longer the one named, and takes a new one.
  ::unlink(path_.c_str());
  ::close(fd_);
  fd_ = -1;
  path_.clear();
}

void removeHeldRunLockFile() {
  if (heldPathSet) ::unlink(heldPath);
  heldPathSet = 0;
}
