// Reads started ahead hand out exactly the bytes a plain read gets, and
// nothing else: a range never started, a read past the end, a read the
// device refuses or one with no free slot are left to the caller.
#include "scan/direct_read_ahead.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "page_cache.h"

namespace {

constexpr size_t kBlock = 8192;

class DirectReadAheadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // In the working directory: a disk, where /tmp may be a tmpfs.
    char name[] = "dz-read-ahead-XXXXXX";
    const int fd = mkstemp(name);
    ASSERT_GE(fd, 0);
    path_ = name;
    // Every block different, so a block handed out for another is seen.
    bytes_.resize(kBlocks * kBlock + 100);
    unsigned x = 12345;
    for (unsigned char& b : bytes_) {
      x = x * 1103515245u + 12345u;
      b = static_cast<unsigned char>(x >> 16);
    }
    ASSERT_EQ(write(fd, bytes_.data(), bytes_.size()), static_cast<ssize_t>(bytes_.size()));
    close(fd);
    fd_ = open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_DIRECT);
    if (fd_ < 0) GTEST_SKIP() << "this file system takes no direct reads";
  }
  void TearDown() override {
    if (fd_ >= 0) close(fd_);
    if (!path_.empty()) unlink(path_.c_str());
  }

  // The bytes of block i as the file holds them.
  std::vector<unsigned char> block(size_t i) const {
    return {bytes_.begin() + static_cast<long>(i * kBlock), bytes_.begin() + static_cast<long>((i + 1) * kBlock)};
  }

  static constexpr size_t kBlocks = 64;
  std::string path_;
  std::vector<unsigned char> bytes_;
  int fd_ = -1;
};

TEST_F(DirectReadAheadTest, HandsOutEachStartedBlockWhateverTheOrderTaken) {
  DirectReadAhead ahead(fd_, 8, kBlock);
  if (!ahead.usable()) GTEST_SKIP() << "no native asynchronous I/O here";
  const std::vector<size_t> started = {40, 3, 17, 63, 0, 22, 9, 51};
  for (size_t i : started) ASSERT_TRUE(ahead.start(static_cast<off_t>(i * kBlock), kBlock)) << i;
  // Every slot is taken: one more is the caller's to read.
  EXPECT_FALSE(ahead.start(static_cast<off_t>(5 * kBlock), kBlock));

  std::vector<unsigned char> buf(kBlock);
  for (size_t i : {22, 63, 3, 40, 0, 51, 9, 17}) {
    ASSERT_TRUE(ahead.take(static_cast<off_t>(i * kBlock), buf.data(), kBlock)) << i;
    EXPECT_EQ(buf, block(i)) << "block " << i;
    // Taken once only.
    EXPECT_FALSE(ahead.take(static_cast<off_t>(i * kBlock), buf.data(), kBlock)) << i;
  }
  // The slots are free again, and reused.
  for (size_t i = 0; i < 8; ++i) ASSERT_TRUE(ahead.start(static_cast<off_t>(i * kBlock), kBlock));
  for (size_t i = 8; i-- > 0;) {
    ASSERT_TRUE(ahead.take(static_cast<off_t>(i * kBlock), buf.data(), kBlock));
    EXPECT_EQ(buf, block(i));
  }
}

TEST_F(DirectReadAheadTest, LeavesToTheCallerWhatDidNotComeBackWhole) {
  DirectReadAhead ahead(fd_, 4, kBlock);
  if (!ahead.usable()) GTEST_SKIP() << "no native asynchronous I/O here";
  std::vector<unsigned char> buf(kBlock, 0xEE);
  const std::vector<unsigned char> untouched = buf;
  const off_t end = static_cast<off_t>(kBlocks * kBlock);

  // Never started.
  EXPECT_FALSE(ahead.take(0, buf.data(), kBlock));
  // The last block reaches past the end: it comes back short.
  ASSERT_TRUE(ahead.start(end, kBlock));
  // Not on a sector: the device refuses it.
  ASSERT_TRUE(ahead.start(100, kBlock));
  // Wholly past the end.
  ASSERT_TRUE(ahead.start(end + static_cast<off_t>(kBlock), kBlock));
  // Bigger than a slot: never started.
  EXPECT_FALSE(ahead.start(0, 2 * kBlock));

  EXPECT_FALSE(ahead.take(end, buf.data(), kBlock));
  EXPECT_FALSE(ahead.take(100, buf.data(), kBlock));
  EXPECT_FALSE(ahead.take(end + static_cast<off_t>(kBlock), buf.data(), kBlock));
  EXPECT_EQ(buf, untouched);

  // The slots of the failed reads are free again.
  for (size_t i = 0; i < 4; ++i) ASSERT_TRUE(ahead.start(static_cast<off_t>(i * kBlock), kBlock));
  ASSERT_TRUE(ahead.take(static_cast<off_t>(2 * kBlock), buf.data(), kBlock));
  EXPECT_EQ(buf, block(2));
  // The others are still in flight or waiting when the object ends: it
  // waits for them before freeing the slots they are read into.
}

TEST_F(DirectReadAheadTest, ReadsLeaveNothingInThePageCache) {
  ASSERT_TRUE(scantest::evict(path_));
  {
    DirectReadAhead ahead(fd_, 16, kBlock);
    if (!ahead.usable()) GTEST_SKIP() << "no native asynchronous I/O here";
    std::vector<unsigned char> buf(kBlock);
    for (size_t i = 0; i < kBlocks; i += 16) {
      for (size_t j = i; j < i + 16; ++j) ASSERT_TRUE(ahead.start(static_cast<off_t>(j * kBlock), kBlock));
      for (size_t j = i; j < i + 16; ++j) ASSERT_TRUE(ahead.take(static_cast<off_t>(j * kBlock), buf.data(), kBlock));
    }
  }
  EXPECT_EQ(scantest::residentCount(path_), 0u);
}

TEST(DirectReadAhead, WithoutADescriptorNothingStarts) {
  DirectReadAhead ahead(-1, 4, kBlock);
  EXPECT_FALSE(ahead.usable());
  EXPECT_FALSE(ahead.start(0, kBlock));
  std::vector<unsigned char> buf(kBlock);
  EXPECT_FALSE(ahead.take(0, buf.data(), kBlock));
}

}  // namespace
