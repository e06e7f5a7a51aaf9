// The lines a program start runs: its own arguments, or a batch file's lines.
#ifndef DEZEVAZIR_RUNCONTROL_COMMAND_LINES_H_
#define DEZEVAZIR_RUNCONTROL_COMMAND_LINES_H_

#include <cstddef>
#include <string>
#include <vector>

// A batch line longer than this is refused as unparsable.
constexpr std::size_t kBatchLineMax = 64 * 1024;

// With a batch file: every line of it, blank and comment lines included so
// that line numbers count file lines (a line beyond kBatchLineMax cut to
// kBatchLineMax + 1 characters); empty, with a message on standard error,
// when it cannot be opened or is not a regular file (and the lines before
// a read error); then *unreadable, when given, is set.
// Without: one line of argv[1..] each followed by a blank.
std::vector<std::string> buildCommandLines(int argc, char** argv, const std::string& batchfile,
                                           bool* unreadable = nullptr);

// True for a line of only white space, or one whose first character is '#'
// ('#' after leading blanks does not make a comment).
bool isSkippedLine(const std::string& line);

// Words of a batch line as a Unix shell splits them: blanks and tabs
// separate, ' and " quote, backslash escapes. Throws (a
// boost::escaped_list_error) on a line it cannot split, such as one ending
// in a backslash.
std::vector<std::string> splitCommandLine(const std::string& line);

#endif  // DEZEVAZIR_RUNCONTROL_COMMAND_LINES_H_
