// SIGINT, SIGTERM and SIGHUP. While a full scan runs they are deferred: the
// scan stops reading, saves its state as a recovery point does and ends the
// process by the same signal. Anywhere else they end the process at once,
// removing a save's half-written temporary first. A second signal always
// ends it at once.
#ifndef DEZEVAZIR_BASE_INTERRUPT_H_
#define DEZEVAZIR_BASE_INTERRUPT_H_

#include <atomic>

// The deferred signal's number, 0 while none came.
extern std::atomic<int> gInterruptSignal;

void installInterruptHandlers();

// True while the scan can save its state on a signal.
void setInterruptDeferred(bool deferred);

// The temporary a save is writing, removed if a signal ends the process
// before the rename; nullptr when no save is under way. The text is copied.
void setSavingTemp(const char* path);

#endif  // DEZEVAZIR_BASE_INTERRUPT_H_
