// What a sketch file on disk says it is, read quietly: its kind and the
// sources it describes. A run asks before it reads anything whether the file
// it would replace holds a result it must not lose.
#ifndef DEZEVAZIR_SKETCHFILE_RECORD_PEEK_H_
#define DEZEVAZIR_SKETCHFILE_RECORD_PEEK_H_

#include <string>

struct RecordIdentity {
  std::string kind;         // "fullscan", "partialscan" or "merge"
  std::string sourceNames;  // as its "Original file names: " line gives them
};

// True when name is a regular file that begins as a sketch file does: the
// header line, then the source names among the labelled lines. Prints
// nothing; the rest of the file is not judged.
bool peekRecord(const std::string& name, RecordIdentity& out);

#endif  // DEZEVAZIR_SKETCHFILE_RECORD_PEEK_H_
