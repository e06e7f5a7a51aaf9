// Signals while a scan can save its state: the first is deferred for the
// scan to stop and save; a second one ends the process at once, whatever
// the scan is doing (a user who presses Ctrl-C twice wants out now).
#include "base/interrupt.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

namespace {

TEST(InterruptSignals, FirstSignalIsDeferredASecondEndsTheProcessAtOnce) {
  ::testing::GTEST_FLAG(death_test_style) = "threadsafe";
  for (int signo : {SIGINT, SIGTERM, SIGHUP}) {
    SCOPED_TRACE(signo);
    EXPECT_EXIT(
        {
          installInterruptHandlers();
          setInterruptDeferred(true);
          gInterruptSignal.store(0);
          ::raise(signo);
          // Deferred: the process goes on, with the signal noted.
          if (gInterruptSignal.load() != signo) ::_exit(3);
          ::raise(signo);
          ::_exit(0);  // reached only if the second was deferred too
        },
        ::testing::KilledBySignal(signo), "");
  }
}

TEST(InterruptSignals, SignalOutsideAScanEndsTheProcessAtOnce) {
  ::testing::GTEST_FLAG(death_test_style) = "threadsafe";
  EXPECT_EXIT(
      {
        installInterruptHandlers();
        setInterruptDeferred(false);
        ::raise(SIGINT);
        ::_exit(0);
      },
      ::testing::KilledBySignal(SIGINT), "");
}

}  // namespace
