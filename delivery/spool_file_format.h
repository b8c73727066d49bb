#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "platform/bytes.h"

namespace kestrel {

// The content of a spool file: the command (32-bit, little-endian) and then the
// packet's payload as it would have been sent, nothing else. The writer makes it,
// the drain reads it, and the link compares it before deleting a delivered file:
// only this file knows the layout.
inline constexpr std::size_t kSpoolCommandSize = 4;

Bytes EncodeSpoolFile(std::int32_t command, ByteView payload);

struct SpoolFileContent {
  std::int32_t command = 0;
  ByteView payload;  // a view into the bytes decoded
};

// nullopt when the content is too short to hold a command.
std::optional<SpoolFileContent> DecodeSpoolFile(ByteView content);

// Whether the content is a whole event: the command cmdEvent followed by a
// 19-byte event record whose code length is 2. Nothing else can be told complete.
bool IsCompleteEventFile(ByteView content);

}  // namespace kestrel
