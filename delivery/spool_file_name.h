#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/date_time.h"

namespace kestrel {

// The number behind a spool file name: ((D × 86400 + h × 3600 + m × 60 + s) × 1000 + ms)
// of the local date-time t, D being the day of the month. Runs from 86 400 000 (the 1st
// at midnight) to 2 764 799 999 (the last millisecond of the 31st); repeats every month.
std::uint32_t SpoolFileNumber(DateTime t);

// A spool file number as its name: upper-case hexadecimal, no leading zeros, no prefix.
std::string SpoolNumberText(std::uint32_t n);

// The base name of the spool file for the local date-time t (without prefix and
// extension): "2D94DB0B" for the 8th at 20:25:30.123.
std::string SpoolFileName(DateTime t);

// The number a base name stands for, when it is 1 to 8 hexadecimal digits (either case).
std::optional<std::uint32_t> ParseSpoolNumber(std::string_view baseName);

}  // namespace kestrel
