// Ends the process from any thread while workers still run.
#ifndef DEZEVAZIR_SCAN_RUN_END_H_
#define DEZEVAZIR_SCAN_RUN_END_H_

// Flushes standard output and error, gives the log sweeper a moment to write
// what is queued, then ends without running static destructors (which other
// threads may still be using).
[[noreturn]] void endProcess(int status);

#endif  // DEZEVAZIR_SCAN_RUN_END_H_
