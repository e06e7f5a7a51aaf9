// The sketch file: a scan's result and, while it runs, its recovery state.
// A header line, ten labelled lines (counters, estimates, per-thread resume
// positions, build) and one line per sketch entry, smallest fingerprint first.
// DCLogger owns one file pair: the result file and its ".rdb" recovery file.
#ifndef DEZEVAZIR_SKETCHFILE_DC_LOGGER_H_
#define DEZEVAZIR_SKETCHFILE_DC_LOGGER_H_

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "sketch/dc_kheap.h"

#include "sketchfile/sketch_format.h"

constexpr const char* kSketchFileTitle = sketchformat::kTitle;

// What a sketch file is read back for, which decides what the reader takes
// from it and how strict it is about the run it belongs to.
enum class SketchReadMode {
  kFullScan,     // a scan resuming: its positions, and only a file of its source and sketch
  kPartialScan,  // a partial scan: writes only
  kMergeInput,   // an input of a merge: no positions
  kLoad,         // a load: any record, no positions
};

// What a recovery file records beyond the ten labelled lines (see
// sketchformat::kScanStateLabel).
struct ScanState {
  uint64_t sourceSize = 0;
  uint64_t segmentSize = 0;
  uint64_t blockSize = 0;
  uint64_t randomBytes = 0;
  uint64_t altHash = 0;
  uint64_t storagever = 0;
  uint64_t unreadable = 0;
};

class DCLogger {
 public:
  // Sets both file names, kind "fullscan", both flags true, counters zero and
  // one zero position per pipeline thread (myGlobals.threads).
  explicit DCLogger(const std::string& sketchFileName, SketchReadMode mode = SketchReadMode::kFullScan);
  DCLogger(const DCLogger&) = delete;
  DCLogger& operator=(const DCLogger&) = delete;

  // The ten field labels in file order (sketchformat::kLabels), built once
  // by initLogFieldNames.
  static std::vector<std::string> vecLogFieldNames_;
  static void initLogFieldNames();

  // Recovery name: everything from the last '.' of the whole sketch file name
  // (directories included) replaced by ".rdb"; without any '.', name + ".rdb".
  void initRecDBFileName();

  // out = the sketch file name if it can be opened for reading, else the
  // recovery file name if that can; false if neither.
  bool decideInputFileName(std::string& out);
  // Opens the chosen file and checks its header. No file at all: saves are
  // redirected to the recovery file, the record stays valid, false.
  bool initInputFile();
  // Reads the first line; sets kind. False (and closes) on a foreign file.
  bool checkHeader();
  // Header plus the ten labelled lines. True when the file is usable; on a
  // thread-count mismatch (scan of a file from another thread count) the
  // process ends with status 130.
  bool loadPrologue();
  // Does the file read by loadPrologue belong to this run and this sketch?
  bool isConsistent(const DCKHeap& sketch) const;
  // Reads the entries into sketch and closes the file. When the file does
  // not match the run, counters and positions are zeroed and false returned.
  // So they are when its entry lines are damaged, unreadable or (with
  // freshStart) fewer than its sketch size; that also clears the valid flag
  // and, with freshStart, leaves the sketch empty.
  bool loadHashes(DCKHeap& sketch, bool freshStart);
  // Why an entry section read with this result cannot be used, or nullptr
  // when it can. wholeSection: all declared entries must be there.
  static const char* entrySectionProblem(DCKHeap::LoadResult result, bool wholeSection);
  // "Cannot use this file: NAME WHY" on standard error.
  static void reportUnusable(const std::string& name, const char* why);
  // The file loadPrologue read: the sketch file or the recovery file.
  const std::string& inputFileName() const { return inputFileName_; }
  // Number of entry lines of the sketch file (0 if it cannot be read).
  uint64_t getRealNumberOfHashes() const;
  // Writes the file through a temporary and a rename, so the previous good
  // file survives any failure. Returns the valid flag.
  bool saveState(const DCKHeap& sketch);

  std::string sourceNames;       // joined by single spaces for a merge
  std::string sketchFileName;
  std::string recoveryFileName;
  std::ifstream inputStream;     // open between loadPrologue and loadHashes

  uint64_t smallZeroBlocks = 0;
  uint64_t bigZeroBlocks = 0;
  uint64_t notZeroBlocks = 0;
  // Blocks of the source that could not be read, in no counter above.
  uint64_t unreadableBlocks = 0;
  // Set by a full scan: its recovery file then records the scan state
  // (this size, the run's settings and unreadableBlocks).
  uint64_t sourceSize = 0;
  // The scan state read back; hasScanState false for a file without one.
  bool hasScanState = false;
  ScanState scanState;

  // Read back from the file.
  uint64_t sketchSize = 0;
  uint64_t potentialUniqueEstimation = 0;
  uint64_t uniqueEstimationAfterSplit = 0;
  int buildNumber = 0;
  std::string fileSourceNames;

  bool saveToSketchName = true;  // false: saves go to the recovery file
  bool valid = true;             // false after a failed read or write
  float averageCompressionRatio = -1.0f;  // written when the sketch is empty
  std::string kind = "fullscan";          // or "partialscan", "merge"
  std::vector<uint64_t> threadPositions;  // byte positions, one per thread
  std::string lastError;                  // "NAME: reason" of the last failed save
  SketchReadMode readMode;

 private:
  // Writes content to temp, makes it durable and renames it to target;
  // false (temp removed, lastError set) on any failure.
  bool writeThroughTemp(const std::string& content, const std::string& target, const std::string& temp);

  std::string inputFileName_;  // the file chosen by decideInputFileName
  bool recoveryOwned_ = false;  // the recovery file was written or read back by this run
};

#endif  // DEZEVAZIR_SKETCHFILE_DC_LOGGER_H_
