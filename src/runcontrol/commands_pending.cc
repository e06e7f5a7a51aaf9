// Commands not built yet. Each definition moves to its own file when the
// command lands.
#include <cstdlib>
#include <iostream>

#include "runcontrol/commands.h"

namespace {
void notAvailable(const char* name) {
  std::cerr << "The " << name << " command is not available yet" << std::endl;
  std::exit(2);
}
}  // namespace

void scanCommand() { notAvailable("scan"); }
void loadCommand() { notAvailable("load"); }
void partialScanCommand() { notAvailable("partialscan"); }
void mergeCommand() { notAvailable("merge"); }
