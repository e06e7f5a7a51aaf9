// A run that cannot go on. Lower layers throw it; only the top catches it,
// prints its message, ends the run log and exits with its status, so that
// the process ends in one place and one way.
#ifndef DEZEVAZIR_BASE_RUN_FAILURE_H_
#define DEZEVAZIR_BASE_RUN_FAILURE_H_

#include <stdexcept>
#include <string>

class RunFailure : public std::runtime_error {
 public:
  // Where the message goes; a few messages have always gone to standard
  // output, and scripts may read them there.
  enum class Stream { kError, kOutput };

  RunFailure(int status, const std::string& message, Stream stream = Stream::kError)
      : std::runtime_error(message), status(status), stream(stream) {}

  int status;
  Stream stream;
};

#endif  // DEZEVAZIR_BASE_RUN_FAILURE_H_
