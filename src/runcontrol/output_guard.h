// The names a run may write (the sketch file, its recovery file and their
// temporaries) are checked before anything is read or written: none may be
// a source of the run, and none may be anything but a regular file, so that
// a save's rename can never replace a source or a device node. Before it
// reads, a run also makes sure that it alone writes those names, that they
// hold no other scan's result, and that its saves can be made there.
#ifndef DEZEVAZIR_RUNCONTROL_OUTPUT_GUARD_H_
#define DEZEVAZIR_RUNCONTROL_OUTPUT_GUARD_H_

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "base/output_probe.h"
#include "base/run_lock.h"

// Ends the process with status 133 and a message naming the file when a
// name the run would write is one of sources or exists as something other
// than a regular file.
void refuseUnsafeOutputs(const std::string& sketch, const std::vector<std::string>& sources);

// The lock file of the runs that write sketch: beside its recovery file,
// which all sketch names of one recovery name share.
std::string runLockName(const std::string& sketch);

// Takes lock for a run that writes sketch. Throws RunFailure 133 ("SKETCH is
// in use by another run") when another run holds it, or another process a
// lock on the recovery file; 136 when the lock file cannot be made. Where
// the file system takes no locks, says so and goes on.
void lockOutputs(RunLock& lock, const std::string& sketch);

// Throws RunFailure 133 ("NAME holds the scan of OTHER; remove it or give
// another --sketch") when the sketch file holds the result of a source
// other than input, or, for a partial scan, a full scan's or a merge's
// result. A scan's own recovery file is not judged here.
void refuseReplacingOtherScan(const std::string& sketch, const std::string& input, bool partialScan);

// Throws RunFailure 136 ("Cannot write the WHAT TARGET: reason; nothing was
// read") when probe, the file that writing target makes first, cannot be
// created. Fits any output file a run writes.
void refuseUncreatable(const std::string& what, const std::string& target, const std::string& probe);

// refuseUncreatable for the temporaries of the sketch file and, with
// recovery, of the recovery file.
void refuseUncreatableOutputs(const std::string& sketch, bool withRecovery);

using SpaceQuery = std::function<FileSystemSpace(const std::string& name)>;

// Why the file systems cannot hold the saves of files of up to fileBytes
// each, or "" when they can: the sketch file's save needs room for a new
// file while the old one stays, and so does every recovery save, which also
// keeps the recovery file that the final save outlives (recoveryBytesNow:
// what the recovery file takes already). Needs on one file system add up.
// The message names the file whose file system is short.
std::string roomShortage(const std::string& sketchFile, const std::string& recoveryFile, uint64_t fileBytes,
                         uint64_t recoveryBytesNow, const SpaceQuery& query);

// Throws RunFailure 136 when roomShortage finds one for the run's sketch
// (and, with recovery, its recovery file) on the file systems as they are.
void refuseTooLittleRoom(const std::string& sketch, bool withRecovery, uint64_t fileBytes);

#endif  // DEZEVAZIR_RUNCONTROL_OUTPUT_GUARD_H_
