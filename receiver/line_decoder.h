#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "platform/bytes.h"
#include "receiver/receiver_frame.h"

namespace kestrel {

// A receiver line: ten hexadecimal digits (IdHigh, IdMid, IdLow, Status1, Status2,
// two digits each, high nibble first), one byte never examined, a line feed.
inline constexpr std::size_t kLineLength = 12;
inline constexpr std::uint8_t kLineFeed = 10;

// The value of a hexadecimal digit 0-9, A-F, a-f; -1 for any other byte.
int HexDigitValue(std::uint8_t c);

// Two hexadecimal digits, high nibble first; false when either is not a digit.
bool DecodeHexPair(std::uint8_t high, std::uint8_t low, std::uint8_t& out);

// Fills IdHigh, IdMid, IdLow from the first six bytes of a line (positions 1-6).
// False, frame untouched, when a byte is not a hexadecimal digit or the line is
// shorter than six bytes.
bool DecodeLineId(ByteView line, ReceiverFrame& frame);

// Fills Status1, Status2 from bytes 7-10 of a line. False, frame untouched, when a
// byte is not a hexadecimal digit or the line is shorter than ten bytes.
bool DecodeLineStatus(ByteView line, ReceiverFrame& frame);

// The ten upper-case hexadecimal digits of a frame, as the receiver sends them.
std::array<std::uint8_t, 10> EncodeFrameHex(const ReceiverFrame& frame);

}  // namespace kestrel
