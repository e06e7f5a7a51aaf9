#include "scan/size_text.h"

#include <boost/format.hpp>

namespace {
const char* const kUnits[] = {"Byte", "KB", "MB", "GB", "TB", "PB", "EB"};
}  // namespace

std::string sizeText(uint64_t bytes) {
  double value = static_cast<double>(bytes);
  int divisions = 0;
  while (divisions < 6 && value / 1024 >= 1) {
    value /= 1024;
    ++divisions;
  }
  return (boost::format("%4.2f %s") % value % kUnits[divisions]).str();
}
