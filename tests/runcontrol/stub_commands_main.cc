// dezevazir with stand-in commands. Each command prints one line describing
// the state the frame handed it, then leaves work behind (requests in every
// queue, a raised I/O-error count) that the frame must clear before the
// next run. DZ_STUB_ACTION asks for extra behaviour:
//   log      one log line per level 1..5 and some run counters
//   threads  4 threads logging 200 long lines each, concurrently
//   marker   a log line containing the end-of-execution text, then another
#include <cstdlib>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "runcontrol/driver.h"
#include "base/run_globals.h"
#include "base/run_log.h"
#include "base/run_state.h"
#include "scan/pipeline.h"
#include "scan/requests.h"

namespace {

void logLine(int level, const std::string& text) { td.addLogLine(level, new std::string(text)); }

void act() {
  const char* a = std::getenv("DZ_STUB_ACTION");
  const std::string action = a == nullptr ? "" : a;
  if (action == "log") {
    for (int level = 1; level <= 5; ++level) logLine(level, "stub line at level " + std::to_string(level));
    myGlobals.sha1Done += 3;
    myGlobals.cmpRequestsDone += 2;
    myGlobals.readsIssued += 1;
  } else if (action == "threads") {
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([t] {
        for (int i = 0; i < 200; ++i) {
          logLine(2, "thread " + std::to_string(t) + " line " + std::to_string(i) + " " + std::string(200, 'a' + t));
        }
      });
    }
    for (auto& th : threads) th.join();
  } else if (action == "marker") {
    logLine(2, std::string("text with ") + kEndOfExecution + " inside");
    logLine(2, "line after the marker");
  }
}

void report(const char* name) {
  const RunGlobals& g = myGlobals;
  std::cout << "RUN " << name << " command=" << g.command << " input=" << g.input << " sketch=" << g.sketch
            << " updatebw=" << g.updatebw << " threads=" << g.threads << " loglevel=" << g.loglevel
            << " hashLength=" << g.hashLength << " merge=" << vecInp.size() << " td=" << td.level
            << " logq=" << LogLinesQ->level << " qlevel=" << readRequests->level
            << " bounds=" << readcmpRequests->maxSize << "," << readRequests->maxSize << ","
            << hashRequests->maxSize << "," << cmpRequests->maxSize << " throttle=" << gThrottle->slots.size()
            << " queued=" << readRequests->size() << readcmpRequests->size() << cmpRequests->size()
            << hashRequests->size() << " ioErrors=" << ioErrorCount << "," << ioAbortFlag << std::endl;
  act();
  // Left behind on purpose: the frame empties the queues and resets the
  // I/O-error state between runs.
  readRequests->push(new readReq(takeChunkBuffer(16), 0, 16, 16, 0));
  readcmpRequests->push(new hashReq(new unsigned char[16], 16, {1, 2}, nullptr, 0));
  cmpRequests->push(new hashReq(nullptr, 0, {}, nullptr, 0));
  hashRequests->push(new hashReq(new unsigned char[8], 8, {}, nullptr, 0));
  ioErrorCount = 7;
  ioAbortFlag = 1;
}

void scan() { report("scan"); }
void load() { report("load"); }
void partialscan() { report("partialscan"); }
void merge() { report("merge"); }

}  // namespace

int main(int argc, char** argv) { return runDezevazir(argc, argv, {scan, load, partialscan, merge}); }
