// The commands a run can execute. Each is implemented with its subsystem;
// until then commands_pending.cc reports it as not available.
#ifndef DEZEVAZIR_RUNCONTROL_COMMANDS_H_
#define DEZEVAZIR_RUNCONTROL_COMMANDS_H_

void scanCommand();
void loadCommand();
void partialScanCommand();
void mergeCommand();

#endif  // DEZEVAZIR_RUNCONTROL_COMMANDS_H_
