// The commands a run can execute; the driver picks one by the command word
// (productCommands in driver.h).
#ifndef DEZEVAZIR_RUNCONTROL_COMMANDS_H_
#define DEZEVAZIR_RUNCONTROL_COMMANDS_H_

#include <string>

void scanCommand();
void loadCommand();
void partialScanCommand();
void mergeCommand();

// Ends the process with status 100 when the run names no source. The
// command word "batch" (also set by --batchfile, even an empty one or on a
// batch line) skips the parse's device test, so a scan can get here without
// --input; an engine without a source has nothing to size or read.
void refuseMissingSource();

// "N bytes of SOURCE could not be read; ..." on standard error when read
// errors below the limit left blocks out of the run.
void reportUnreadBytes(const std::string& source);

#endif  // DEZEVAZIR_RUNCONTROL_COMMANDS_H_
