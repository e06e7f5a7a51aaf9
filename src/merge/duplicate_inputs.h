// Merge inputs that count one source twice: the same file given again
// (under any name), or another file of the same source names. The merge
// still takes them (a file merged with itself is a case of its own); the
// user is told.
#ifndef DEZEVAZIR_MERGE_DUPLICATE_INPUTS_H_
#define DEZEVAZIR_MERGE_DUPLICATE_INPUTS_H_

#include <string>
#include <vector>

class DCLogger;

// One warning per input that repeats an earlier one, naming both; in input
// order. Files are compared by device and inode, source names as written.
std::vector<std::string> duplicateInputWarnings(const std::vector<DCLogger*>& inputs);

#endif  // DEZEVAZIR_MERGE_DUPLICATE_INPUTS_H_
