// The room a run's saves need, worked out before it reads: on which file
// systems, and how much.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "runcontrol/output_guard.h"

namespace {

// File systems by the directory a name is in; free bytes in 4 KiB blocks.
SpaceQuery fakeSpace(std::map<std::string, FileSystemSpace> byDir) {
  return [byDir](const std::string& name) {
    const std::string dir = name.substr(0, name.rfind('/'));
    const auto it = byDir.find(dir);
    return it == byDir.end() ? FileSystemSpace() : it->second;
  };
}

FileSystemSpace fs(uint64_t id, uint64_t freeBytes) {
  FileSystemSpace s;
  s.known = true;
  s.id = id;
  s.freeBytes = freeBytes;
  s.blockBytes = 4096;
  return s;
}

TEST(RoomShortage, NeedsOfTheSavesOnEachFileSystem) {
  // A file of 5000 bytes takes two blocks; a scan keeps a recovery file and
  // writes the next one (or the sketch file) beside it: four blocks.
  const struct {
    const char* what;
    std::string sketch, recovery;
    uint64_t recoveryNow;
    std::map<std::string, FileSystemSpace> space;
    std::string shortage;
  } cases[] = {
      {"scan, one file system, room for both", "d/q.dat", "d/q.rdb", 0, {{"d", fs(1, 16384)}}, ""},
      {"scan, one file system, room for one", "d/q.dat", "d/q.rdb", 0, {{"d", fs(1, 16383)}},
       "d/q.dat: No space left on device: its file system has 16383 bytes free, the saves of this run need up to "
       "16384"},
      {"resumed scan: the recovery file takes its room already", "d/q.dat", "d/q.rdb", 8192,
       {{"d", fs(1, 8192)}}, ""},
      {"recovery file elsewhere, room for one there", "d/q.dat", "e/q.rdb", 0,
       {{"d", fs(1, 1 << 20)}, {"e", fs(2, 8192)}},
       "e/q.rdb: No space left on device: its file system has 8192 bytes free, the saves of this run need up to "
       "16384"},
      {"recovery file elsewhere, no room for the sketch file", "d/q.dat", "e/q.rdb", 0,
       {{"d", fs(1, 4096)}, {"e", fs(2, 1 << 20)}},
       "d/q.dat: No space left on device: its file system has 4096 bytes free, the saves of this run need up to "
       "8192"},
      {"no recovery file (partial scan): one file", "d/p.dat", "", 0, {{"d", fs(1, 8192)}}, ""},
      {"file system that cannot be asked", "d/q.dat", "d/q.rdb", 0, {}, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(roomShortage(c.sketch, c.recovery, 5000, c.recoveryNow, fakeSpace(c.space)), c.shortage);
  }
}

}  // namespace
