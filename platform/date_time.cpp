#include "platform/date_time.h"

#include <cmath>
#include <cstdint>

namespace kestrel {
namespace {

// Day 0 of the date-time scale, 1899-12-30, counted from 1970-01-01.
constexpr std::int64_t kEpochOffsetDays = -25569;
constexpr std::int64_t kMsPerDayInt = 86400000;

// Days since 1970-01-01 of a proleptic Gregorian date (month 1..12).
std::int64_t DaysFromCivil(std::int64_t y, int m, int d) {
  y -= m <= 2 ? 1 : 0;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const std::int64_t yoe = y - era * 400;
  const std::int64_t mp = (m + 9) % 12;  // March is 0
  const std::int64_t doy = (153 * mp + 2) / 5 + d - 1;
  const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

void CivilFromDays(std::int64_t z, DateTimeFields& f) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const std::int64_t doe = z - era * 146097;
  const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const std::int64_t mp = (5 * doy + 2) / 153;
  f.day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  f.month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  f.year = static_cast<int>(yoe + era * 400 + (f.month <= 2 ? 1 : 0));
}

}  // namespace

DateTime EncodeDateTime(const DateTimeFields& f) {
  const std::int64_t days = DaysFromCivil(f.year, f.month, f.day) - kEpochOffsetDays;
  const std::int64_t msOfDay =
      ((static_cast<std::int64_t>(f.hour) * 60 + f.minute) * 60 + f.second) * 1000 + f.millisecond;
  return static_cast<double>(days) + static_cast<double>(msOfDay) / kMsPerDay;
}

DateTimeFields DecodeDateTime(DateTime t) {
  DateTimeFields f;
  if (!std::isfinite(t) || std::fabs(t) > 1.0e7) return f;  // far outside any real date
  // Rounding the whole value to the millisecond first lets 23:59:59.9996 carry
  // into the next day instead of showing a 1000th millisecond.
  const auto totalMs = static_cast<std::int64_t>(std::llround(t * kMsPerDay));
  std::int64_t days = totalMs / kMsPerDayInt;
  std::int64_t msOfDay = totalMs % kMsPerDayInt;
  if (msOfDay < 0) {
    msOfDay += kMsPerDayInt;
    --days;
  }
  CivilFromDays(days + kEpochOffsetDays, f);
  f.millisecond = static_cast<int>(msOfDay % 1000);
  f.second = static_cast<int>(msOfDay / 1000 % 60);
  f.minute = static_cast<int>(msOfDay / 60000 % 60);
  f.hour = static_cast<int>(msOfDay / 3600000);
  return f;
}

}  // namespace kestrel
