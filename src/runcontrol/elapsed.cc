#include "runcontrol/elapsed.h"

#include <boost/date_time/posix_time/posix_time.hpp>
#include <boost/format.hpp>

std::string timeConsumedLine(long seconds) {
  return (boost::format("%-34s%s") % "Time Consumed:" %
          boost::posix_time::to_simple_string(boost::posix_time::seconds(seconds)))
      .str();
}
