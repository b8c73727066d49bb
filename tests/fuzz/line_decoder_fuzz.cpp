// Arbitrary bytes, cut into arbitrary chunks, through the line assembler and the
// decoders. Checks the lines against a plain model of the line rules, and that every
// decoded frame encodes back to the digits it came from.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "receiver/line_assembler.h"
#include "receiver/line_decoder.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

bool IsHex(std::uint8_t c) { return kestrel::HexDigitValue(c) >= 0; }

std::uint8_t Upper(std::uint8_t c) { return c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  // The first byte chooses the chunk sizes (1..256 bytes, varying).
  const unsigned seed = data[0];
  ++data;
  --size;

  kestrel::LineAssembler assembler;
  std::vector<std::string> lines;
  std::size_t offset = 0;
  unsigned step = seed;
  while (offset < size) {
    step = step * 1103515245u + 12345u;
    const std::size_t chunk = std::min<std::size_t>(size - offset, 1 + (step >> 16) % 256);
    assembler.Feed(kestrel::ByteView(data + offset, chunk), [&](kestrel::ByteView line) {
      Check(line.size() == kestrel::kLineLength);
      Check(line[11] == kestrel::kLineFeed);
      lines.emplace_back(line.begin(), line.end());

      kestrel::ReceiverFrame frame;
      const bool idOk = kestrel::DecodeLineId(line, frame);
      bool idHex = true;
      for (int i = 0; i < 6; ++i) idHex = idHex && IsHex(line[i]);
      Check(idOk == idHex);
      const bool statusOk = kestrel::DecodeLineStatus(line, frame);
      bool statusHex = true;
      for (int i = 6; i < 10; ++i) statusHex = statusHex && IsHex(line[i]);
      Check(statusOk == statusHex);
      if (idOk && statusOk) {
        const auto hex = kestrel::EncodeFrameHex(frame);
        for (int i = 0; i < 10; ++i) Check(hex[i] == Upper(line[i]));
      }
    });
    Check(assembler.LineIndex() >= 1 &&
          assembler.LineIndex() <= static_cast<std::int32_t>(kestrel::kLineBufferSize) + 1);
    offset += chunk;
  }

  // The model: a line is the bytes since the previous line feed, when they are 11.
  std::vector<std::string> expected;
  std::string current;
  for (std::size_t i = 0; i < size; ++i) {
    if (data[i] == kestrel::kLineFeed) {
      if (current.size() == 11) expected.push_back(current + '\n');
      current.clear();
    } else {
      current.push_back(static_cast<char>(data[i]));
    }
  }
  Check(lines == expected);
  return 0;
}
