// The command line: boostOptions fills myGlobals (and vecInp) from one
// argument vector, shows help, and refuses what cannot run.
#ifndef DEZEVAZIR_RUNCONTROL_OPTIONS_H_
#define DEZEVAZIR_RUNCONTROL_OPTIONS_H_

#include <string>
#include <vector>

// Parses, validates and stores into myGlobals. Returns false when help or
// the version was shown or the line cannot be parsed (the caller decides
// what that means; versionShown() tells the version apart).
// Validation failures that make a run meaningless end the process with
// their own exit status (124, 125, 127, 130, 131, 132, 133).
bool boostOptions(int argc, char** argv);

// Set while a batch line is parsed: a source that cannot be opened makes
// the line unparsable instead of ending the program.
void setBatchLine(bool batchLine);

// Whether the last boostOptions call showed the version (--version) and so
// asked for nothing else.
bool versionShown();

// Whether the line asks only for the help or the version (or is empty,
// which shows the help): nothing will run, and the run log is left alone.
// Writes nothing into myGlobals; false for a line the parser refuses.
bool asksOnlyForHelpOrVersion(int argc, char** argv);

// Whether --json (or a prefix of it) is among the words: then even what is
// printed before the line is parsed, or instead of a run, keeps off
// standard output.
bool asksForJson(const std::vector<std::string>& words);

// Notifier of option machineSize: machineBlocks from the size in TiB.
void my_func(int machineSize);

#endif  // DEZEVAZIR_RUNCONTROL_OPTIONS_H_
