#include "scan/direct_read_ahead.h"

#include <linux/aio_abi.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "base/kernel_features.h"

namespace {

// glibc has no wrappers for the native AIO calls.
long ioSetup(unsigned events, aio_context_t* ctx) {
  if (kernelFeatureWithheld(KernelFeature::kNativeAio)) {
    errno = ENOSYS;
    return -1;
  }
  return syscall(SYS_io_setup, events, ctx);
}
long ioDestroy(aio_context_t ctx) { return syscall(SYS_io_destroy, ctx); }
long ioSubmit(aio_context_t ctx, long n, iocb** list) { return syscall(SYS_io_submit, ctx, n, list); }
long ioGetEvents(aio_context_t ctx, long minNr, long maxNr, io_event* events) {
  return syscall(SYS_io_getevents, ctx, minNr, maxNr, events, nullptr);
}

}  // namespace

DirectReadAhead::DirectReadAhead(int fd, size_t slots, size_t slotBytes)
    : fd_(fd), slotBytes_(slotBytes), slots_(slots) {
  if (fd < 0 || slots == 0 || slotBytes == 0) return;
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  slotBytes_ = (slotBytes + page - 1) / page * page;
  buffers_ = static_cast<unsigned char*>(std::aligned_alloc(page, slotBytes_ * slots));
  if (buffers_ == nullptr) return;
  aio_context_t ctx = 0;
  // Refused where the kernel lacks native AIO or the system's limit of
  // events is used up: reads are then synchronous, as without this object.
  if (ioSetup(static_cast<unsigned>(slots), &ctx) == 0) context_ = ctx;
}

DirectReadAhead::~DirectReadAhead() {
  // Waits for the reads in flight: they still write into the slots.
  while (inFlight_ > 0 && waitForOne()) {
  }
  if (context_ != 0) ioDestroy(context_);
  std::free(buffers_);
}

bool DirectReadAhead::start(off_t offset, size_t count) {
  if (context_ == 0 || count > slotBytes_) return false;
  for (Slot& s : slots_) {
    if (s.state != State::kFree) continue;
    s.offset = offset;
    s.count = count;
    s.state = State::kQueued;
    return true;
  }
  return false;
}

// All the queued reads go in one call: one system call for a worker's batch.
void DirectReadAhead::submitQueued() {
  std::vector<iocb> cbs;
  std::vector<iocb*> list;
  cbs.reserve(slots_.size());
  for (size_t i = 0; i < slots_.size(); ++i) {
    Slot& s = slots_[i];
    if (s.state != State::kQueued) continue;
    iocb cb;
    std::memset(&cb, 0, sizeof cb);
    cb.aio_data = i;
    cb.aio_lio_opcode = IOCB_CMD_PREAD;
    cb.aio_fildes = static_cast<uint32_t>(fd_);
    cb.aio_buf = reinterpret_cast<uint64_t>(buffers_ + i * slotBytes_);
    cb.aio_nbytes = s.count;
    cb.aio_offset = s.offset;
    cbs.push_back(cb);
  }
  for (iocb& cb : cbs) list.push_back(&cb);
  size_t sent = 0;
  while (sent < list.size()) {
    const long n = ioSubmit(context_, static_cast<long>(list.size() - sent), list.data() + sent);
    if (n <= 0) {
      if (n < 0 && errno == EINTR) continue;
      break;
    }
    for (long k = 0; k < n; ++k) slots_[list[sent + static_cast<size_t>(k)]->aio_data].state = State::kInFlight;
    inFlight_ += static_cast<size_t>(n);
    sent += static_cast<size_t>(n);
  }
  // Reads the kernel would not take are the caller's to read.
  for (Slot& s : slots_) {
    if (s.state == State::kQueued) s.state = State::kFree;
  }
}

bool DirectReadAhead::waitForOne() {
  io_event events[16];
  const long max = static_cast<long>(std::min<size_t>(inFlight_, sizeof events / sizeof events[0]));
  long n = ioGetEvents(context_, 1, max, events);
  while (n < 0 && errno == EINTR) n = ioGetEvents(context_, 1, max, events);
  if (n <= 0) return false;
  for (long k = 0; k < n; ++k) {
    Slot& s = slots_[events[k].data];
    s.result = events[k].res;
    s.state = State::kDone;
    --inFlight_;
  }
  return true;
}

bool DirectReadAhead::take(off_t offset, unsigned char* buf, size_t count) {
  if (context_ == 0) return false;
  Slot* slot = nullptr;
  for (Slot& s : slots_) {
    if (s.state != State::kFree && s.offset == offset && s.count == count) {
      slot = &s;
      break;
    }
  }
  if (slot == nullptr) return false;
  if (slot->state == State::kQueued) submitQueued();
  while (slot->state == State::kInFlight) {
    if (!waitForOne()) {
      // The kernel lost track of it: nothing more to be had from this context.
      return false;
    }
  }
  if (slot->state != State::kDone) return false;
  const bool whole = slot->result == static_cast<int64_t>(count);
  if (whole) std::memcpy(buf, buffers_ + static_cast<size_t>(slot - slots_.data()) * slotBytes_, count);
  slot->state = State::kFree;
  return whole;
}
