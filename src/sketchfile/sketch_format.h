// The sketch file's own words, in one place for the writer, every reader and
// the tools that make sketch files: the header's title and kinds, the ten
// labelled lines in file order, and the build whose files are read back.
// The entry lines' grammar is in entry_line.h.
#ifndef DEZEVAZIR_SKETCHFILE_SKETCH_FORMAT_H_
#define DEZEVAZIR_SKETCHFILE_SKETCH_FORMAT_H_

namespace sketchformat {

constexpr const char* kTitle = "..:: Veda Dezevazir Odazirera ::..";
// The header is the title, a blank and one of these.
constexpr const char* kFullScan = "fullscan";
constexpr const char* kPartialScan = "partialscan";
constexpr const char* kMerge = "merge";

// The labelled lines, in file order.
enum Field {
  kSourceNames,
  kSketchSize,
  kSmallZero,
  kBigZero,
  kNotZero,
  kPotentialUnique,
  kUniqueAfterSplit,
  kAverageRatio,
  kThreadPositions,
  kBuild,
  kFieldCount,
};

constexpr const char* kLabels[kFieldCount] = {
    "Original file names: ",          "Sketch size: ",
    "Number of Small Zero blocks: ",  "Number of Big Zero blocks: ",
    "Number of Not Zero blocks: ",    "Potential unique estimation: ",
    "Unique estimation after split: ", "Average compression ratio: ",
    "Threads Positions: ",            "Build: ",
};

// A recovery file's own line, before the build line: the source size and
// the settings its counters and positions hold for, and the blocks the scan
// could not read, as "key=value" words in this order. A result file has no
// such line, nor have the recovery files of earlier builds.
constexpr const char* kScanStateLabel = "Scan state: ";
constexpr const char* kScanStateKeys[] = {"size", "segmentSize", "blockSize", "randomBytes",
                                          "altHash", "storagever", "unreadable"};

// Files of other builds are not read back.
constexpr int kBuildNumber = 153;

}  // namespace sketchformat

#endif  // DEZEVAZIR_SKETCHFILE_SKETCH_FORMAT_H_
