#include "delivery/packet.h"

#include <algorithm>
#include <charconv>

#include "delivery/commands.h"

namespace kestrel {

namespace {

constexpr std::size_t kMaxVersionTextLength = 255;

// A version part as a signed 32-bit decimal integer (optional sign), else 0.
std::int32_t PartToInt(const std::string& part) {
  const char* first = part.data();
  const char* last = part.data() + part.size();
  if (first != last && *first == '+') ++first;
  std::int32_t value = 0;
  const auto [ptr, ec] = std::from_chars(first, last, value);
  if (ec != std::errc() || ptr != last || first == last) return 0;
  return value;
}

std::uint16_t Low16(std::int32_t v) { return static_cast<std::uint16_t>(v); }

}  // namespace

Bytes BuildPacket(std::int32_t command, std::int64_t sequence, ByteView payload) {
  Bytes packet(kPacketHeaderSize + payload.size());
  packet[0] = kPacketStartMarker;
  PutU32(&packet[1], static_cast<std::uint32_t>(command));
  PutU32(&packet[5], static_cast<std::uint32_t>(payload.size()));
  PutU64(&packet[9], static_cast<std::uint64_t>(sequence));
  packet[17] = kPacketEndMarker;
  std::copy(payload.begin(), payload.end(), packet.begin() + kPacketHeaderSize);
  return packet;
}

Bytes BuildBlock(ByteView packet) {
  Bytes block(kBlockPrefixSize + packet.size(), 0);
  block[0] = kBlockMarker;
  const auto length = static_cast<std::uint32_t>(packet.size());
  PutU32(&block[5], length);
  PutU32(&block[17], length);
  std::copy(packet.begin(), packet.end(), block.begin() + kBlockPrefixSize);
  return block;
}

std::int32_t PacketCommand(ByteView packet) {
  if (packet.size() < 5) return 0;
  return static_cast<std::int32_t>(GetU32(&packet[1]));
}

std::int32_t PacketPayloadLength(ByteView packet) {
  if (packet.size() < 9) return 0;
  return static_cast<std::int32_t>(GetU32(&packet[5]));
}

std::int64_t PacketSequence(ByteView packet) {
  if (packet.size() < 17) return 0;
  return static_cast<std::int64_t>(GetU64(&packet[9]));
}

bool IsValidReply(ByteView replyBlock) {
  return replyBlock.size() >= kPacketHeaderSize && replyBlock[0] == kPacketStartMarker &&
         replyBlock[17] == kPacketEndMarker;
}

std::int32_t ReplyCommand(ByteView replyBlock) { return PacketCommand(replyBlock); }

Bytes HelloPayload() {
  Bytes payload(2);
  PutU16(payload.data(), kClientTypeCode);
  return payload;
}

Bytes PortInfoPayload(const std::string& portNameCp1251, bool portOpen) {
  Bytes payload(8, 0);
  const std::size_t n = std::min<std::size_t>(portNameCp1251.size(), 6);
  payload[0] = static_cast<std::uint8_t>(n);
  for (std::size_t i = 0; i < n; ++i) payload[1 + i] = static_cast<std::uint8_t>(portNameCp1251[i]);
  payload[7] = portOpen ? 1 : 0;
  return payload;
}

Bytes FirstNumberPayload(std::int32_t firstNumber) {
  return Bytes{static_cast<std::uint8_t>(firstNumber)};
}

VersionNumbers ParseVersionText(const std::string& text) {
  std::string rest = text.substr(0, kMaxVersionTextLength);
  VersionNumbers v;
  if (rest.find('.') == std::string::npos) return v;
  std::uint16_t* const leading[] = {&v.a, &v.b, &v.c};
  for (std::uint16_t* number : leading) {
    const auto dot = rest.find('.');
    if (dot == std::string::npos) {
      *number = 0;
      continue;
    }
    *number = Low16(PartToInt(rest.substr(0, dot)));
    rest.erase(0, dot + 1);
  }
  v.d = Low16(PartToInt(rest));
  return v;
}

Bytes VersionPayload(const std::string& versionText) {
  const VersionNumbers v = ParseVersionText(versionText);
  Bytes payload(8);
  PutU16(&payload[0], v.a);
  PutU16(&payload[2], v.b);
  PutU16(&payload[4], v.c);
  PutU16(&payload[6], v.d);
  return payload;
}

}  // namespace kestrel
