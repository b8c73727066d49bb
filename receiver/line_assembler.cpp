#include "receiver/line_assembler.h"

#include "receiver/line_decoder.h"

namespace kestrel {

void LineAssembler::Feed(ByteView bytes, const LineHandler& onLine) {
  constexpr auto kPastEnd = static_cast<std::int32_t>(kLineBufferSize) + 1;
  for (const std::uint8_t byte : bytes) {
    if (LineIndex_ < kPastEnd) LineBuffer_[static_cast<std::size_t>(LineIndex_ - 1)] = byte;
    if (byte != kLineFeed) {
      if (LineIndex_ < kPastEnd) ++LineIndex_;
      continue;
    }
    const bool complete = LineIndex_ == static_cast<std::int32_t>(kLineLength);
    // Back to 1 before the line is handled, so a handler that fails cannot leave
    // the assembler in the middle of a finished line.
    LineIndex_ = 1;
    if (complete && onLine) onLine(ByteView(LineBuffer_.data(), kLineLength));
  }
}

}  // namespace kestrel
