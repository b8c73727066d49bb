#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "station/station_status.h"

namespace kestrel {

// The service manager's one-line status of the driver: the server link, the events
// waiting and the serial port, e.g.
//   "registered 10.0.0.5:12543; 0 waiting; COM1 open, last data 2 s ago"
//   "server unreachable for 4 min; 312 waiting, oldest 4 min; COM1 open"
std::string StatusLine(const StationStatus& s);

// Passes a status line on when it differs from the last one passed, at most once
// per second: a change within the second waits for the next offer after it.
class StatusLineThrottle {
 public:
  static constexpr std::uint32_t kMinGapMs = 1000;
  // The line to send now, if any (`now` is the monotonic tick).
  std::optional<std::string> Offer(const std::string& line, std::uint32_t now);
  // An offer now could pass a line on: the caller may skip making one otherwise.
  bool Due(std::uint32_t now) const {
    return !anySent_ || static_cast<std::uint32_t>(now - sentTick_) >= kMinGapMs;
  }

 private:
  std::string sent_;
  bool anySent_ = false;
  std::uint32_t sentTick_ = 0;
};

}  // namespace kestrel
