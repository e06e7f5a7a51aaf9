// A fixture that runs the scan commands in this process: the request queues,
// fresh settings and a fresh directory for each test, and a scan that fails
// the test instead of hanging.
#ifndef DEZEVAZIR_TESTS_SCAN_IN_PROCESS_SCAN_H_
#define DEZEVAZIR_TESTS_SCAN_IN_PROCESS_SCAN_H_

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <future>
#include <string>

#include "cli.h"
#include "runcontrol/commands.h"
#include "base/run_globals.h"
#include "base/run_state.h"
#include "scan/pipeline.h"
#include "scan/requests.h"
#include "scan_fixtures.h"

namespace scantest {

class InProcessScan : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ::testing::GTEST_FLAG(death_test_style) = "threadsafe";
    readRequests = new concurrent_queue<readReq*>;
    hashRequests = new concurrent_queue<hashReq*>;
    readcmpRequests = new concurrent_queue<hashReq*>;
    cmpRequests = new concurrent_queue<hashReq*>;
    readRequests->setLogLevel(7);
    hashRequests->setLogLevel(7);
    readcmpRequests->setLogLevel(7);
    cmpRequests->setLogLevel(7);
  }

  void SetUp() override {
    myGlobals.resetForNextLine();
    myGlobals.command = "scan";
    myGlobals.input = dir_.file("img");
    myGlobals.sketch = dir_.file("out.dat");
    ioErrorCount = 0;
    ioAbortFlag = 0;
  }

  void TearDown() override {
    gReadAt = &pread;
    readRequests->drain();
    readcmpRequests->drain();
    cmpRequests->drain();
    hashRequests->drain();
  }

  // Runs the command; fails the test instead of hanging. Then empties the
  // queues, as the driver does after every run: a partial scan leaves up to
  // thousands of sample requests queued, which the compression workers of
  // a next run would take for their own (a full scan's workers count them
  // against their quota and may end early, leaving their end markers to the
  // run after, whose workers then end at once and never finish its samples).
  template <typename Command>
  void runWithin(int seconds, Command command) {
    auto done = std::async(std::launch::async, command);
    if (done.wait_for(std::chrono::seconds(seconds)) != std::future_status::ready) {
      ADD_FAILURE() << "the command did not end";
      std::_Exit(1);
    }
    readRequests->drain();
    readcmpRequests->drain();
    cmpRequests->drain();
    hashRequests->drain();
  }
  void scanWithin(int seconds) { runWithin(seconds, [] { scanCommand(); }); }

  SketchFile result() { return readSketchFile(dir_.file("out.dat")); }

  dztest::TempDir dir_;
};

}  // namespace scantest

#endif  // DEZEVAZIR_TESTS_SCAN_IN_PROCESS_SCAN_H_
