#include "progress/dc_progress_bar.h"

#include <gtest/gtest.h>

#include <boost/date_time/posix_time/posix_time.hpp>

#include <iostream>
#include <sstream>
#include <string>

#include "base/run_globals.h"

namespace {

using boost::posix_time::ptime;
using boost::posix_time::seconds;
using boost::posix_time::time_from_string;

const std::string kEnd = "] 100%                  ";

// A bar whose terminal test and clock the test controls.
class FakeBar : public DCProgressBar {
 public:
  FakeBar(uint8_t width, const std::string& title, bool tty)
      : DCProgressBar(width, title), tty_(tty) {}
  void advance(long secs) { clock_ += seconds(secs); }

 protected:
  bool isTerminal() const override { return tty_; }
  ptime now() const override { return clock_; }

 private:
  bool tty_;
  ptime clock_ = time_from_string("2024-03-01 12:00:00");
};

// Captures std::cout and puts its buffer and format back afterwards.
class ProgressBarTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = std::cout.rdbuf(out_.rdbuf());
    flags_ = std::cout.flags();
    precision_ = std::cout.precision();
    myGlobals.updatebw = 10;
  }
  void TearDown() override {
    std::cout.rdbuf(saved_);
    std::cout.flags(flags_);
    std::cout.precision(precision_);
  }
  // Returns and forgets what was written so far.
  std::string take() {
    std::string s = out_.str();
    out_.str("");
    return s;
  }

  std::ostringstream out_;
  std::streambuf* saved_ = nullptr;
  std::ios::fmtflags flags_;
  std::streamsize precision_ = 0;
};

std::string drawn(const std::string& title, const std::string& rate, int marks, int width) {
  return "\r" + title + " | " + rate + " MBps: 0% [" + std::string(marks, '#') +
         std::string(width - marks, ' ') + kEnd;
}

TEST_F(ProgressBarTest, RedirectedOutputGetsOnlyTheEmptyAndTheFinishedBar) {
  {
    FakeBar bar(20, "1.50 KB", false);
    bar.update(-8192);  // opens an interval
    bar.update(1);
    bar.advance(30);
    bar.update(-(int64_t{1} << 30));  // closes it with a throughput
    EXPECT_GT(bar.throughput(), 0.0);
    bar.finish();
    EXPECT_EQ(bar.filled(), 20);
  }
  // No backspaces in a file: the finished bar on a line of its own.
  EXPECT_EQ(take(), "1.50 KB: 0% [" + std::string(20, ' ') + kEnd + "\n1.50 KB: 0% [" + std::string(20, '#') +
                        "] 100%\n");
}

TEST_F(ProgressBarTest, TerminalRedrawsOnlyWhenAnIntervalCloses) {
  FakeBar bar(20, "2.00 GB", true);
  take();

  // A negative value adds one mark and still serves as the byte value, so
  // this first call only opens an interval.
  bar.update(-8192);
  EXPECT_EQ(bar.filled(), 1);
  EXPECT_EQ(take(), "");

  // Within updatebw seconds: no measurement, nothing drawn.
  bar.advance(9);
  bar.update(-8192);
  EXPECT_EQ(bar.filled(), 2);
  EXPECT_EQ(take(), "");

  // 123.456 MiB/s over the 10 s since the interval began.
  bar.advance(1);
  bar.update(1294529987);
  EXPECT_NEAR(bar.throughput(), 123.456, 1e-6);
  EXPECT_EQ(take(), drawn("2.00 GB", "123.46", 2, 20));
  // The stream is left in fixed notation with five decimals.
  std::cout << 0.25;
  EXPECT_EQ(take(), "0.25000");

  // The next call begins a new interval rather than measuring again.
  bar.advance(20);
  bar.update(8192);
  EXPECT_EQ(take(), "");
}

TEST_F(ProgressBarTest, ValuesZeroAndOneRedrawAtOnceOnATerminal) {
  FakeBar bar(4, "t", true);
  take();
  bar.update(-1);
  EXPECT_EQ(take(), drawn("t", "0.00", 1, 4));
  bar.update(0);
  EXPECT_EQ(take(), drawn("t", "0.00", 1, 4));
}

TEST_F(ProgressBarTest, RotateTurnsTheSpinnerAndFillsAtTheEnd) {
  FakeBar bar(3, "t", false);
  take();
  const std::string back(9, '\b');
  bar.rotate();
  bar.rotate();
  EXPECT_EQ(take(), back + "\\  " + kEnd + back + "|  " + kEnd);
  bar.update(-1);
  bar.update(-1);
  bar.rotate();
  bar.rotate();
  bar.rotate();  // wraps after the fourth symbol
  EXPECT_EQ(take(), back + "##/" + kEnd + back + "##-" + kEnd + back + "##\\" + kEnd);
  bar.update(-1);
  bar.rotate();
  EXPECT_EQ(take(), back + "####" + kEnd);
}

}  // namespace
