#include "delivery/block_io.h"

#include <gtest/gtest.h>

#include <limits>
#include <vector>

#include "delivery/commands.h"
#include "delivery/packet.h"
#include "tests/support/fake_clock.h"
#include "tests/support/scripted_tcp_client.h"

namespace kestrel {
namespace {

using test::FakeClock;
using test::ScriptedPeer;
using test::ScriptedTcpClient;

// A prefix with the given marker and announced length.
Bytes Prefix(std::uint8_t marker, std::int32_t length) {
  Bytes prefix(kBlockPrefixSize, 0);
  prefix[0] = marker;
  PutU32(&prefix[5], static_cast<std::uint32_t>(length));
  return prefix;
}

Bytes Pattern(std::size_t n) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
  return b;
}

class BlockIoTest : public testing::Test {
 protected:
  void SetUp() override {
    client.SetOnDisconnected([this] { ++disconnectedCalls; });
    ASSERT_TRUE(client.Connect("127.0.0.1", 12543, 2500));
  }

  ReceiveResult Receive() { return ReceiveBlock(client, clock, reply); }

  FakeClock clock;
  ScriptedPeer peer{clock};
  ScriptedTcpClient client{peer};
  Bytes reply{1, 2, 3};  // ReceiveBlock must empty it whatever it held
  int disconnectedCalls = 0;
};

TEST_F(BlockIoTest, SendBlockWritesPrefixAndPacketInOneWrite) {
  const Bytes packet = BuildPacket(cmdHello, 0, HelloPayload());
  EXPECT_EQ(SendBlock(client, packet), SendResult::Written);
  ASSERT_EQ(peer.Writes().size(), 1u);
  EXPECT_EQ(peer.Writes()[0], BuildBlock(packet));
  EXPECT_TRUE(client.Connected());
}

TEST_F(BlockIoTest, SendBlockOnAConnectionErrorDisconnects) {
  peer.SetFailWrites(true);
  EXPECT_EQ(SendBlock(client, BuildPacket(cmdKeepAlive, 0, {})), SendResult::ConnectionError);
  EXPECT_FALSE(client.Connected());
  EXPECT_EQ(disconnectedCalls, 1);

  // Not connected at all: an error too, and no second notification.
  EXPECT_EQ(SendBlock(client, BuildPacket(cmdKeepAlive, 0, {})), SendResult::ConnectionError);
  EXPECT_EQ(disconnectedCalls, 1);
  EXPECT_TRUE(peer.Writes().empty());
}

TEST_F(BlockIoTest, BothMarkersAreAccepted) {
  const Bytes packet = BuildPacket(cmdRegistered, 9, Bytes{7, 7});
  for (std::uint8_t marker : {std::uint8_t{0xFF}, std::uint8_t{0xF0}}) {
    Bytes block = Prefix(marker, static_cast<std::int32_t>(packet.size()));
    block.insert(block.end(), packet.begin(), packet.end());
    peer.Push(block);
    EXPECT_EQ(Receive(), ReceiveResult::Block) << int{marker};
    EXPECT_EQ(reply, packet);
    EXPECT_TRUE(IsValidReply(reply));
  }
  EXPECT_EQ(peer.ReadRequests(), (std::vector<std::size_t>{21, 20, 21, 20}));
}

TEST_F(BlockIoTest, NothingArrives) {
  const std::uint32_t before = clock.TickMs();
  EXPECT_EQ(Receive(), ReceiveResult::Nothing);
  EXPECT_TRUE(reply.empty());
  EXPECT_EQ(clock.TickMs() - before, 1000u);
  EXPECT_TRUE(client.Connected());
}

TEST_F(BlockIoTest, PeerClosesBeforeAnyByte) {
  peer.PushClose(300);
  EXPECT_EQ(Receive(), ReceiveResult::Nothing);
  EXPECT_FALSE(client.Connected());
  EXPECT_EQ(disconnectedCalls, 0);  // a peer close runs no notification
}

TEST_F(BlockIoTest, LengthZeroConsumesThePrefixOnly) {
  const Bytes packet = BuildPacket(cmdEventAck, 1, {});
  peer.Push(Prefix(0xFF, 0));
  Bytes next = Prefix(0xFF, static_cast<std::int32_t>(packet.size()));
  next.insert(next.end(), packet.begin(), packet.end());
  peer.Push(next);

  EXPECT_EQ(Receive(), ReceiveResult::Consumed);
  EXPECT_TRUE(reply.empty());
  EXPECT_EQ(Receive(), ReceiveResult::Block);
  EXPECT_EQ(reply, packet);
}

TEST_F(BlockIoTest, WrongMarkerThenTheNext21BytesAreTheNextPrefix) {
  const Bytes packet = BuildPacket(cmdKeepAlive, 0, {});
  Bytes stream = Prefix(0x00, 18);  // rejected: the 18 bytes it announces are not skipped
  const Bytes good = Prefix(0xF0, 18);
  stream.insert(stream.end(), good.begin(), good.end());
  stream.insert(stream.end(), packet.begin(), packet.end());
  peer.Push(stream);

  EXPECT_EQ(Receive(), ReceiveResult::Consumed);
  EXPECT_TRUE(reply.empty());
  EXPECT_EQ(Receive(), ReceiveResult::Block);
  EXPECT_EQ(reply, packet);
  EXPECT_EQ(peer.PendingItems(), 0u);
}

TEST_F(BlockIoTest, LargeReplyIsRequestedInPiecesOfAtMost50000) {
  const Bytes payload = Pattern(120000);
  Bytes block = Prefix(0xFF, 120000);
  block.insert(block.end(), payload.begin(), payload.end());
  peer.Push(block);

  EXPECT_EQ(Receive(), ReceiveResult::Block);
  EXPECT_EQ(reply, payload);
  EXPECT_EQ(peer.ReadRequests(), (std::vector<std::size_t>{21, 50000, 50000, 20000}));
}

TEST_F(BlockIoTest, LargeReplyWithPausesLongerThanTheReadTimeoutIsAssembled) {
  const Bytes payload = Pattern(120000);
  peer.Push(Prefix(0xFF, 120000));
  peer.Push(Bytes(payload.begin(), payload.begin() + 50000));
  peer.Push(Bytes(payload.begin() + 50000, payload.begin() + 100000), 1500);
  peer.Push(Bytes(payload.begin() + 100000, payload.end()), 2500);

  EXPECT_EQ(Receive(), ReceiveResult::Block);
  EXPECT_EQ(reply, payload);
  // A request that timed out is repeated for what is still missing.
  EXPECT_EQ(peer.ReadRequests(),
            (std::vector<std::size_t>{21, 50000, 50000, 50000, 20000, 20000, 20000}));
}

// A prefix in parts: pauses longer than the read timeout are waited out, but the
// 21 bytes must be whole within 5 s of the start of the read.
struct PrefixPartsCase {
  const char* name;
  std::vector<std::pair<std::size_t, std::uint32_t>> parts;  // bytes, pause before them
  ReceiveResult expected;
  std::uint32_t tookMs;
};

class PrefixDeadlineTest : public BlockIoTest,
                           public testing::WithParamInterface<PrefixPartsCase> {};

TEST_P(PrefixDeadlineTest, PrefixMustBeWholeWithin5Seconds) {
  const PrefixPartsCase& c = GetParam();
  const Bytes prefix = Prefix(0xFF, 18);
  std::size_t at = 0;
  for (const auto& [bytes, pauseMs] : c.parts) {
    peer.Push(Bytes(prefix.begin() + static_cast<std::ptrdiff_t>(at),
                    prefix.begin() + static_cast<std::ptrdiff_t>(at + bytes)),
              pauseMs);
    at += bytes;
  }
  if (at == prefix.size()) peer.Push(Bytes(18, 0xAB));
  const std::uint32_t start = clock.TickMs();
  EXPECT_EQ(Receive(), c.expected);
  EXPECT_EQ(clock.TickMs() - start, c.tookMs);
  EXPECT_EQ(reply.empty(), c.expected != ReceiveResult::Block);
  EXPECT_TRUE(client.Connected());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PrefixDeadlineTest,
    testing::Values(
        PrefixPartsCase{"PausesOverOneSecondInTime",
                        {{10, 0}, {5, 1500}, {6, 2000}},
                        ReceiveResult::Block,
                        3500},
        PrefixPartsCase{"LastPartJustInTime", {{1, 0}, {20, 4999}}, ReceiveResult::Block, 4999},
        PrefixPartsCase{"LastPartTooLate", {{1, 0}, {20, 5001}}, ReceiveResult::Late, 5000},
        PrefixPartsCase{"ShortPrefixThenNothing", {{10, 0}}, ReceiveResult::Late, 5000},
        // One byte every 0.9 s: each comes before the read timeout, the whole never in time.
        PrefixPartsCase{"Trickle",
                        {{1, 0},   {1, 900}, {1, 900}, {1, 900}, {1, 900}, {1, 900}, {1, 900},
                         {1, 900}, {1, 900}, {1, 900}, {1, 900}, {1, 900}, {1, 900}, {1, 900},
                         {1, 900}, {1, 900}, {1, 900}, {1, 900}, {1, 900}, {1, 900}, {1, 900}},
                        ReceiveResult::Late,
                        5000}),
    [](const testing::TestParamInfo<PrefixPartsCase>& info) { return info.param.name; });

TEST_F(BlockIoTest, PeerCloseMidPrefix) {
  peer.Push(Bytes(10, 0xFF));
  peer.PushClose();
  EXPECT_EQ(Receive(), ReceiveResult::Consumed);
  EXPECT_TRUE(reply.empty());
  EXPECT_FALSE(client.Connected());
}

TEST_F(BlockIoTest, PeerCloseMidPayloadEndsTheRead) {
  peer.Push(Prefix(0xFF, 100));
  peer.Push(Bytes(40, 0xFF), 1200);
  peer.PushClose(1500);
  EXPECT_EQ(Receive(), ReceiveResult::Consumed);
  EXPECT_TRUE(reply.empty());
  EXPECT_FALSE(client.Connected());
}

struct TrickleCase {
  const char* name;
  std::size_t length;               // announced and sent
  std::uint32_t gapMs;              // pause before every byte of the payload
  ReceiveResult expected;           // within 10 s of the start of the reply or not
  std::uint32_t prefixPauseMs = 0;  // within the prefix
};

class PayloadDeadlineTest : public BlockIoTest, public testing::WithParamInterface<TrickleCase> {};

TEST_P(PayloadDeadlineTest, WholeBlockMustArriveWithin10Seconds) {
  const TrickleCase& c = GetParam();
  // The prefix itself takes its time: the 10 s count from the start of the reply.
  const Bytes prefix = Prefix(0xFF, static_cast<std::int32_t>(c.length));
  peer.Push(Bytes(prefix.begin(), prefix.begin() + 5));
  peer.Push(Bytes(prefix.begin() + 5, prefix.end()), c.prefixPauseMs);
  for (std::size_t i = 0; i < c.length; ++i) peer.Push(Bytes{0xAB}, c.gapMs);
  const std::uint32_t start = clock.TickMs();
  EXPECT_EQ(Receive(), c.expected);
  EXPECT_LE(clock.TickMs() - start, 10000u);
  if (c.expected == ReceiveResult::Block) {
    EXPECT_EQ(reply, Bytes(c.length, 0xAB));
  } else {
    EXPECT_TRUE(reply.empty());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PayloadDeadlineTest,
    testing::Values(
        // Every byte comes before the read timeout, yet the block takes too long.
        TrickleCase{"Trickle", 20, 900, ReceiveResult::Late},
        TrickleCase{"TrickleJustInTime", 11, 900, ReceiveResult::Block},
        // Only timeouts after the first pieces.
        TrickleCase{"Stalls", 30, 20000, ReceiveResult::Late},
        TrickleCase{"SlowButInTime", 4, 2400, ReceiveResult::Block},
        // A prefix that took 4 s leaves 6 s for the payload.
        TrickleCase{"SlowPrefixThenPayloadInTime", 5, 1100, ReceiveResult::Block, 4000},
        TrickleCase{"SlowPrefixThenPayloadTooLate", 7, 1200, ReceiveResult::Late, 4000}),
    [](const testing::TestParamInfo<TrickleCase>& info) { return info.param.name; });

TEST_F(BlockIoTest, AnnouncedLengthOutOfBoundsIsAProtocolError) {
  for (std::int32_t length : {-1, std::numeric_limits<std::int32_t>::min(),
                              kMaxReplyBlockLength + 1, std::numeric_limits<std::int32_t>::max()}) {
    ScriptedPeer p{clock};
    ScriptedTcpClient c{p};
    int notified = 0;
    c.SetOnDisconnected([&] { ++notified; });
    ASSERT_TRUE(c.Connect("h", 1, 2500));
    p.Push(Prefix(0xFF, length));
    p.Push(Bytes(100, 0xFF));
    Bytes r;
    EXPECT_EQ(ReceiveBlock(c, clock, r), ReceiveResult::ProtocolError) << length;
    EXPECT_TRUE(r.empty());
    EXPECT_EQ(r.capacity(), 0u);  // nothing was allocated for the announced length
    EXPECT_FALSE(c.Connected());
    EXPECT_EQ(notified, 1);
    EXPECT_EQ(p.ReadRequests(), (std::vector<std::size_t>{21})) << length;
  }
}

TEST_F(BlockIoTest, LengthOfExactlyOneMebibyteIsRead) {
  const Bytes payload = Pattern(static_cast<std::size_t>(kMaxReplyBlockLength));
  peer.Push(Prefix(0xFF, kMaxReplyBlockLength));
  peer.Push(payload);
  EXPECT_EQ(Receive(), ReceiveResult::Block);
  EXPECT_EQ(reply, payload);
}

TEST_F(BlockIoTest, BlocksShorterThanTheHeaderAreReturnedAndFailTheReplyTest) {
  for (std::int32_t length : {1, 5, 17}) {
    peer.Push(Prefix(0xFF, length));
    peer.Push(Bytes(static_cast<std::size_t>(length), 0xFF));
    EXPECT_EQ(Receive(), ReceiveResult::Block);
    EXPECT_EQ(reply.size(), static_cast<std::size_t>(length));
    EXPECT_FALSE(IsValidReply(reply));
    EXPECT_EQ(ReplyCommand(reply), length >= 5 ? -1 : 0);
  }
}

}  // namespace
}  // namespace kestrel
