// What a name refers to, found out without blocking: opening a FIFO for
// reading waits for a writer, so names are opened non-blocking and judged
// by fstat before anything reads them.
#ifndef DEZEVAZIR_BASE_FILE_KIND_H_
#define DEZEVAZIR_BASE_FILE_KIND_H_

#include <sys/stat.h>

#include <string>

enum class FileKind { kMissing, kRegular, kBlockDevice, kDirectory, kOther };

// Opens path read-only without waiting on a FIFO, and tells what it is.
// Returns the descriptor (blocking mode restored) or -1 with errno in err;
// st is filled when the open succeeded.
int openForReading(const std::string& path, FileKind& kind, int& err, struct stat* st = nullptr);

// The kind of path by stat (symbolic links followed); kMissing when it
// does not exist or cannot be looked at.
FileKind kindOf(const std::string& path);

// True when a and b name the same file (same device and inode). False when
// either cannot be looked at.
bool sameFile(const std::string& a, const std::string& b);

// "a regular file", "a directory", ... for messages.
const char* kindText(FileKind kind);

#endif  // DEZEVAZIR_BASE_FILE_KIND_H_
