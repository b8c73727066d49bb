#pragma once

#include <cstdint>

#include "platform/date_time.h"

namespace kestrel {

// Time as the system sees it. Passed to whoever needs time, so tests can hand in
// a fake that they advance.
class Clock {
 public:
  virtual ~Clock() = default;
  // The local date-time, millisecond resolution.
  virtual DateTime Now() const = 0;
  // Milliseconds since system start, 32 bits wide (wraps after about 49.7 days).
  // Monotonic: setting the wall clock does not move it.
  virtual std::uint32_t TickMs() const = 0;
};

// The operating system's clock: local time, and a monotonic tick from system start.
class SystemClock final : public Clock {
 public:
  DateTime Now() const override;
  std::uint32_t TickMs() const override;
};

}  // namespace kestrel
