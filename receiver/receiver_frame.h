#pragma once

#include <cstdint>

namespace kestrel {

// Unsigned 24-bit transmitter number: IdHigh × 65536 + IdMid × 256 + IdLow.
using TransmitterId = std::uint32_t;

// The five bytes decoded from one receiver line.
struct ReceiverFrame {
  std::uint8_t IdHigh = 0;
  std::uint8_t IdMid = 0;
  std::uint8_t IdLow = 0;
  std::uint8_t Status1 = 0;
  std::uint8_t Status2 = 0;

  TransmitterId Id() const {
    return (TransmitterId{IdHigh} << 16) | (TransmitterId{IdMid} << 8) | IdLow;
  }
  bool operator==(const ReceiverFrame&) const = default;
};

}  // namespace kestrel
