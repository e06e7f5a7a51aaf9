#include "runcontrol/command_lines.h"

#include <boost/program_options/parsers.hpp>
#include <fstream>

std::vector<std::string> buildCommandLines(int argc, char** argv, const std::string& batchfile) {
  std::vector<std::string> lines;
  if (!batchfile.empty()) {
    std::ifstream in(batchfile);
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
  }
  std::string line;
  for (int i = 1; i < argc; ++i) {
    line += argv[i];
    line += ' ';
  }
  lines.push_back(line);
  return lines;
}

bool isSkippedLine(const std::string& line) {
  return line.find_first_not_of(" \t\n\v\f\r") == std::string::npos || line[0] == '#';
}

std::vector<std::string> splitCommandLine(const std::string& line) {
  return boost::program_options::split_unix(line, " \t\r", "'\"", "\\");
}
