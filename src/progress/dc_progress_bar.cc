#include "progress/dc_progress_bar.h"

#include <unistd.h>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <ctime>
#include <iomanip>
#include <iostream>

#include "base/run_globals.h"

namespace {

// The end label and the blanks that wipe whatever a longer line left behind.
const char kEndLabel[] = "] 100%                  ";
const char kSpinnerSymbols[] = {'\\', '|', '/', '-'};

}  // namespace

DCProgressBar::DCProgressBar(uint8_t width, const std::string& title)
    : width_(width), intervalStart_(boost::posix_time::second_clock::local_time()), title_(title) {
  int phases = myGlobals.spinnerPhases > 0 ? myGlobals.spinnerPhases : 1;
  for (int i = 0; i < phases; ++i) spinner_.push_back(kSpinnerSymbols[i % 4]);
  std::cout << title_ << ": 0% [" << std::string(width_, ' ') << kEndLabel;
  std::cout.flush();
}

DCProgressBar::~DCProgressBar() = default;

bool DCProgressBar::isTerminal() const { return isatty(STDOUT_FILENO) == 1; }

boost::posix_time::ptime DCProgressBar::now() const {
  // Asked for every block scanned: the local time (time zone rules and
  // all) is worked out again only when the second has changed.
  const std::time_t second = std::time(nullptr);
  if (second != nowSecond_) {
    nowSecond_ = second;
    nowLocal_ = boost::posix_time::second_clock::local_time();
  }
  return nowLocal_;
}

void DCProgressBar::update(int64_t x) {
  if (x < 0) {
    if (filled_ < UINT8_MAX) ++filled_;
    x = -x;
  }
  if (x <= 1) {
    if (isTerminal()) redraw();
    return;
  }
  if (intervalMarker_ == 0) {
    intervalMarker_ = x;
    intervalStart_ = now();
    return;
  }
  int64_t elapsedMs = (now() - intervalStart_).total_microseconds() / 1000;
  if (elapsedMs < static_cast<int64_t>(myGlobals.updatebw) * 1000 || elapsedMs <= 0) return;
  throughput_ = (static_cast<double>(x) / static_cast<double>(elapsedMs)) * (1.0 / 1024) * (1.0 / 1024) * 1000;
  intervalMarker_ = 0;
  if (isTerminal()) redraw();
}

void DCProgressBar::redraw() {
  std::cout << '\r' << title_ << " | " << std::fixed << std::setprecision(2) << throughput_ << " MBps"
            << ": 0% [" << std::string(filled_, '#');
  if (filled_ < width_) std::cout << std::string(width_ - filled_, ' ');
  std::cout << kEndLabel;
  std::cout.flush();
  std::cout.precision(5);
}

void DCProgressBar::finish() {
  filled_ = width_;
  if (isTerminal()) {
    std::cout << std::string(width_ + 24, '\b') << std::string(width_, '#') << "] 100%" << '\n';
  } else {
    // A file or pipe cannot be drawn over: the full bar goes on a line of
    // its own instead of backspaces over the first.
    std::cout << '\n' << title_ << ": 0% [" << std::string(width_, '#') << "] 100%" << '\n';
  }
  std::cout.flush();
}

void DCProgressBar::rotate() {
  std::cout << std::string(width_ + 6, '\b') << std::string(filled_, '#');
  int drawn = filled_;
  if (filled_ < width_) {
    std::cout << spinner_[spinnerIndex_];
    spinnerIndex_ = static_cast<uint8_t>((spinnerIndex_ + 1) % spinner_.size());
    ++drawn;
  } else if (filled_ == width_) {
    std::cout << '#';
    ++drawn;
  }
  if (drawn < width_) std::cout << std::string(width_ - drawn, ' ');
  std::cout << kEndLabel;
  std::cout.flush();
}
