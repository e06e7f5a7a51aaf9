#include "base/run_log.h"

#include <sys/time.h>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <boost/format.hpp>
#include <atomic>
#include <cstdlib>
#include <ctime>
#include <iostream>

#include "base/run_globals.h"

concurrent_queueOrig* LogLinesQ = nullptr;

namespace {
std::atomic<bool> endLineWritten{false};
}  // namespace

bool logEnded() { return endLineWritten.load(); }
threadWorkData td;

void concurrent_queueOrig::push(std::string* item, int lvl) {
  int current;
  {
    std::lock_guard<std::mutex> lock(mutex);
    current = level;
  }
  if (current < 1 || current < lvl) {
    delete item;
    return;
  }
  // The base push re-checks level >= 1 and queues under the mutex.
  concurrent_queue<std::string*>::push(item);
}

std::string mynow() {
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  time_t secs = tv.tv_sec;
  struct tm lt;
  localtime_r(&secs, &lt);
  return (boost::format(" %3$02i/%2$02i/%1%.%7$06i %4$02i:%5$02i:%6$02i ") % (lt.tm_year + 1900) %
          (lt.tm_mon + 1) % lt.tm_mday % lt.tm_hour % lt.tm_min % lt.tm_sec %
          static_cast<long>(tv.tv_usec))
      .str();
}

void threadWorkData::addLogLine(int lvl, std::string* text) {
  if (lvl == 1) {
    // One write of the whole line: pieces written by two threads interleave.
    std::cerr << (*text + "\n") << std::flush;
  }
  if (level < 0 || lvl > level || LogLinesQ == nullptr) {
    delete text;
    return;
  }
  text->insert(0, mynow() + " ");
  LogLinesQ->push(text, lvl);
}

std::ofstream* openLogFile(const std::string& commandLine) {
  auto* log = new std::ofstream;
  LogLinesQ = new concurrent_queueOrig;
  LogLinesQ->setLogLevel(6);
  log->open(kLogFileName, std::ios::out | std::ios::trunc);
  if (!log->is_open()) {
    delete log;
    return nullptr;
  }
  // Enabled only after the open, so a failed open is reported above rather
  // than thrown.
  log->exceptions(std::ios::failbit | std::ios::badbit);
  auto* start = new std::string(
      (boost::format("%4% starting Veda Dezevazir Odazirera: (%1% %2%) - %5%") % myGlobals.version %
       kBuildNumber % "" % mynow() % commandLine)
          .str());
  if (LogLinesQ->level > 1) {
    LogLinesQ->push(start, 1);
  } else {
    delete start;
  }
  return log;
}

namespace {

// A failed write (disk full, say) must not kill the process from the
// sweeper thread: it is reported once, and later lines are still consumed
// so that producers and the end of execution never wait on a dead log.
void writeLogLine(std::ofstream& log, const std::string& line, bool& broken) {
  if (broken) return;
  try {
    log << line << '\n';
    log.flush();
  } catch (const std::ios_base::failure&) {
    broken = true;
    std::cerr << (std::string("Error writing logfile: ") + kLogFileName + "\n") << std::flush;
  }
}

}  // namespace

void logLineSweeper(std::ofstream* log) {
  if (log == nullptr || !log->is_open()) return;
  bool broken = false;
  for (;;) {
    std::string* line = LogLinesQ->pop();
    const bool last = line->find(kEndOfExecution) != std::string::npos;
    if (last) {
      *line = (boost::format("%4% number of SHA1 %1%, number of CMPS %2%, number of reads %3%") %
               myGlobals.sha1Done.load() % myGlobals.cmpRequestsDone.load() %
               myGlobals.readsIssued.load() % mynow())
                  .str();
    }
    writeLogLine(*log, *line, broken);
    delete line;
    if (last) {
      endLineWritten.store(true);
      return;
    }
  }
}
