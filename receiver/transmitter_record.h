#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/bytes.h"
#include "platform/date_time.h"
#include "receiver/receiver_frame.h"

namespace kestrel {

// The layout of one record of the transmitter table file num.mmm: 16 bytes,
// little-endian, no gaps. Only this file knows where a field lies.
//   0 IdLow, 1 IdMid, 2 IdHigh, 3-4 SerialNo (16-bit), 5 Status1, 6 Status2,
//   7-14 LastHeard (double, days), 15 NoTestFlag.
inline constexpr std::size_t kTransmitterRecordSize = 16;

struct TransmitterRecord {
  std::uint8_t IdLow = 0;
  std::uint8_t IdMid = 0;
  std::uint8_t IdHigh = 0;
  std::uint16_t SerialNo = 0;
  std::uint8_t Status1 = 0;
  std::uint8_t Status2 = 0;
  DateTime LastHeard = 0;
  std::uint8_t NoTestFlag = 0;

  TransmitterId Id() const {
    return (TransmitterId{IdHigh} << 16) | (TransmitterId{IdMid} << 8) | IdLow;
  }
  bool operator==(const TransmitterRecord&) const = default;
};

// The whole record, field by field.
void EncodeTransmitterRecord(const TransmitterRecord& r, std::uint8_t* out16);
TransmitterRecord DecodeTransmitterRecord(const std::uint8_t* in16);

// Where each field starts.
namespace record_layout {
inline constexpr std::size_t kIdLowAt = 0;
inline constexpr std::size_t kIdMidAt = 1;
inline constexpr std::size_t kIdHighAt = 2;
inline constexpr std::size_t kSerialNoAt = 3;
inline constexpr std::size_t kStatus1At = 5;
inline constexpr std::size_t kStatus2At = 6;
inline constexpr std::size_t kLastHeardAt = 7;
inline constexpr std::size_t kNoTestFlagAt = 15;
static_assert(kNoTestFlagAt + 1 == kTransmitterRecordSize);
}  // namespace record_layout

// Single fields read in place, for scans over the whole table that must not
// decode every record (inline: they run once per record and tick).
inline std::uint16_t RecordSerialNo(const std::uint8_t* in16) {
  return GetU16(in16 + record_layout::kSerialNoAt);
}
inline DateTime RecordLastHeard(const std::uint8_t* in16) {
  return GetF64(in16 + record_layout::kLastHeardAt);
}
inline std::uint8_t RecordNoTestFlag(const std::uint8_t* in16) {
  return in16[record_layout::kNoTestFlagAt];
}

}  // namespace kestrel
