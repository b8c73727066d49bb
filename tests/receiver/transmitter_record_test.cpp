#include "receiver/transmitter_record.h"

#include <gtest/gtest.h>

#include "platform/bytes.h"

namespace kestrel {
namespace {

// Every field at its own byte offset, little-endian: a record written by the
// encoder reads back equal, and the bytes are the ones stored tables hold.
TEST(TransmitterRecordTest, LayoutIsFieldByFieldLittleEndian) {
  const TransmitterRecord r{0x01, 0x02, 0x03, 0xBEEF, 0x55, 0xAA, -12.5, 7};
  std::uint8_t bytes[kTransmitterRecordSize];
  EncodeTransmitterRecord(r, bytes);

  Bytes expected = {0x01, 0x02, 0x03, 0xEF, 0xBE, 0x55, 0xAA};
  Bytes when(8);
  PutF64(when.data(), -12.5);
  expected.insert(expected.end(), when.begin(), when.end());
  expected.push_back(7);
  EXPECT_EQ(Bytes(bytes, bytes + kTransmitterRecordSize), expected);

  EXPECT_EQ(DecodeTransmitterRecord(bytes), r);
  EXPECT_EQ(r.Id(), 0x030201u);
  // The fields read in place agree with the whole record.
  EXPECT_EQ(RecordSerialNo(bytes), 0xBEEF);
  EXPECT_EQ(RecordLastHeard(bytes), -12.5);
  EXPECT_EQ(RecordNoTestFlag(bytes), 7);
}

}  // namespace
}  // namespace kestrel
