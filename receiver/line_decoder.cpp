#include "receiver/line_decoder.h"

namespace kestrel {

int HexDigitValue(std::uint8_t c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool DecodeHexPair(std::uint8_t high, std::uint8_t low, std::uint8_t& out) {
  const int h = HexDigitValue(high);
  const int l = HexDigitValue(low);
  if (h < 0 || l < 0) return false;
  out = static_cast<std::uint8_t>(h * 16 + l);
  return true;
}

bool DecodeLineId(ByteView line, ReceiverFrame& frame) {
  if (line.size() < 6) return false;
  std::uint8_t high = 0, mid = 0, low = 0;
  if (!DecodeHexPair(line[0], line[1], high) || !DecodeHexPair(line[2], line[3], mid) ||
      !DecodeHexPair(line[4], line[5], low)) {
    return false;
  }
  frame.IdHigh = high;
  frame.IdMid = mid;
  frame.IdLow = low;
  return true;
}

bool DecodeLineStatus(ByteView line, ReceiverFrame& frame) {
  if (line.size() < 10) return false;
  std::uint8_t s1 = 0, s2 = 0;
  if (!DecodeHexPair(line[6], line[7], s1) || !DecodeHexPair(line[8], line[9], s2)) {
    return false;
  }
  frame.Status1 = s1;
  frame.Status2 = s2;
  return true;
}

std::array<std::uint8_t, 10> EncodeFrameHex(const ReceiverFrame& frame) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  const std::uint8_t bytes[5] = {frame.IdHigh, frame.IdMid, frame.IdLow, frame.Status1,
                                 frame.Status2};
  std::array<std::uint8_t, 10> out{};
  for (int i = 0; i < 5; ++i) {
    out[2 * i] = static_cast<std::uint8_t>(kDigits[bytes[i] >> 4]);
    out[2 * i + 1] = static_cast<std::uint8_t>(kDigits[bytes[i] & 0x0F]);
  }
  return out;
}

}  // namespace kestrel
