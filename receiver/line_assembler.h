#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>

#include "platform/bytes.h"

namespace kestrel {

inline constexpr std::size_t kLineBufferSize = 2048;

// Collects received bytes into lines. Each byte is stored in LineBuffer at
// LineIndex (1-based); a byte other than a line feed moves LineIndex on; a line
// feed hands the line over when it is the twelfth byte, and in every case sets
// LineIndex back to 1. A line may be spread over any number of Feed calls.
//
// A line that runs past 2048 bytes without a line feed can never be a receiver
// line: bytes beyond position 2048 are counted but not stored (LineIndex stays at
// 2049), and the line is dropped at its line feed like any other wrong length.
class LineAssembler {
 public:
  // Receives the 12 bytes of a complete line (positions 1 to 12, the last a line
  // feed). Runs before the next byte is looked at.
  using LineHandler = std::function<void(ByteView line)>;

  // Takes the bytes in order, calling onLine for every complete line.
  void Feed(ByteView bytes, const LineHandler& onLine);

  // Starts a fresh line: LineIndex 1.
  void Reset() { LineIndex_ = 1; }

  std::int32_t LineIndex() const { return LineIndex_; }
  const std::array<std::uint8_t, kLineBufferSize>& LineBuffer() const { return LineBuffer_; }

 private:
  std::array<std::uint8_t, kLineBufferSize> LineBuffer_{};
  std::int32_t LineIndex_ = 1;
};

}  // namespace kestrel
