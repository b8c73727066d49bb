#include "delivery/event_record.h"

#include <gtest/gtest.h>

namespace kestrel {
namespace {

EventRecord Example() {
  EventRecord r;
  r.TransmitterId = 0x123456;
  r.FirstNumber = 1;
  r.StatusFlag = 1;
  r.EventCode = {'4', '1'};
  r.EventTime = 46000.75;
  return r;
}

TEST(EventRecord, BytesAreWrittenFieldByFieldLittleEndian) {
  const EventBytes bytes = EncodeEventRecord(Example());
  const std::uint8_t head[] = {0x56, 0x34, 0x12, 0x00, 0x01, 0x01, 0x02, 0x34, 0x31, 0x00, 0x00};
  for (std::size_t i = 0; i < sizeof head; ++i) EXPECT_EQ(bytes[i], head[i]) << "byte " << i;
  EXPECT_EQ(GetF64(bytes.data() + 11), 46000.75);
}

TEST(EventRecord, DecodesWhatWasEncoded) {
  const EventBytes bytes = EncodeEventRecord(Example());
  const auto back = DecodeEventRecord(bytes);
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(*back, Example());
}

TEST(EventRecord, DecodeNeedsExactlyNineteenBytes) {
  const EventBytes bytes = EncodeEventRecord(Example());
  EXPECT_FALSE(DecodeEventRecord(ByteView(bytes.data(), 18)));
  Bytes longer(bytes.begin(), bytes.end());
  longer.push_back(0);
  EXPECT_FALSE(DecodeEventRecord(longer));
  EXPECT_FALSE(DecodeEventRecord(ByteView()));
}

}  // namespace
}  // namespace kestrel
