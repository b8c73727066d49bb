#include "delivery/packet.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "delivery/commands.h"

namespace kestrel {
namespace {

Bytes Concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST(PacketTest, HelloOfTheFirstConnection) {
  const Bytes packet = BuildPacket(cmdHello, 0, HelloPayload());
  EXPECT_EQ(packet, (Bytes{0xFF, 0x01, 0x00, 0x00, 0x02, 0x02, 0x00, 0x00, 0x00, 0x00,
                           0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xFE, 0x2C, 0x00}));

  const Bytes block = BuildBlock(packet);
  ASSERT_EQ(block.size(), 41u);
  Bytes prefix(21, 0);
  prefix[0] = 0xFF;
  prefix[5] = 20;
  prefix[17] = 20;
  EXPECT_EQ(block, Concat(prefix, packet));
}

TEST(PacketTest, KeepAliveHasNoPayloadAndSequenceZero) {
  const Bytes packet = BuildPacket(cmdKeepAlive, 0, {});
  EXPECT_EQ(packet, (Bytes{0xFF, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00, 0, 0, 0, 0, 0, 0,
                           0, 0, 0xFE}));
  EXPECT_EQ(BuildBlock(packet).size(), 39u);
}

TEST(PacketTest, EventPacketCarriesItsPayloadAndSequence) {
  Bytes payload(19);
  for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<std::uint8_t>(i + 1);
  const std::int64_t sequence = 0x0102030405060708;
  const Bytes packet = BuildPacket(cmdEvent, sequence, payload);
  ASSERT_EQ(packet.size(), 37u);
  EXPECT_EQ(Bytes(packet.begin() + 1, packet.begin() + 5), (Bytes{0x3E, 0x00, 0x00, 0x03}));
  EXPECT_EQ(Bytes(packet.begin() + 5, packet.begin() + 9), (Bytes{19, 0, 0, 0}));
  EXPECT_EQ(Bytes(packet.begin() + 9, packet.begin() + 17),
            (Bytes{0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01}));
  EXPECT_EQ(packet[17], 0xFE);
  EXPECT_EQ(Bytes(packet.begin() + 18, packet.end()), payload);
  EXPECT_EQ(PacketCommand(packet), cmdEvent);
  EXPECT_EQ(PacketPayloadLength(packet), 19);
  EXPECT_EQ(PacketSequence(packet), sequence);

  const Bytes block = BuildBlock(packet);
  ASSERT_EQ(block.size(), 58u);
  EXPECT_EQ(GetU32(&block[5]), 37u);
  EXPECT_EQ(GetU32(&block[17]), 37u);
}

TEST(PacketTest, CommandsAboveTheSignedRangeKeepTheirBytes) {
  // Negative sequence numbers and the 0x02FFFFxx codes travel as their bit patterns.
  const Bytes packet = BuildPacket(cmdQueryAnswer, -1, {});
  EXPECT_EQ(Bytes(packet.begin() + 1, packet.begin() + 5), (Bytes{0xFF, 0xFF, 0xFF, 0x02}));
  EXPECT_EQ(PacketSequence(packet), -1);
  EXPECT_EQ(ReplyCommand(packet), cmdQueryAnswer);
}

TEST(PacketTest, ReplyTest) {
  const Bytes good = BuildPacket(cmdRegistered, 5, Bytes{1, 2, 3});
  EXPECT_TRUE(IsValidReply(good));
  EXPECT_EQ(ReplyCommand(good), cmdRegistered);

  Bytes badStart = good;
  badStart[0] = 0xF0;
  Bytes badEnd = good;
  badEnd[17] = 0x00;
  const Bytes headerOnly(good.begin(), good.begin() + 18);
  const Bytes tooShort(good.begin(), good.begin() + 17);
  EXPECT_FALSE(IsValidReply(badStart));
  EXPECT_FALSE(IsValidReply(badEnd));
  EXPECT_TRUE(IsValidReply(headerOnly));
  EXPECT_FALSE(IsValidReply(tooShort));
  EXPECT_FALSE(IsValidReply(Bytes{}));
  EXPECT_EQ(ReplyCommand(Bytes{0xFF, 1, 2}), 0);  // never reads past the end
}

TEST(PacketTest, PortInfo) {
  EXPECT_EQ(PortInfoPayload("COM3", true), (Bytes{0x04, 0x43, 0x4F, 0x4D, 0x33, 0x00, 0x00, 0x01}));
  EXPECT_EQ(PortInfoPayload("ttyUSB0123", false),
            (Bytes{0x06, 't', 't', 'y', 'U', 'S', 'B', 0x00}));
  EXPECT_EQ(PortInfoPayload("", true), (Bytes{0, 0, 0, 0, 0, 0, 0, 1}));
  // Windows-1251 bytes pass unchanged.
  EXPECT_EQ(PortInfoPayload("\xCA\xCE\xCC", false), (Bytes{3, 0xCA, 0xCE, 0xCC, 0, 0, 0, 0}));
}

TEST(PacketTest, HelloAndFirstNumber) {
  EXPECT_EQ(HelloPayload(), (Bytes{0x2C, 0x00}));
  EXPECT_EQ(FirstNumberPayload(257), (Bytes{0x01}));
  EXPECT_EQ(FirstNumberPayload(300), (Bytes{44}));
  EXPECT_EQ(FirstNumberPayload(-1), (Bytes{0xFF}));
}

struct VersionCase {
  std::string text;
  VersionNumbers expected;
};

void PrintTo(const VersionCase& c, std::ostream* os) { *os << '"' << c.text.substr(0, 40) << '"'; }

class VersionTextTest : public testing::TestWithParam<VersionCase> {};

TEST_P(VersionTextTest, Numbers) {
  EXPECT_EQ(ParseVersionText(GetParam().text), GetParam().expected) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, VersionTextTest,
    testing::Values(VersionCase{"8.1.4.30", {8, 1, 4, 30}}, VersionCase{"1.2", {1, 0, 0, 2}},
                    VersionCase{"1.2.3", {1, 2, 0, 3}}, VersionCase{"", {0, 0, 0, 0}},
                    VersionCase{"830", {0, 0, 0, 0}},                       // no dot at all
                    VersionCase{"x.1.y.4", {0, 1, 0, 4}},                   // junk parts give 0
                    VersionCase{"1..3.4", {1, 0, 3, 4}},                    // empty part
                    VersionCase{"1.2.3.4.5", {1, 2, 3, 0}},                 // "4.5" is not a number
                    VersionCase{"1.2.3.4 ", {1, 2, 3, 0}},                  // trailing space
                    VersionCase{"70000.-1.+2.65536", {4464, 65535, 2, 0}},  // low 16 bits
                    VersionCase{"99999999999.1.1.1", {0, 1, 1, 1}},         // beyond 32 bits
                    VersionCase{"1.2.3." + std::string(300, '9'), {1, 2, 3, 0}}));

TEST(PacketTest, VersionTextIsCutTo255Characters) {
  // The '.' at position 255 falls outside the text that is read.
  const std::string text = std::string(255, '1') + ".2.3.4";
  EXPECT_EQ(ParseVersionText(text), (VersionNumbers{0, 0, 0, 0}));
  // Only the first 255 characters count: the 256th digit is not part of d.
  const std::string padded = "1.2.3." + std::string(248, '0') + "7" + "8";
  ASSERT_EQ(padded.size(), 256u);
  EXPECT_EQ(ParseVersionText(padded), (VersionNumbers{1, 2, 3, 7}));
}

TEST(PacketTest, VersionPayload) {
  EXPECT_EQ(VersionPayload("8.1.4.30"), (Bytes{0x08, 0x00, 0x01, 0x00, 0x04, 0x00, 0x1E, 0x00}));
}

}  // namespace
}  // namespace kestrel
