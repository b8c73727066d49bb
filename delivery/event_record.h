#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "platform/bytes.h"
#include "platform/date_time.h"

namespace kestrel {

inline constexpr std::size_t kEventRecordSize = 19;

// One event, as the server receives it (19 bytes, packed, little-endian):
//   0  TransmitterId (32-bit)   4  FirstNumber   5  StatusFlag
//   6  code length (always 2)   7  two code characters   9  two spare bytes (0)
//  11  EventTime (double, local date-time)
struct EventRecord {
  std::uint32_t TransmitterId = 0;
  std::uint8_t FirstNumber = 0;
  std::uint8_t StatusFlag = 0;
  std::array<char, 2> EventCode{};
  DateTime EventTime = 0;
  bool operator==(const EventRecord&) const = default;
};

using EventBytes = std::array<std::uint8_t, kEventRecordSize>;

EventBytes EncodeEventRecord(const EventRecord& r);
// nullopt unless exactly 19 bytes.
std::optional<EventRecord> DecodeEventRecord(ByteView bytes);

}  // namespace kestrel
