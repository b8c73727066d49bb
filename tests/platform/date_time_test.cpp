#include "platform/date_time.h"

#include <gtest/gtest.h>

#include <cmath>

namespace kestrel {
namespace {

struct KnownDate {
  DateTimeFields fields;
  DateTime value;
};

// Values of the date-time scale that other systems using it agree on.
const KnownDate kKnownDates[] = {
    {{1899, 12, 30, 0, 0, 0, 0}, 0.0},
    {{1899, 12, 31, 0, 0, 0, 0}, 1.0},
    {{1900, 1, 1, 0, 0, 0, 0}, 2.0},
    {{1900, 3, 1, 0, 0, 0, 0}, 61.0},  // 1900 is not a leap year
    {{2000, 1, 1, 0, 0, 0, 0}, 36526.0},
    {{2000, 2, 29, 0, 0, 0, 0}, 36585.0},
    {{2000, 1, 1, 12, 0, 0, 0}, 36526.5},
    {{2000, 1, 1, 6, 0, 0, 0}, 36526.25},
    {{1970, 1, 1, 0, 0, 0, 0}, 25569.0},
    {{2024, 2, 29, 0, 0, 0, 0}, 45351.0},
    {{2100, 3, 1, 0, 0, 0, 0}, 73110.0},
};

TEST(DateTime, KnownDatesEncodeAndDecode) {
  for (const auto& k : kKnownDates) {
    SCOPED_TRACE(k.value);
    EXPECT_EQ(EncodeDateTime(k.fields), k.value);
    EXPECT_EQ(DecodeDateTime(k.value), k.fields);
  }
}

TEST(DateTime, EveryDayFrom1900To2200RoundTripsAndFollowsTheCalendar) {
  const int daysIn[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  DateTime expected = EncodeDateTime({1900, 1, 1, 0, 0, 0, 0});
  for (int y = 1900; y < 2200; ++y) {
    const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    for (int m = 1; m <= 12; ++m) {
      const int last = daysIn[m - 1] + (m == 2 && leap ? 1 : 0);
      for (int d = 1; d <= last; ++d) {
        const DateTimeFields f{y, m, d, 13, 7, 42, 999};
        const DateTime t = EncodeDateTime(f);
        ASSERT_DOUBLE_EQ(std::floor(t), expected) << y << "-" << m << "-" << d;
        ASSERT_EQ(DecodeDateTime(t), f) << y << "-" << m << "-" << d;
        expected += 1.0;
      }
    }
  }
}

TEST(DateTime, EveryMillisecondOfADayRoundTrips) {
  for (int ms = 0; ms < 86400000; ms += 7) {
    const DateTimeFields f{2026, 12, 8, ms / 3600000, ms / 60000 % 60, ms / 1000 % 60, ms % 1000};
    ASSERT_EQ(DecodeDateTime(EncodeDateTime(f)), f) << ms;
  }
}

TEST(DateTime, DecodeRoundsToTheNearestMillisecond) {
  struct Case {
    double msOfDay;  // position within 2026-12-08, in milliseconds
    DateTimeFields expected;
  };
  const Case cases[] = {
      {73530123.0, {2026, 12, 8, 20, 25, 30, 123}},
      {73530123.4, {2026, 12, 8, 20, 25, 30, 123}},
      {73530122.6, {2026, 12, 8, 20, 25, 30, 123}},
      {59999.7, {2026, 12, 8, 0, 1, 0, 0}},
      // The last fraction of a millisecond of the day carries into the next day.
      {86399999.6, {2026, 12, 9, 0, 0, 0, 0}},
      {86399999.4, {2026, 12, 8, 23, 59, 59, 999}},
  };
  const DateTime day = EncodeDateTime({2026, 12, 8, 0, 0, 0, 0});
  for (const auto& c : cases) {
    SCOPED_TRACE(c.msOfDay);
    EXPECT_EQ(DecodeDateTime(day + c.msOfDay / kMsPerDay), c.expected);
  }
  // The end of a year carries into the next year.
  const DateTime newYear = EncodeDateTime({2027, 1, 1, 0, 0, 0, 0});
  EXPECT_EQ(DecodeDateTime(newYear - 0.0004 / kMsPerDay), (DateTimeFields{2027, 1, 1}));
}

TEST(DateTime, DurationsAreFractionsOfADay) {
  const DateTime t = EncodeDateTime({2026, 12, 8, 20, 25, 30, 123});
  EXPECT_EQ(DecodeDateTime(t + 10 * kOneSecond), (DateTimeFields{2026, 12, 8, 20, 25, 40, 123}));
  EXPECT_EQ(DecodeDateTime(t + 30 * kOneMinute), (DateTimeFields{2026, 12, 8, 20, 55, 30, 123}));
  EXPECT_EQ(DecodeDateTime(t + 4 * 60 * kOneMinute), (DateTimeFields{2026, 12, 9, 0, 25, 30, 123}));
}

TEST(DateTime, NonsenseValuesDecodeWithoutFault) {
  for (double v : {double{NAN}, double{INFINITY}, double{-INFINITY}, 1e300, -1e300}) {
    EXPECT_EQ(DecodeDateTime(v), DateTimeFields{});
  }
}

}  // namespace
}  // namespace kestrel
