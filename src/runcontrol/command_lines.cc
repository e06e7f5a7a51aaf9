#include "runcontrol/command_lines.h"

#include <unistd.h>

#include <boost/program_options/parsers.hpp>
#include <cerrno>
#include <cstring>
#include <iostream>

#include "base/file_kind.h"

namespace {

// The lines of a batch file read through fd. A line longer than
// kBatchLineMax keeps only its first kBatchLineMax + 1 characters, enough
// for the driver to refuse it; the rest is read past, not stored.
std::vector<std::string> readLines(int fd, const std::string& name, bool& failed) {
  std::vector<std::string> lines;
  std::string line;
  bool any = false;
  char buf[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      std::cerr << "Cannot read batch file " << name << ": " << std::strerror(errno) << std::endl;
      failed = true;
      break;
    }
    if (n == 0) break;
    for (ssize_t i = 0; i < n; ++i) {
      if (buf[i] == '\n') {
        lines.push_back(std::move(line));
        line.clear();
        any = false;
        continue;
      }
      any = true;
      if (line.size() <= kBatchLineMax) line.push_back(buf[i]);
    }
  }
  if (any) lines.push_back(std::move(line));
  return lines;
}

}  // namespace

std::vector<std::string> buildCommandLines(int argc, char** argv, const std::string& batchfile,
                                           bool* unreadable) {
  bool failed = false;
  if (unreadable == nullptr) unreadable = &failed;
  if (!batchfile.empty()) {
    FileKind kind = FileKind::kMissing;
    int err = 0;
    const int fd = openForReading(batchfile, kind, err);
    if (fd < 0) {
      std::cerr << "Cannot open batch file " << batchfile << ": " << std::strerror(err) << std::endl;
      *unreadable = true;
      return {};
    }
    // A device or FIFO could block or never end.
    if (kind != FileKind::kRegular) {
      ::close(fd);
      std::cerr << "Cannot use batch file " << batchfile << ": it is " << kindText(kind) << std::endl;
      *unreadable = true;
      return {};
    }
    std::vector<std::string> lines = readLines(fd, batchfile, *unreadable);
    ::close(fd);
    return lines;
  }
  std::string line;
  for (int i = 1; i < argc; ++i) {
    line += argv[i];
    line += ' ';
  }
  std::vector<std::string> lines;
  lines.push_back(line);
  return lines;
}

bool isSkippedLine(const std::string& line) {
  return line.find_first_not_of(" \t\n\v\f\r") == std::string::npos || line[0] == '#';
}

std::vector<std::string> splitCommandLine(const std::string& line) {
  return boost::program_options::split_unix(line, " \t\r", "'\"", "\\");
}
