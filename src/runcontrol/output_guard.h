// The names a run may write (the sketch file, its recovery file and their
// temporaries) are checked before anything is read or written: none may be
// a source of the run, and none may be anything but a regular file, so that
// a save's rename can never replace a source or a device node.
#ifndef DEZEVAZIR_RUNCONTROL_OUTPUT_GUARD_H_
#define DEZEVAZIR_RUNCONTROL_OUTPUT_GUARD_H_

#include <string>
#include <vector>

// Ends the process with status 133 and a message naming the file when a
// name the run would write is one of sources or exists as something other
// than a regular file.
void refuseUnsafeOutputs(const std::string& sketch, const std::vector<std::string>& sources);

#endif  // DEZEVAZIR_RUNCONTROL_OUTPUT_GUARD_H_
