#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/bytes.h"

namespace kestrel {

// Every message on the server connection is a block: a 21-byte prefix and one
// packet. A packet is an 18-byte header and an optional payload:
//   0 start marker 0xFF   1 command (32-bit)   5 payload length (32-bit)
//   9 sequence number (64-bit)   17 end marker 0xFE
// The prefix holds the block marker at 0 and the packet length at 5 and 17.
inline constexpr std::size_t kPacketHeaderSize = 18;
inline constexpr std::size_t kBlockPrefixSize = 21;
// The longest reply block the driver accepts; a longer announced length is a
// protocol error and is never allocated.
inline constexpr std::int32_t kMaxReplyBlockLength = 1 << 20;  // 1 MiB

inline constexpr std::uint8_t kPacketStartMarker = 0xFF;
inline constexpr std::uint8_t kPacketEndMarker = 0xFE;
inline constexpr std::uint8_t kBlockMarker = 0xFF;
inline constexpr std::uint8_t kBlockMarkerAlt = 0xF0;  // also accepted from the server

// The packet: header (start marker, command, payload length, sequence, end marker)
// followed by the payload.
Bytes BuildPacket(std::int32_t command, std::int64_t sequence, ByteView payload);
// The block carrying a packet: the 21-byte prefix (0xFF, the packet length at 5 and
// 17, every other byte 0) followed by the packet.
Bytes BuildBlock(ByteView packet);
// Bytes 1..4 of a packet; 0 when it is shorter than 5 bytes.
std::int32_t PacketCommand(ByteView packet);
// Bytes 5..8 (payload length) and 9..16 (sequence) of a packet; 0 when it is too short.
std::int32_t PacketPayloadLength(ByteView packet);
std::int64_t PacketSequence(ByteView packet);

// A reply packet is valid when it has at least the 18 header bytes, byte 0 is 0xFF
// and byte 17 is 0xFE.
bool IsValidReply(ByteView replyBlock);
// The command of a valid reply (bytes 1..4); 0 when the packet is too short.
std::int32_t ReplyCommand(ByteView replyBlock);

// cmdHello: the client type code 44 as an unsigned 16-bit number (2C 00).
Bytes HelloPayload();
// cmdPortInfo, 8 bytes: the name's length (at most 6), the first 6 characters of
// the name, zero fill up to byte 6, and 1 or 0 in byte 7 for an open or closed port.
Bytes PortInfoPayload(const std::string& portNameCp1251, bool portOpen);
// cmdFirstNumber: the low 8 bits of the setting.
Bytes FirstNumberPayload(std::int32_t firstNumber);

// The four numbers of a version text a.b.c.d. The text is cut to 255 characters.
// Without any '.', all four are 0. Otherwise a, b and c are each the part before
// the next '.', which is then removed with its '.'; when no '.' is left the number
// is 0 and nothing is removed. d is the whole rest. A part that is not an integer
// gives 0; each number keeps its low 16 bits. "8.1.4.30" gives 8,1,4,30; "1.2" gives
// 1,0,0,2; "1.2.3" gives 1,2,0,3.
struct VersionNumbers {
  std::uint16_t a = 0, b = 0, c = 0, d = 0;
  bool operator==(const VersionNumbers&) const = default;
};
VersionNumbers ParseVersionText(const std::string& text);
// cmdVersion, 8 bytes: the four numbers as unsigned 16-bit numbers.
Bytes VersionPayload(const std::string& versionText);

}  // namespace kestrel
