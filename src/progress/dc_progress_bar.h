// One console line with a title, the read throughput and a bar of '#' marks.
// The bar redraws itself in place only when standard output is a terminal;
// redirected output gets the empty bar and the finished bar, nothing between.
#ifndef DEZEVAZIR_PROGRESS_DC_PROGRESS_BAR_H_
#define DEZEVAZIR_PROGRESS_DC_PROGRESS_BAR_H_

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

class DCProgressBar {
 public:
  // Writes the empty bar at once.
  DCProgressBar(uint8_t width, const std::string& title);
  virtual ~DCProgressBar();
  DCProgressBar(const DCProgressBar&) = delete;
  DCProgressBar& operator=(const DCProgressBar&) = delete;

  // x < 0 adds one mark and then stands for -x. A value of 2 or more opens a
  // measuring interval, or closes it after at least `updatebw` seconds with
  // throughput = x bytes over the interval.
  void update(int64_t x);
  // Draws the full bar and ends the line.
  void finish();
  // Redraws with a turning spinner after the last mark.
  void rotate();

  double throughput() const { return throughput_; }
  uint8_t filled() const { return filled_; }

 protected:
  // Hooks for tests: the terminal test and the local wall clock (whole
  // seconds). Not consulted by the constructor.
  virtual bool isTerminal() const;
  virtual boost::posix_time::ptime now() const;

 private:
  void redraw();

  uint8_t width_;
  boost::posix_time::ptime intervalStart_;
  int64_t intervalMarker_ = 0;  // 0: no interval runs
  double throughput_ = 0.0;     // MiB per second
  uint8_t filled_ = 0;
  std::string title_;
  std::vector<char> spinner_;
  uint8_t spinnerIndex_ = 0;
  mutable std::time_t nowSecond_ = -1;  // the second nowLocal_ was taken in
  mutable boost::posix_time::ptime nowLocal_;
};

#endif  // DEZEVAZIR_PROGRESS_DC_PROGRESS_BAR_H_
