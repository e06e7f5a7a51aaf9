// Several direct reads of one descriptor in flight at once, for a worker
// that knows the next few blocks it will read but reads them one at a time.
#ifndef DZ_SCAN_DIRECT_READ_AHEAD_H_
#define DZ_SCAN_DIRECT_READ_AHEAD_H_

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <vector>

// Reads started together with Linux native asynchronous I/O on a descriptor
// opened with O_DIRECT, each into a page-aligned slot of its own, and taken
// one at a time. Nothing passes through the page cache. Only a read that
// came back whole is handed out: anything else (no slot, a failed or short
// read, a kernel without native AIO) is for the caller to read itself, so
// errors and the end of the source are judged in one place.
class DirectReadAhead {
 public:
  // `fd` stays open and owned by the caller for this object's life.
  DirectReadAhead(int fd, size_t slots, size_t slotBytes);
  ~DirectReadAhead();  // waits for the reads still in flight
  DirectReadAhead(const DirectReadAhead&) = delete;
  DirectReadAhead& operator=(const DirectReadAhead&) = delete;

  // Whether reads can be started at all.
  bool usable() const { return context_ != 0; }

  // Queues a read of `count` bytes at `offset`; it is submitted with the
  // others queued by the next take(). False when no slot is free or the
  // range does not fit one (the caller then reads it itself).
  bool start(off_t offset, size_t count);

  // Copies the read started at `offset` into `buf` once it is in. False
  // when none was started there, or it failed or came back short.
  bool take(off_t offset, unsigned char* buf, size_t count);

 private:
  enum class State : uint8_t { kFree, kQueued, kInFlight, kDone };
  struct Slot {
    off_t offset = 0;
    size_t count = 0;
    State state = State::kFree;
    int64_t result = 0;
  };

  void submitQueued();
  bool waitForOne();

  int fd_;
  size_t slotBytes_;
  unsigned long context_ = 0;  // aio_context_t
  unsigned char* buffers_ = nullptr;
  std::vector<Slot> slots_;
  size_t inFlight_ = 0;
};

#endif  // DZ_SCAN_DIRECT_READ_AHEAD_H_
