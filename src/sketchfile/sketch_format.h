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

// Files of other builds are not read back.
constexpr int kBuildNumber = 153;

}  // namespace sketchformat

#endif  // DEZEVAZIR_SKETCHFILE_SKETCH_FORMAT_H_
