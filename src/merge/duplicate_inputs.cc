#include "merge/duplicate_inputs.h"

#include <sys/stat.h>

#include "sketchfile/dc_logger.h"

namespace {

struct FileId {
  bool known = false;
  dev_t dev = 0;
  ino_t ino = 0;
};

FileId idOf(const DCLogger& input) {
  FileId id;
  struct stat st;
  // The file the record was read from (the sketch file, or its recovery file).
  if (::stat(input.inputFileName().c_str(), &st) == 0) {
    id.known = true;
    id.dev = st.st_dev;
    id.ino = st.st_ino;
  }
  return id;
}

}  // namespace

std::vector<std::string> duplicateInputWarnings(const std::vector<DCLogger*>& inputs) {
  std::vector<std::string> warnings;
  std::vector<FileId> ids;
  for (const DCLogger* input : inputs) ids.push_back(idOf(*input));
  for (size_t i = 0; i < inputs.size(); ++i) {
    const DCLogger& later = *inputs[i];
    for (size_t j = 0; j < i; ++j) {
      const DCLogger& earlier = *inputs[j];
      if (ids[i].known && ids[j].known && ids[i].dev == ids[j].dev && ids[i].ino == ids[j].ino) {
        warnings.push_back("Warning: merge input " + later.sketchFileName + " is the same file as " +
                           earlier.sketchFileName + ": its source is counted twice");
        break;
      }
      if (later.sourceNames == earlier.sourceNames) {
        warnings.push_back("Warning: merge input " + later.sketchFileName + " holds the same source names (" +
                           later.sourceNames + ") as " + earlier.sketchFileName +
                           ": if it is the same source, it is counted twice");
        break;
      }
    }
  }
  return warnings;
}
