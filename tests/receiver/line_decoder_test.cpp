#include "receiver/line_decoder.h"

#include <gtest/gtest.h>

#include <cctype>
#include <string>

namespace kestrel {
namespace {

ByteView View(const std::string& s) {
  return ByteView(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
}

TEST(HexDigitValueTest, AcceptsExactlyTheHexDigits) {
  for (int c = 0; c < 256; ++c) {
    const int v = HexDigitValue(static_cast<std::uint8_t>(c));
    if (std::isxdigit(c)) {
      const int expected = std::isdigit(c) ? c - '0' : std::tolower(c) - 'a' + 10;
      EXPECT_EQ(v, expected) << c;
    } else {
      EXPECT_EQ(v, -1) << c;
    }
  }
}

struct DecodeCase {
  const char* text;
  bool idOk;
  bool statusOk;
  ReceiverFrame frame;  // the fields that decoded; the others stay 0
};

const DecodeCase kDecodeCases[] = {
    {"0A1B2C0384\r", true, true, {0x0A, 0x1B, 0x2C, 0x03, 0x84}},
    {"0a1b2c0384\r", true, true, {0x0A, 0x1B, 0x2C, 0x03, 0x84}},
    {"FFFFFFffff", true, true, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
    {"0000000000", true, true, {}},
    {"G A1B2CZZ84", false, false, {}},
    {"0A1B2G0384", false, true, {0, 0, 0, 0x03, 0x84}},
    {" A1B2C0384", false, true, {0, 0, 0, 0x03, 0x84}},
    {"+A1B2C0384", false, true, {0, 0, 0, 0x03, 0x84}},
    {"0A1B2C03Z4", true, false, {0x0A, 0x1B, 0x2C, 0, 0}},
    {"0A1B2C-384", true, false, {0x0A, 0x1B, 0x2C, 0, 0}},
    {"0A1B2C038", true, false, {0x0A, 0x1B, 0x2C, 0, 0}},  // too short for the status
    {"0A1B2", false, false, {}},                           // too short for the id
};

TEST(LineDecoderTest, DecodesIdAndStatusSeparately) {
  for (const auto& c : kDecodeCases) {
    const std::string text = c.text;
    ReceiverFrame frame;
    EXPECT_EQ(DecodeLineId(View(text), frame), c.idOk) << text;
    EXPECT_EQ(DecodeLineStatus(View(text), frame), c.statusOk) << text;
    EXPECT_EQ(frame, c.frame) << text;
  }
}

TEST(LineDecoderTest, IdIsTheTwentyFourBitNumber) {
  ReceiverFrame frame;
  ASSERT_TRUE(DecodeLineId(View("0A1B2C"), frame));
  EXPECT_EQ(frame.Id(), 10u * 65536 + 27 * 256 + 44);
}

TEST(LineDecoderTest, EncodedFramesDecodeToThemselves) {
  for (int v = 0; v < 256; ++v) {
    const auto b = static_cast<std::uint8_t>(v);
    const ReceiverFrame frame{b, static_cast<std::uint8_t>(255 - v),
                              static_cast<std::uint8_t>(v * 7), static_cast<std::uint8_t>(v ^ 0x5A),
                              b};
    const auto hex = EncodeFrameHex(frame);
    ReceiverFrame back;
    ASSERT_TRUE(DecodeLineId(hex, back));
    ASSERT_TRUE(DecodeLineStatus(hex, back));
    EXPECT_EQ(back, frame);
  }
  const auto hex = EncodeFrameHex({0x0A, 0x1B, 0x2C, 0x03, 0x84});
  EXPECT_EQ(std::string(hex.begin(), hex.end()), "0A1B2C0384");
}

}  // namespace
}  // namespace kestrel
