#include "platform/clock.h"

#include <time.h>

#include <chrono>

namespace kestrel {

DateTime SystemClock::Now() const {
  const auto now = std::chrono::system_clock::now();
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count();
  // Floor division, so that instants before 1970 would still split correctly.
  std::int64_t secs = ms / 1000;
  std::int64_t milli = ms % 1000;
  if (milli < 0) {
    milli += 1000;
    --secs;
  }
  const time_t tt = static_cast<time_t>(secs);
  struct tm local {};
  DateTimeFields f;
  if (localtime_r(&tt, &local) == nullptr) {
    // No local time to be had: fall back to UTC rather than return nonsense.
    if (gmtime_r(&tt, &local) == nullptr) return 0.0;
  }
  f.year = local.tm_year + 1900;
  f.month = local.tm_mon + 1;
  f.day = local.tm_mday;
  f.hour = local.tm_hour;
  f.minute = local.tm_min;
  f.second = local.tm_sec > 59 ? 59 : local.tm_sec;  // a leap second stays in its minute
  f.millisecond = static_cast<int>(milli);
  return EncodeDateTime(f);
}

std::uint32_t SystemClock::TickMs() const {
  timespec ts{};
#ifdef CLOCK_BOOTTIME
  // Counts from system start and keeps counting through suspend.
  if (clock_gettime(CLOCK_BOOTTIME, &ts) != 0)
#endif
  {
    clock_gettime(CLOCK_MONOTONIC, &ts);
  }
  const auto ms = static_cast<std::uint64_t>(ts.tv_sec) * 1000u +
                  static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u;
  return static_cast<std::uint32_t>(ms);  // wraps after about 49.7 days, as documented
}

}  // namespace kestrel
