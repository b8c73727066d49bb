#include "platform/clock.h"

#include <gtest/gtest.h>
#include <time.h>

#include <cmath>

namespace kestrel {
namespace {

TEST(SystemClock, NowIsTheLocalDateAndTime) {
  SystemClock clock;
  const time_t before = ::time(nullptr);
  const DateTime now = clock.Now();
  const time_t after = ::time(nullptr);
  struct tm lb {
  }, la{};
  localtime_r(&before, &lb);
  localtime_r(&after, &la);
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
  timespec ts{};
  ASSERT_EQ(clock_gettime(CLOCK_MONOTONIC, &ts), 0);
  const std::uint32_t first = clock.TickMs();
  // Counted from system start, not from process start: at least the monotonic
  // clock's reading (boot time also counts time spent suspended).
  const auto monotonicMs = static_cast<std::uint32_t>(ts.tv_sec * 1000ull + ts.tv_nsec / 1000000);
  EXPECT_GE(static_cast<std::int32_t>(first - monotonicMs), 0);
  std::uint32_t last = first;
  for (int i = 0; i < 1000; ++i) {
    const std::uint32_t t = clock.TickMs();
    EXPECT_GE(static_cast<std::int32_t>(t - last), 0);
    last = t;
  }
}

}  // namespace
}  // namespace kestrel
