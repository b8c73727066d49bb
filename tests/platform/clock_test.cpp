#include "platform/clock.h"

#include <gtest/gtest.h>
#include <time.h>

#include <cmath>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#endif

namespace kestrel {
namespace {

void LocalTimeOf(time_t t, struct tm& out) {
#ifdef _WIN32
  localtime_s(&out, &t);
#else
  localtime_r(&t, &out);
#endif
}

// Milliseconds since system start as the system itself counts them, 32 bits wide.
std::uint32_t SystemUptimeMs() {
#ifdef _WIN32
  return static_cast<std::uint32_t>(::GetTickCount64());
#else
  timespec ts{};
  EXPECT_EQ(clock_gettime(CLOCK_MONOTONIC, &ts), 0);
  return static_cast<std::uint32_t>(ts.tv_sec * 1000ull + ts.tv_nsec / 1000000);
#endif
}

TEST(SystemClock, NowIsTheLocalDateAndTime) {
  SystemClock clock;
  const time_t before = ::time(nullptr);
  const DateTime now = clock.Now();
  const time_t after = ::time(nullptr);
  struct tm lb {
  }, la{};
  LocalTimeOf(before, lb);
  LocalTimeOf(after, la);
  const DateTimeFields f = DecodeDateTime(now);
  // Compare to the second; the two calls to time() bracket the reading.
  const DateTime lo = EncodeDateTime(
      {lb.tm_year + 1900, lb.tm_mon + 1, lb.tm_mday, lb.tm_hour, lb.tm_min, lb.tm_sec, 0});
  const DateTime hi = EncodeDateTime(
      {la.tm_year + 1900, la.tm_mon + 1, la.tm_mday, la.tm_hour, la.tm_min, la.tm_sec, 999});
  EXPECT_GE(now, lo - 1e-9);
  EXPECT_LE(now, hi + 1e-9);
  EXPECT_GE(f.year, 2020);
}

TEST(SystemClock, TickCountsFromSystemStartAndNeverGoesBack) {
  SystemClock clock;
  const std::uint32_t uptimeMs = SystemUptimeMs();
  const std::uint32_t first = clock.TickMs();
  // Counted from system start, not from process start: at least the monotonic
  // clock's reading (boot time also counts time spent suspended).
  EXPECT_GE(static_cast<std::int32_t>(first - uptimeMs), 0);
  std::uint32_t last = first;
  for (int i = 0; i < 1000; ++i) {
    const std::uint32_t t = clock.TickMs();
    EXPECT_GE(static_cast<std::int32_t>(t - last), 0);
    last = t;
  }
}

}  // namespace
}  // namespace kestrel
