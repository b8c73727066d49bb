#include "delivery/spool_file_format.h"

#include <algorithm>

#include "delivery/commands.h"
#include "delivery/event_record.h"

namespace kestrel {

Bytes EncodeSpoolFile(std::int32_t command, ByteView payload) {
  Bytes content(kSpoolCommandSize + payload.size());
  PutU32(content.data(), static_cast<std::uint32_t>(command));
  std::copy(payload.begin(), payload.end(), content.begin() + kSpoolCommandSize);
  return content;
}

std::optional<SpoolFileContent> DecodeSpoolFile(ByteView content) {
  if (content.size() < kSpoolCommandSize) return std::nullopt;
  SpoolFileContent out;
  out.command = static_cast<std::int32_t>(GetU32(content.data()));
  out.payload = content.subspan(kSpoolCommandSize);
  return out;
}

bool IsCompleteEventFile(ByteView content) {
  const std::optional<SpoolFileContent> file = DecodeSpoolFile(content);
  constexpr std::size_t kCodeLengthAt = 6;  // of the event record
  return file && file->command == cmdEvent && file->payload.size() == kEventRecordSize &&
         file->payload[kCodeLengthAt] == 2;
}

}  // namespace kestrel
