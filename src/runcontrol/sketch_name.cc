#include "runcontrol/sketch_name.h"

#include <boost/crc.hpp>
#include <boost/format.hpp>

std::string autoSketchName(const std::string& command, const std::string& input) {
  if (command == "merge") return "merge_out";
  std::string name = "file_";
  if (command.find("partialscan") != std::string::npos) name += "partialscan_";
  boost::crc_32_type crc;
  crc.process_bytes(input.data(), input.size());
  name += (boost::format("%X") % crc.checksum()).str();
  name += ".dat";
  return name;
}
