// Whether an output file can be made where it goes, asked before a run
// reads anything: a save that fails at the end of a scan of hours loses all
// of them.
#ifndef DEZEVAZIR_BASE_OUTPUT_PROBE_H_
#define DEZEVAZIR_BASE_OUTPUT_PROBE_H_

#include <cstdint>
#include <string>

// 0 when a file of this name can be written, else the errno that says why
// not (no such directory, permission, read-only or inode-less file system).
// A name that exists is opened for writing and left as it was; one that
// does not is created and removed again.
int probeWritable(const std::string& name);

// The space left for this process on the file system that holds (or would
// hold) name: the directory of name is asked.
struct FileSystemSpace {
  bool known = false;    // false when the file system could not be asked
  uint64_t id = 0;       // tells file systems apart
  uint64_t freeBytes = 0;
  uint64_t blockBytes = 1;  // a file takes whole blocks of this size
};
FileSystemSpace spaceFor(const std::string& name);

#endif  // DEZEVAZIR_BASE_OUTPUT_PROBE_H_
