// The line that closes every run.
#ifndef DEZEVAZIR_RUNCONTROL_ELAPSED_H_
#define DEZEVAZIR_RUNCONTROL_ELAPSED_H_

#include <string>

// "Time Consumed:" padded to 34 characters, then HH:MM:SS (more hour digits
// past 99 hours). No newline.
std::string timeConsumedLine(long seconds);

#endif  // DEZEVAZIR_RUNCONTROL_ELAPSED_H_
