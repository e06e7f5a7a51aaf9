// SIGINT, SIGTERM and SIGHUP. While a full scan runs they are deferred: the
// scan stops reading, saves its state as a recovery point does and ends the
// process by the same signal. Anywhere else they end the process at once,
// removing a save's half-written temporary first. A second signal always
// ends it at once.
#ifndef DEZEVAZIR_RUNCONTROL_INTERRUPT_H_
#define DEZEVAZIR_RUNCONTROL_INTERRUPT_H_

#include <atomic>

// The deferred signal's number, 0 while none came.
extern std::atomic<int> gInterruptSignal;

void installInterruptHandlers();

// True while the scan can save its state on a signal.
void setInterruptDeferred(bool deferred);

// The temporary a save is writing, removed if a signal ends the process
// before the rename; nullptr when no save is under way. The text is copied.
void setSavingTemp(const char* path);

// Writes the run log's end line, then ends the process by signo with its
// default action, so the caller's shell sees 128 + signo.
[[noreturn]] void endBySignal(int signo);

#endif  // DEZEVAZIR_RUNCONTROL_INTERRUPT_H_
