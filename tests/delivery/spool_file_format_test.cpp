#include "delivery/spool_file_format.h"

#include <gtest/gtest.h>

#include <string>

#include "delivery/commands.h"
#include "delivery/event_record.h"

namespace kestrel {
namespace {

Bytes EventPayload() {
  const EventBytes e = EncodeEventRecord({0x0A1B2C, 3, 1, {'E', '1'}, 45000.5});
  return Bytes(e.begin(), e.end());
}

TEST(SpoolFileFormatTest, CommandLittleEndianThenThePayload) {
  const Bytes payload = {0xAA, 0xBB, 0xCC};
  EXPECT_EQ(EncodeSpoolFile(0x01020304, payload),
            (Bytes{0x04, 0x03, 0x02, 0x01, 0xAA, 0xBB, 0xCC}));
  EXPECT_EQ(EncodeSpoolFile(-2, {}), (Bytes{0xFE, 0xFF, 0xFF, 0xFF}));

  const Bytes content = EncodeSpoolFile(cmdEvent, EventPayload());
  const auto decoded = DecodeSpoolFile(content);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->command, cmdEvent);
  EXPECT_EQ(Bytes(decoded->payload.begin(), decoded->payload.end()), EventPayload());

  const Bytes bare = {0xFE, 0xFF, 0xFF, 0xFF};
  const auto commandOnly = DecodeSpoolFile(bare);
  ASSERT_TRUE(commandOnly);
  EXPECT_EQ(commandOnly->command, -2);
  EXPECT_TRUE(commandOnly->payload.empty());
  EXPECT_FALSE(DecodeSpoolFile(Bytes{1, 2, 3}));
  EXPECT_FALSE(DecodeSpoolFile(Bytes{}));
}

TEST(SpoolFileFormatTest, OnlyAWholeEventIsComplete) {
  const Bytes event = EventPayload();
  Bytes badLength = event;
  badLength[6] = 3;
  const struct {
    const char* what;
    Bytes content;
    bool complete;
  } cases[] = {
      {"whole event", EncodeSpoolFile(cmdEvent, event), true},
      {"other command", EncodeSpoolFile(cmdKeepAlive, event), false},
      {"code length not 2", EncodeSpoolFile(cmdEvent, badLength), false},
      {"one byte short", EncodeSpoolFile(cmdEvent, ByteView(event).first(event.size() - 1)), false},
      {"one byte over",
       [&] {
         Bytes c = EncodeSpoolFile(cmdEvent, event);
         c.push_back(0);
         return c;
       }(),
       false},
      {"command only", EncodeSpoolFile(cmdEvent, {}), false},
      {"empty", Bytes{}, false},
  };
  for (const auto& c : cases) EXPECT_EQ(IsCompleteEventFile(c.content), c.complete) << c.what;
}

}  // namespace
}  // namespace kestrel
