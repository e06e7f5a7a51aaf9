// The name a sketch file gets when the command line does not give one.
#ifndef DEZEVAZIR_RUNCONTROL_SKETCH_NAME_H_
#define DEZEVAZIR_RUNCONTROL_SKETCH_NAME_H_

#include <string>

// "file_" ["partialscan_"] CRC-32(input) in upper-case hex ".dat", or
// "merge_out" for a merge. The CRC keeps names of different sources apart
// while staying a valid file name whatever the device path holds.
std::string autoSketchName(const std::string& command, const std::string& input);

#endif  // DEZEVAZIR_RUNCONTROL_SKETCH_NAME_H_
