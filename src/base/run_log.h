// The run log "ridoriDozu.log": producers on any thread queue timestamped
// lines; one sweeper thread writes them, so workers never block on file I/O.
#ifndef DEZEVAZIR_BASE_RUN_LOG_H_
#define DEZEVAZIR_BASE_RUN_LOG_H_

#include <fstream>
#include <string>

#include "base/concurrent_queue.h"

constexpr const char* kLogFileName = "ridoriDozu.log";
constexpr const char* kEndOfExecution = "END OF EXECUTION";

// Log-line queue: push filters by level and deletes what it does not keep.
class concurrent_queueOrig : public concurrent_queue<std::string*> {
 public:
  // Keeps item only if the queue's level is at least 1 and not below `lvl`.
  void push(std::string* item, int lvl);
};

extern concurrent_queueOrig* LogLinesQ;

struct threadWorkData {
  int level = 0;  // negative disables logging through this record
  // Takes ownership of text. Level 1 is also echoed to standard error.
  void addLogLine(int lvl, std::string* text);
};

extern threadWorkData td;

// " dd/mm/yyyy.uuuuuu hh:mm:ss " in local time.
std::string mynow();

// Creates LogLinesQ, opens the log and queues the start line carrying the
// command-line text. nullptr when the log cannot be opened.
std::ofstream* openLogFile(const std::string& commandLine);

// Sweeper thread body: writes queued lines until the end marker, then the
// end line with the run counters.
void logLineSweeper(std::ofstream* log);

// True once the sweeper has written the end line.
bool logEnded();

#endif  // DEZEVAZIR_BASE_RUN_LOG_H_
