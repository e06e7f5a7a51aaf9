// Keeps two runs off one sketch name. Two runs that write the same sketch,
// recovery and temporary files would take each other's temporaries and
// leave one's result under the other's name. A run holds an exclusive
// flock on a lock file beside its recovery file from before it reads
// anything until it ends, and the lock file goes with it. The kernel drops
// a dead process's flock, so a lock file left behind by a crash never
// blocks the next run.
#ifndef DEZEVAZIR_BASE_RUN_LOCK_H_
#define DEZEVAZIR_BASE_RUN_LOCK_H_

#include <string>
#include <vector>

class RunLock {
 public:
  // kUnlocked: the file system takes no locks; the lock file is there and
  // goes at the end as usual, but another run would not be noticed.
  enum class Result { kHeld, kUnlocked, kInUse, kCannotCreate };

  RunLock() = default;
  ~RunLock() { release(); }
  RunLock(const RunLock&) = delete;
  RunLock& operator=(const RunLock&) = delete;

  // Takes the lock file lockPath (creating it), then an exclusive lock on
  // each of alsoLocked that exists: a file another process holds a flock on
  // is in use by it. Never waits. kCannotCreate: the lock file could not be
  // made (errno in err). On anything but kHeld nothing stays held.
  Result acquire(const std::string& lockPath, const std::vector<std::string>& alsoLocked, int& err);

  // Removes the lock file and drops every lock; also done on destruction.
  void release();

 private:
  std::string path_;
  int fd_ = -1;
  std::vector<int> others_;
};

// Removes the lock file of the lock held in this process, if any. For the
// ways the process ends without destructors (_exit, a signal's default
// action); async-signal-safe.
void removeHeldRunLockFile();

#endif  // DEZEVAZIR_BASE_RUN_LOCK_H_
