// The page-cache state of test files: dropping and loading their pages,
// which of them are resident, and whether their file system takes direct
// reads.
#ifndef DEZEVAZIR_TESTS_SCAN_PAGE_CACHE_H_
#define DEZEVAZIR_TESTS_SCAN_PAGE_CACHE_H_

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

namespace scantest {

// One entry per page of the file: true when the page is in the cache.
inline std::vector<bool> residency(const std::string& path) {
  std::vector<bool> pages;
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0 || st.st_size == 0) {
    if (fd >= 0) close(fd);
    return pages;
  }
  const size_t size = static_cast<size_t>(st.st_size);
  void* m = mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
  close(fd);
  if (m == MAP_FAILED) return pages;
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  std::vector<unsigned char> v((size + page - 1) / page);
  if (mincore(m, size, v.data()) == 0) {
    for (unsigned char b : v) pages.push_back((b & 1) != 0);
  }
  munmap(m, size);
  return pages;
}

inline size_t residentCount(const std::string& path) {
  size_t n = 0;
  for (bool r : residency(path)) n += r ? 1 : 0;
  return n;
}

// Writes the file back and drops its pages. False when some stay.
inline bool evict(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  fdatasync(fd);
  posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
  close(fd);
  return residentCount(path) == 0;
}

// Reads [from, to) of the file through the cache, and no page beyond; or,
// with readAhead, as a sequential reader does: the kernel reads ahead
// beyond `to` and marks a page of what it read ahead, to read further when
// that page is read.
inline void loadPages(const std::string& path, off_t from, off_t to, bool readAhead = false) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  if (!readAhead) posix_fadvise(fd, 0, 0, POSIX_FADV_RANDOM);
  std::vector<char> buf(1 << 16);
  for (off_t at = from; at < to;) {
    const ssize_t n = pread(fd, buf.data(), std::min<size_t>(buf.size(), static_cast<size_t>(to - at)), at);
    if (n <= 0) break;
    at += n;
  }
  close(fd);
}

// Waits until no read-ahead is in flight: the residency stops changing.
inline void settle(const std::string& path) {
  size_t last = residentCount(path);
  for (int i = 0; i < 100; ++i) {
    usleep(20000);
    const size_t now = residentCount(path);
    if (now == last) return;
    last = now;
  }
}

// True when the file's file system takes a direct read of its first 4096
// bytes.
inline bool takesDirectReads(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_DIRECT);
  if (fd < 0) return false;
  void* buf = std::aligned_alloc(4096, 4096);
  const bool ok = pread(fd, buf, 4096, 0) >= 0;
  std::free(buf);
  close(fd);
  return ok;
}

}  // namespace scantest

#endif  // DEZEVAZIR_TESTS_SCAN_PAGE_CACHE_H_
