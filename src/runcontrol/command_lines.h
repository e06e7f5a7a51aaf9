// The lines a program start runs: its own arguments, or a batch file's lines.
#ifndef DEZEVAZIR_RUNCONTROL_COMMAND_LINES_H_
#define DEZEVAZIR_RUNCONTROL_COMMAND_LINES_H_

#include <string>
#include <vector>

// With a batch file: every line of it, blank and comment lines included so
// that line numbers count file lines; empty when it cannot be opened.
// Without: one line of argv[1..] each followed by a blank.
std::vector<std::string> buildCommandLines(int argc, char** argv, const std::string& batchfile);

// True for a line of only white space, or one whose first character is '#'
// ('#' after leading blanks does not make a comment).
bool isSkippedLine(const std::string& line);

// Words of a batch line as a Unix shell splits them: blanks and tabs
// separate, ' and " quote, backslash escapes.
std::vector<std::string> splitCommandLine(const std::string& line);

#endif  // DEZEVAZIR_RUNCONTROL_COMMAND_LINES_H_
