// The command line: boostOptions fills myGlobals (and vecInp) from one
// argument vector, shows help, and refuses what cannot run.
#ifndef DEZEVAZIR_RUNCONTROL_OPTIONS_H_
#define DEZEVAZIR_RUNCONTROL_OPTIONS_H_

// Shown after "Git commit: " in the help of the support build.
constexpr const char* kBuildId = "4f0c2a9e61d7b38c5e02a1f9d6b4c7e8a3d5f1b0";

// Parses, validates and stores into myGlobals. Returns false when help was
// shown or the line cannot be parsed (the caller decides what that means).
// Validation failures that make a run meaningless end the process with
// their own exit status (124, 125, 127, 130, 131, 132, 133).
bool boostOptions(int argc, char** argv);

// Notifier of option machineSize: machineBlocks from the size in TiB.
void my_func(int machineSize);

#endif  // DEZEVAZIR_RUNCONTROL_OPTIONS_H_
