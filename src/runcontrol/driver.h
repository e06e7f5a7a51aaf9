// The program's frame: queues and run log, the first parse, then one run
// per command line (the program's own, or each usable batch-file line),
// each timed and followed by emptying the request queues.
#ifndef DEZEVAZIR_RUNCONTROL_DRIVER_H_
#define DEZEVAZIR_RUNCONTROL_DRIVER_H_

// What a run can execute, by command name. The program passes the real
// commands; tests pass stand-ins to watch the frame around them.
struct CommandSet {
  void (*scan)();
  void (*load)();
  void (*partialscan)();
  void (*merge)();
};

// The commands declared in commands.h.
CommandSet productCommands();

// Returns 0 after the last run, or after showing the version (without the
// run log); 123 after showing the help (without the run log), or after a
// batch in which a line was refused or whose file could not be read. Exits
// with 10 (no run log), 123 (first parse refused), a validation status from
// boostOptions or the status of a failed run.
int runDezevazir(int argc, char** argv, const CommandSet& commands);

#endif  // DEZEVAZIR_RUNCONTROL_DRIVER_H_
