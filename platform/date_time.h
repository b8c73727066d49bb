#pragma once

#include <cstdint>

namespace kestrel {

// A local date-time: days since 1899-12-30 00:00 local time, the fraction being
// the time of day. Durations are fractions of a day.
using DateTime = double;

inline constexpr double kSecondsPerDay = 86400.0;
inline constexpr double kMsPerDay = 86400000.0;
inline constexpr DateTime kOneSecond = 1.0 / kSecondsPerDay;
inline constexpr DateTime kOneMinute = 1.0 / 1440.0;

struct DateTimeFields {
  int year = 1899;
  int month = 12;  // 1..12
  int day = 30;    // 1..31
  int hour = 0;
  int minute = 0;
  int second = 0;
  int millisecond = 0;
  bool operator==(const DateTimeFields&) const = default;
};

// Calendar fields to a date-time (proleptic Gregorian calendar), to the millisecond.
DateTime EncodeDateTime(const DateTimeFields& f);
// A date-time to calendar fields, rounded to the nearest millisecond.
DateTimeFields DecodeDateTime(DateTime t);

}  // namespace kestrel
