#include "delivery/event_record.h"

namespace kestrel {

namespace {
constexpr std::size_t kIdOffset = 0;
constexpr std::size_t kFirstNumberOffset = 4;
constexpr std::size_t kStatusFlagOffset = 5;
constexpr std::size_t kCodeLengthOffset = 6;
constexpr std::size_t kCodeOffset = 7;
constexpr std::size_t kCodeSpareOffset = 9;
constexpr std::size_t kTimeOffset = 11;
constexpr std::uint8_t kCodeLength = 2;
}  // namespace

EventBytes EncodeEventRecord(const EventRecord& r) {
  EventBytes out{};
  PutU32(out.data() + kIdOffset, r.TransmitterId);
  out[kFirstNumberOffset] = r.FirstNumber;
  out[kStatusFlagOffset] = r.StatusFlag;
  out[kCodeLengthOffset] = kCodeLength;
  out[kCodeOffset] = static_cast<std::uint8_t>(r.EventCode[0]);
  out[kCodeOffset + 1] = static_cast<std::uint8_t>(r.EventCode[1]);
  out[kCodeSpareOffset] = 0;
  out[kCodeSpareOffset + 1] = 0;
  PutF64(out.data() + kTimeOffset, r.EventTime);
  return out;
}

std::optional<EventRecord> DecodeEventRecord(ByteView bytes) {
  if (bytes.size() != kEventRecordSize) return std::nullopt;
  EventRecord r;
  r.TransmitterId = GetU32(bytes.data() + kIdOffset);
  r.FirstNumber = bytes[kFirstNumberOffset];
  r.StatusFlag = bytes[kStatusFlagOffset];
  r.EventCode[0] = static_cast<char>(bytes[kCodeOffset]);
  r.EventCode[1] = static_cast<char>(bytes[kCodeOffset + 1]);
  r.EventTime = GetF64(bytes.data() + kTimeOffset);
  return r;
}

}  // namespace kestrel
