#pragma once

#include <QString>
#include <cstdint>

#include "platform/date_time.h"

namespace kestrel {

// The system's long time format (hours, minutes, seconds), without a time zone.
QString LongTimeFormat();

// The time since the last receiver data as the status page shows it: only the
// time-of-day part of the span, so 25 hours read as one hour.
QString ElapsedText(std::uint32_t elapsedMs);

// A date-time in the system's short date format, a blank, and the long time format.
QString DateTimeText(DateTime t);

}  // namespace kestrel
