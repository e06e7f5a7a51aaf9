// The command line: boostOptions fills myGlobals (and vecInp) from one
// argument vector, shows help, and refuses what cannot run.
#ifndef DEZEVAZIR_RUNCONTROL_OPTIONS_H_
#define DEZEVAZIR_RUNCONTROL_OPTIONS_H_

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

// Notifier of option machineSize: machineBlocks from the size in TiB.
void my_func(int machineSize);

#endif  // DEZEVAZIR_RUNCONTROL_OPTIONS_H_
