#pragma once

#include <string>
#include <string_view>

#include "station/station_status.h"

namespace kestrel {

// The station status as a file in the Prometheus text format (version 0.0.4), for
// a monitoring agent that reads text files: counters end in _total, durations are
// in seconds, every family has its HELP and TYPE lines. Every sample carries the
// label receiver="<receiver>" (the working folder's name), so several drivers of
// one station can write into the folder the agent reads.
std::string FormatMetrics(const StationStatus& s, std::string_view version,
                          std::string_view receiver);

// A label value with backslash, double quote and line feed escaped.
std::string EscapeLabelValue(std::string_view value);

}  // namespace kestrel
