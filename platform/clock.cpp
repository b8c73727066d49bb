#include "platform/clock.h"

#include <time.h>

#include <chrono>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#endif

namespace kestrel {
namespace {

// The calendar fields of `t` in local time; false when there are none to be had.
bool LocalTime(time_t t, struct tm& out) {
#ifdef _WIN32
  return localtime_s(&out, &t) == 0;
#else
  return localtime_r(&t, &out) != nullptr;
#endif
}

bool UtcTime(time_t t, struct tm& out) {
#ifdef _WIN32
  return gmtime_s(&out, &t) == 0;
#else
  return gmtime_r(&t, &out) != nullptr;
#endif
}

}  // namespace

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
  if (!LocalTime(tt, local)) {
    // No local time to be had: fall back to UTC rather than return nonsense.
    if (!UtcTime(tt, local)) return 0.0;
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
#ifdef _WIN32
  // Windows' own tick: milliseconds since system start, 32 bits, wrapping after 49.7 days.
  return static_cast<std::uint32_t>(::GetTickCount());
#else
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
#endif
}

}  // namespace kestrel
