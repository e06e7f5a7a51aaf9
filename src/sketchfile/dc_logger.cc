#include "sketchfile/dc_logger.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <iterator>
#include <sstream>

#include "base/exit_status.h"
#include "base/file_kind.h"
#include "base/run_failure.h"
#include "base/interrupt.h"
#include "base/run_globals.h"
#include "sketch/counts.h"
#include "sketchfile/bounded_line.h"
#include "sketchfile/sketch_format.h"
#include "sketchfile/text_number.h"

std::vector<std::string> DCLogger::vecLogFieldNames_;

namespace {

constexpr std::size_t kHeaderLineMax = 127;
constexpr std::size_t kFieldLineMax = 2047;
constexpr int kFieldLines = sketchformat::kFieldCount;
// The build a file names is the program's own.
static_assert(sketchformat::kBuildNumber == kBuildNumber, "one build number");
constexpr uint64_t kHeaderAndFieldLines = 1 + kFieldLines;

using sketchformat::kAverageRatio;
using sketchformat::kBigZero;
using sketchformat::kBuild;
using sketchformat::kNotZero;
using sketchformat::kPotentialUnique;
using sketchformat::kSketchSize;
using sketchformat::kSmallZero;
using sketchformat::kSourceNames;
using sketchformat::kThreadPositions;
using sketchformat::kUniqueAfterSplit;

uint64_t blockSizeBytes() {
  return myGlobals.blockSize > 0 ? static_cast<uint64_t>(myGlobals.blockSize) : 1;
}

std::string trimSpaces(const std::string& s) {
  const std::size_t b = s.find_first_not_of(' ');
  if (b == std::string::npos) return std::string();
  const std::size_t e = s.find_last_not_of(' ');
  return s.substr(b, e - b + 1);
}

std::vector<std::string> splitAtSpaces(const std::string& s) {
  std::vector<std::string> pieces;
  if (s.empty()) return pieces;
  std::size_t from = 0;
  for (;;) {
    const std::size_t sp = s.find(' ', from);
    pieces.push_back(s.substr(from, sp == std::string::npos ? std::string::npos : sp - from));
    if (sp == std::string::npos) break;
    from = sp + 1;
  }
  return pieces;
}

constexpr int kScanStateWords = static_cast<int>(std::size(sketchformat::kScanStateKeys));

std::string scanStateText(const ScanState& st) {
  const uint64_t values[] = {st.sourceSize, st.segmentSize, st.blockSize, st.randomBytes,
                             st.altHash,    st.storagever,  st.unreadable};
  static_assert(std::size(values) == std::size(sketchformat::kScanStateKeys), "one value per key");
  std::string text;
  for (int i = 0; i < kScanStateWords; ++i) {
    if (i > 0) text += ' ';
    text += std::string(sketchformat::kScanStateKeys[i]) + '=' + std::to_string(values[i]);
  }
  return text;
}

// Every key once, in order, each with an unsigned decimal value.
bool parseScanState(const std::string& text, ScanState& st) {
  uint64_t* values[] = {&st.sourceSize, &st.segmentSize, &st.blockSize, &st.randomBytes,
                        &st.altHash,    &st.storagever,  &st.unreadable};
  const std::vector<std::string> words = splitAtSpaces(text);
  if (words.size() != static_cast<std::size_t>(kScanStateWords)) return false;
  for (int i = 0; i < kScanStateWords; ++i) {
    const std::string key = std::string(sketchformat::kScanStateKeys[i]) + '=';
    if (words[i].compare(0, key.size(), key) != 0) return false;
    if (!parseDecimalU64(std::string_view(words[i]).substr(key.size()), *values[i])) return false;
  }
  return true;
}

bool writeAll(int fd, const std::string& data) {
  const char* p = data.data();
  std::size_t left = data.size();
  while (left > 0) {
    const ssize_t n = ::write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += n;
    left -= static_cast<std::size_t>(n);
  }
  return true;
}

// Makes the rename itself durable. Some file systems refuse fsync on a
// directory; the data is then as safe as that file system allows.
void syncDirectoryOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

void reportWriteFailure(const std::string& target, int err) {
  std::cout << "\n\tFailure while writing " << target << " : " << std::strerror(err) << std::endl;
}

std::string failureText(const std::string& target, int err) { return target + ": " + std::strerror(err); }

}  // namespace

DCLogger::DCLogger(const std::string& name, SketchReadMode mode)
    : sketchFileName(name), threadPositions(myGlobals.threads, 0), readMode(mode) {
  initLogFieldNames();
  initRecDBFileName();
}

void DCLogger::initLogFieldNames() {
  if (!vecLogFieldNames_.empty()) return;
  vecLogFieldNames_.assign(std::begin(sketchformat::kLabels), std::end(sketchformat::kLabels));
}

void DCLogger::initRecDBFileName() {
  const std::size_t dot = sketchFileName.rfind('.');
  recoveryFileName = (dot == std::string::npos ? sketchFileName : sketchFileName.substr(0, dot)) + ".rdb";
}

bool DCLogger::decideInputFileName(std::string& out) {
  // By stat, not by opening: an open of a FIFO would wait for a writer.
  for (const std::string* name : {&sketchFileName, &recoveryFileName}) {
    if (kindOf(*name) != FileKind::kMissing) {
      out = *name;
      return true;
    }
  }
  return false;
}

bool DCLogger::initInputFile() {
  std::string name;
  if (!decideInputFileName(name)) {
    // Nothing to resume from: until the scan completes, save recovery state.
    saveToSketchName = false;
    return false;
  }
  inputFileName_ = name;
  if (inputStream.is_open()) inputStream.close();
  inputStream.clear();
  // Only a regular file can be a sketch file; a device or FIFO could block
  // or never end.
  if (kindOf(name) != FileKind::kRegular) {
    reportUnusable(name, "Not a regular file");
    valid = false;
    return false;
  }
  inputStream.open(name, std::ios::in | std::ios::binary);
  if (!inputStream.is_open()) {
    // A load has nothing else to say: the message and its reason are all
    // the user gets, and belong on standard error.
    if (readMode == SketchReadMode::kLoad) {
      std::cerr << "Unable to access " << name << " for reading: " << std::strerror(errno) << std::endl;
    } else {
      std::cout << "\nUnable to access " << name << " for reading" << std::endl;
    }
    valid = false;
    return false;
  }
  return checkHeader();
}

bool DCLogger::checkHeader() {
  std::string line;
  const LineRead got = readBoundedLine(inputStream, kHeaderLineMax, line);
  if (got == LineRead::kError) {
    reportUnusable(inputFileName_, "Read error");
    valid = false;
    inputStream.close();
    return false;
  }
  // The title and one kind word, as the writer puts them; anything else is
  // not a file of ours (or one whose kind cannot be trusted).
  const std::string title = std::string(sketchformat::kTitle) + ' ';
  std::string word;
  if (got == LineRead::kOk && line.compare(0, title.size(), title) == 0) word = line.substr(title.size());
  if (word != sketchformat::kFullScan && word != sketchformat::kPartialScan && word != sketchformat::kMerge) {
    if (readMode == SketchReadMode::kLoad) {
      std::cerr << "Corrupted header at " << inputFileName_ << ": not a sketch file" << std::endl;
    } else {
      std::cout << "\nCorrupted header at " << inputFileName_ << std::endl;
    }
    valid = false;
    inputStream.close();
    return false;
  }
  kind = word;
  return true;
}

bool DCLogger::loadPrologue() {
  if (!initInputFile()) return false;

  // Values are gathered first and taken over only once the whole prologue
  // proved usable, so a rejected file leaves the record as it was.
  std::string names;
  uint64_t numbers[kUniqueAfterSplit + 1] = {};
  float ratio = 0.0f;
  std::string positionsText;
  int build = 0;
  bool cut = false;
  bool unreadable = false;
  const char* damaged = nullptr;

  // Every line carries one of the labels, each label once (in any order):
  // a line under no label, or a label given twice, would leave a field at a
  // default the scan never wrote.
  bool seen[kFieldLines] = {};
  // A recovery file may carry one more line, the scan state.
  bool stateSeen = false;
  ScanState state;
  const std::string stateLabel = sketchformat::kScanStateLabel;
  std::string line;
  for (int i = 0; i < kFieldLines + (stateSeen ? 1 : 0) && damaged == nullptr; ++i) {
    const LineRead got = readBoundedLine(inputStream, kFieldLineMax, line);
    if (got == LineRead::kError) {
      unreadable = true;
      break;
    }
    if (got != LineRead::kOk) {
      // Cut short, or a line far longer than any the program writes.
      cut = true;
      break;
    }
    if (line.compare(0, stateLabel.size(), stateLabel) == 0) {
      if (stateSeen || !parseScanState(line.substr(stateLabel.size()), state)) {
        damaged = sketchformat::kScanStateLabel;
        break;
      }
      stateSeen = true;
      continue;
    }
    int field = -1;
    for (int f = 0; f < kFieldLines && field < 0; ++f) {
      if (line.compare(0, vecLogFieldNames_[f].size(), vecLogFieldNames_[f]) == 0) field = f;
    }
    if (field < 0 || seen[field]) {
      // Blamed on the label that is missing (or the one given twice); a
      // foreign line in place of the build line reads as another build.
      int missing = field;
      for (int f = 0; f < kFieldLines && missing < 0; ++f) {
        if (!seen[f]) missing = f;
      }
      if (missing == kBuild) {
        cut = true;
        break;
      }
      damaged = vecLogFieldNames_[missing].c_str();
      break;
    }
    seen[field] = true;
    const std::string& label = vecLogFieldNames_[field];
    const std::string value = line.substr(label.size());

    bool ok = true;
    switch (field) {
      case kSourceNames:
        names = value;
        break;
      case kAverageRatio: {
        // As the writer prints it: a block's ratio, or -1 for none.
        const std::string text = trimSpaces(value);
        double r = 0.0;
        ok = isWrittenRatio(text) && parseFiniteDouble(text, r);
        if (ok) ratio = static_cast<float>(r);
        break;
      }
      case kThreadPositions:
        positionsText = value;
        break;
      case kBuild:
        ok = parseDecimalInt(trimSpaces(value), build);
        break;
      default:
        ok = parseDecimalU64(trimSpaces(value), numbers[field]);
        break;
    }
    if (!ok) damaged = label.c_str();
  }

  if (unreadable) {
    reportUnusable(inputFileName_, "Read error");
    valid = false;
    inputStream.close();
    return false;
  }
  if (damaged != nullptr) {
    reportUnusable(sketchFileName, (std::string("Damaged line: ") + damaged).c_str());
    inputStream.close();
    return false;
  }
  // A truncated prologue leaves no usable build line.
  if (cut || build != sketchformat::kBuildNumber) {
    reportUnusable(sketchFileName, "Build mismatch");
    inputStream.close();
    return false;
  }
  // A source's blocks, counted in bytes, fit in 64 bits, and a partial scan
  // keeps no entries. Counters beyond that were never written by a scan and
  // would overflow every figure made of them.
  const uint64_t maxBlocks = UINT64_MAX / blockSizeBytes();
  const uint64_t small = numbers[kSmallZero], big = numbers[kBigZero], notZero = numbers[kNotZero];
  if (small > maxBlocks || big > maxBlocks - small || notZero > maxBlocks - small - big) {
    reportUnusable(sketchFileName, "Block counters out of range");
    inputStream.close();
    return false;
  }
  // A recovery file's counters lie within the source size it records.
  if (stateSeen && blockSizeBytes() == state.blockSize &&
      (state.unreadable > maxBlocks - small - big - notZero ||
       small + big + notZero + state.unreadable > state.sourceSize / state.blockSize)) {
    reportUnusable(sketchFileName, "Block counters out of range");
    inputStream.close();
    return false;
  }
  const uint64_t entries = numbers[kSketchSize];
  // Every entry is a not-zero block seen.
  if (entries > notZero) {
    reportUnusable(sketchFileName, "More entries than not-zero blocks");
    inputStream.close();
    return false;
  }
  if (kind == sketchformat::kPartialScan && entries != 0) {
    reportUnusable(sketchFileName, ("Damaged line: " + vecLogFieldNames_[kSketchSize]).c_str());
    inputStream.close();
    return false;
  }

  // Positions only matter to a scan that resumes; a merge or a load of a
  // file from another thread count is fine.
  std::vector<uint64_t> positions;
  const bool restorePositions = readMode == SketchReadMode::kFullScan || readMode == SketchReadMode::kPartialScan;
  if (restorePositions) {
    const std::vector<std::string> pieces = splitAtSpaces(positionsText);
    if (pieces.size() != myGlobals.threads) {
      inputStream.close();
      throw RunFailure(kExitThreadsMismatch, "Original run was using " + std::to_string(pieces.size()) +
                                                 " threads, Please use the same");
    }
    const uint64_t bs = blockSizeBytes();
    for (const std::string& piece : pieces) {
      uint64_t block = 0;
      if (!parseDecimalU64(piece, block) || block > UINT64_MAX / bs) {
        reportUnusable(sketchFileName, ("Damaged line: " + vecLogFieldNames_[kThreadPositions]).c_str());
        inputStream.close();
        return false;
      }
      positions.push_back(block * bs);
    }
  }

  fileSourceNames = names;
  sketchSize = numbers[kSketchSize];
  smallZeroBlocks = small;
  bigZeroBlocks = big;
  notZeroBlocks = notZero;
  potentialUniqueEstimation = numbers[kPotentialUnique];
  uniqueEstimationAfterSplit = numbers[kUniqueAfterSplit];
  averageCompressionRatio = ratio;
  if (restorePositions) threadPositions = positions;
  buildNumber = build;
  hasScanState = stateSeen;
  scanState = state;
  unreadableBlocks = stateSeen ? state.unreadable : 0;
  return true;
}

bool DCLogger::isConsistent(const DCKHeap& sketch) const {
  if (readMode == SketchReadMode::kLoad) return true;
  return fileSourceNames == sourceNames && sketchSize <= sketch.getCapacity();
}

namespace {

// Whether a sketch read back from a file that was written before it filled
// can go on as this run's sketch of capacity K. A full sketch of a smaller
// capacity looks like a not yet full one of a larger capacity; the counters
// tell them apart: every sighting of a not-zero block is in some entry's
// counter unless its fingerprint was dropped or evicted, so they add up to
// the not-zero blocks exactly when the sketch never dropped one. Such a
// sketch holds every distinct fingerprint seen, which is what a sketch of
// any capacity of at least its size would hold after the same blocks. (A
// counter stuck at 255 falls short as well; such a file is not resumed.)
bool neverDropped(const DCKHeap& sketch, uint64_t notZero) {
  uint64_t sum = 0;
  for (const DCHashAndRatio* e : sketch.getVector()) sum += static_cast<uint64_t>(e->refCounter);
  return sum == notZero;
}

}  // namespace

bool DCLogger::loadHashes(DCKHeap& sketch, bool freshStart) {
  if (!inputStream.is_open()) return false;
  const uint64_t capacity = sketch.getCapacity();
  auto startOver = [&](const std::string& why) {
    smallZeroBlocks = bigZeroBlocks = notZeroBlocks = unreadableBlocks = 0;
    for (uint64_t& p : threadPositions) p = 0;
    std::cout << "\n\t Data source or heap size are inconsistent, ignoring given sketch file and "
                 "starting from device start"
              << std::endl;
    std::cerr << ("Cannot resume from " + inputFileName_ + ": " + why + "; the scan starts over\n") << std::flush;
  };
  if (!isConsistent(sketch)) {
    startOver(fileSourceNames != sourceNames
                  ? "it was written for " + (fileSourceNames.empty() ? std::string("another source") : fileSourceNames)
                  : "its sketch holds more entries than --hashSize " + std::to_string(capacity));
    inputStream.close();
    return false;
  }
  uint64_t counted = 0;
  const DCKHeap::LoadResult got = sketch.load(inputStream, sketchSize, freshStart, freshStart, &counted);
  inputStream.close();
  // The sketch size line counts the entries at save time: a resumed scan or
  // a load that got fewer or more would go on from, or report, a different
  // sketch.
  const char* problem = entrySectionProblem(got, freshStart);
  // Every sighting an entry counts is a not-zero block.
  if (problem == nullptr && counted > notZeroBlocks) problem = "Entry counters exceed its not-zero blocks";
  if (problem == nullptr) {
    if (readMode != SketchReadMode::kLoad && sketchSize < capacity) {
      if (!neverDropped(sketch, notZeroBlocks)) {
        if (freshStart) sketch.clear();
        sketch.setSize(static_cast<int>(std::min<uint64_t>(capacity, INT32_MAX)));
        startOver("its sketch was filled with another --hashSize");
        return false;
      }
      // The loader made the capacity the file's entry count; the scan goes on
      // with its own.
      sketch.setSize(static_cast<int>(std::min<uint64_t>(capacity, INT32_MAX)));
    }
    // A recovery file read back whole belongs to this scan from now on.
    if (inputFileName_ == recoveryFileName) recoveryOwned_ = true;
    return true;
  }

  reportUnusable(inputFileName_, problem);
  valid = false;
  if (freshStart) {
    // Emptied, and back to the capacity the run asked for (the loader made
    // it the file's entry count).
    sketch.clear();
    sketch.setSize(static_cast<int>(std::min<uint64_t>(capacity, INT32_MAX)));
  }
  smallZeroBlocks = bigZeroBlocks = notZeroBlocks = unreadableBlocks = 0;
  for (uint64_t& p : threadPositions) p = 0;
  if (readMode != SketchReadMode::kLoad) {
    std::cout << "\n\t Damaged or truncated sketch file, ignoring given sketch file and starting from device "
                 "start"
              << std::endl;
  }
  return false;
}

const char* DCLogger::entrySectionProblem(DCKHeap::LoadResult result, bool wholeSection) {
  switch (result) {
    case DCKHeap::LoadResult::kComplete:
      return nullptr;
    case DCKHeap::LoadResult::kEnded:
      return wholeSection ? "Truncated: fewer entry lines than its sketch size" : nullptr;
    case DCKHeap::LoadResult::kDamaged:
      return "Damaged entry line";
    case DCKHeap::LoadResult::kUnreadable:
      return "Read error";
    case DCKHeap::LoadResult::kUnordered:
      return "Entry lines not in ascending order";
    case DCKHeap::LoadResult::kExtra:
      return "More entry lines than its sketch size";
  }
  return "Read error";
}

void DCLogger::reportUnusable(const std::string& name, const char* why) {
  std::cerr << "Cannot use this file: " << name << " " << why << std::endl;
}

uint64_t DCLogger::getRealNumberOfHashes() const {
  std::ifstream in(sketchFileName, std::ios::in | std::ios::binary);
  if (!in.is_open()) return 0;
  uint64_t lines = 0;
  char last = '\n';
  char buf[65536];
  while (in.read(buf, sizeof buf) || in.gcount() > 0) {
    const std::streamsize n = in.gcount();
    for (std::streamsize i = 0; i < n; ++i) {
      if (buf[i] == '\n') ++lines;
    }
    last = buf[n - 1];
  }
  if (last != '\n') ++lines;  // a last line without its newline still counts
  return lines > kHeaderAndFieldLines ? lines - kHeaderAndFieldLines : 0;
}

bool DCLogger::saveState(const DCKHeap& sketch) {
  // The flag reports this save: an earlier failed read or save must not make
  // a good save look failed (the scan would stop accounting blocks).
  valid = true;
  const std::string& target = saveToSketchName ? sketchFileName : recoveryFileName;
  const std::string temp = target + ".tmp";

  std::ostringstream os;
  const std::vector<std::string>& label = vecLogFieldNames_;
  os << sketchformat::kTitle << ' ' << kind << '\n';
  os << label[kSourceNames] << sourceNames << '\n';
  os << label[kSketchSize] << sketch.numEntries() << '\n';
  os << label[kSmallZero] << smallZeroBlocks << '\n';
  os << label[kBigZero] << bigZeroBlocks << '\n';
  os << label[kNotZero] << notZeroBlocks << '\n';
  os << label[kPotentialUnique] << roundedCountOrZero(sketch.getUniqueEstimation()) << '\n';
  os << label[kUniqueAfterSplit] << roundedCountOrZero(sketch.getUniqueEstimationAfterSplit(notZeroBlocks))
     << '\n';
  os << label[kAverageRatio];
  if (sketch.numEntries() > 0) {
    os << sketch.getCompressionRatio(true);
  } else {
    os << averageCompressionRatio;
  }
  os << '\n';
  os << label[kThreadPositions];
  const uint64_t bs = blockSizeBytes();
  for (std::size_t i = 0; i < threadPositions.size(); ++i) {
    if (i > 0) os << ' ';
    os << threadPositions[i] / bs;
  }
  os << '\n';
  if (!saveToSketchName && sourceSize != 0) {
    ScanState st;
    st.sourceSize = sourceSize;
    st.segmentSize = static_cast<uint64_t>(myGlobals.segmentSize);
    st.blockSize = blockSizeBytes();
    st.randomBytes = static_cast<uint64_t>(static_cast<uint32_t>(myGlobals.randomBytes));
    st.altHash = myGlobals.altHash ? 1 : 0;
    st.storagever = myGlobals.storagever;
    st.unreadable = unreadableBlocks;
    os << sketchformat::kScanStateLabel << scanStateText(st) << '\n';
  }
  os << label[kBuild] << sketchformat::kBuildNumber << '\n';
  sketch.print(os, true);
  const std::string content = os.str();

  // A signal that ends the process during the save removes the temporary.
  setSavingTemp(temp.c_str());
  const bool saved = writeThroughTemp(content, target, temp);
  setSavingTemp(nullptr);
  if (!saved) return false;

  // The recovery file goes once the result is in place, but only one this
  // scan wrote or read back: any other file under that name (an unusable
  // one, or one that is no recovery file at all) is not ours to delete. A
  // sketch file named like its own recovery file (x.rdb) stays, of course.
  if (saveToSketchName && recoveryOwned_ && kindOf(recoveryFileName) == FileKind::kRegular &&
      !sameFile(recoveryFileName, target)) {
    if (::unlink(recoveryFileName.c_str()) != 0) {
      std::cout << "\n\tFailure while deleting " << recoveryFileName << std::endl;
      valid = false;
    }
    recoveryOwned_ = false;
  }
  return valid;
}

bool DCLogger::writeThroughTemp(const std::string& content, const std::string& target, const std::string& temp) {
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) {
    lastError = failureText(target, errno);
    std::cout << "\n\t Failure while opening " << temp << std::endl;
    valid = false;
    return false;
  }
  // The data must be on stable storage before the rename makes it the
  // target; otherwise a crash could leave a renamed but empty file.
  bool written = writeAll(fd, content) && ::fsync(fd) == 0;
  int err = errno;
  if (::close(fd) != 0 && written) {
    written = false;
    err = errno;
  }
  if (!written) {
    lastError = failureText(target, err);
    reportWriteFailure(target, err);
    ::unlink(temp.c_str());
    valid = false;
    return false;
  }

  // rename replaces the target atomically: at every moment either the old
  // or the new file is there under the target name.
  if (::rename(temp.c_str(), target.c_str()) != 0) {
    err = errno;
    lastError = failureText(target, err);
    reportWriteFailure(target, err);
    ::unlink(temp.c_str());
    valid = false;
    return false;
  }
  syncDirectoryOf(target);
  if (!saveToSketchName) recoveryOwned_ = true;
  return true;
}
