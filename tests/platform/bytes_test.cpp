#include "platform/bytes.h"

#include <gtest/gtest.h>

namespace kestrel {
namespace {

TEST(Bytes, LittleEndianFieldsRoundTrip) {
  std::uint8_t buf[8] = {};
  PutU32(buf, 0x0300003E);
  EXPECT_EQ(buf[0], 0x3E);
  EXPECT_EQ(buf[3], 0x03);
  EXPECT_EQ(GetU32(buf), 0x0300003Eu);
  PutU16(buf, 0x1E08);
  EXPECT_EQ(buf[0], 0x08);
  EXPECT_EQ(GetU16(buf), 0x1E08);
  PutF64(buf, 45000.25);
  EXPECT_EQ(GetF64(buf), 45000.25);
  PutU64(buf, 0x0102030405060708ull);
  EXPECT_EQ(buf[0], 0x08);
  EXPECT_EQ(buf[7], 0x01);
}

}  // namespace
}  // namespace kestrel
