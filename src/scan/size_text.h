// The device size as shown above the progress bar: "%4.2f %s" with the
// largest unit that keeps the value at least 1 ("1.50 KB", "1023.00 Byte").
#ifndef DEZEVAZIR_SCAN_SIZE_TEXT_H_
#define DEZEVAZIR_SCAN_SIZE_TEXT_H_

#include <cstdint>
#include <string>

std::string sizeText(uint64_t bytes);

#endif  // DEZEVAZIR_SCAN_SIZE_TEXT_H_
