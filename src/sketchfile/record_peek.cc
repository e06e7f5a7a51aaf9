#include "sketchfile/record_peek.h"

#include <fstream>

#include "base/file_kind.h"
#include "sketchfile/bounded_line.h"
#include "sketchfile/sketch_format.h"

namespace {

// The caps the reader of the whole file uses.
constexpr std::size_t kHeaderLineMax = 127;
constexpr std::size_t kFieldLineMax = 2047;

}  // namespace

bool peekRecord(const std::string& name, RecordIdentity& out) {
  // By stat first: opening a FIFO for reading would wait for a writer.
  if (kindOf(name) != FileKind::kRegular) return false;
  std::ifstream in(name, std::ios::in | std::ios::binary);
  if (!in.is_open()) return false;
  std::string line;
  if (readBoundedLine(in, kHeaderLineMax, line) != LineRead::kOk) return false;
  const std::string title = std::string(sketchformat::kTitle) + ' ';
  if (line.compare(0, title.size(), title) != 0) return false;
  const std::string kind = line.substr(title.size());
  if (kind != sketchformat::kFullScan && kind != sketchformat::kPartialScan && kind != sketchformat::kMerge) {
    return false;
  }
  const std::string label = sketchformat::kLabels[sketchformat::kSourceNames];
  for (int i = 0; i < sketchformat::kFieldCount; ++i) {
    if (readBoundedLine(in, kFieldLineMax, line) != LineRead::kOk) return false;
    if (line.compare(0, label.size(), label) == 0) {
      out.kind = kind;
      out.sourceNames = line.substr(label.size());
      return true;
    }
  }
  return false;
}
