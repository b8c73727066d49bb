// The worker's wait between steps, on the fake clock: the test runs the loop
// itself, advancing the clock to each wake-up the worker asks for, so it sees
// every step the real loop would make.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/paths.h"
#include "tests/delivery/link_test_support.h"

namespace kestrel::test {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

class LinkWaitTest : public LinkFixture {
 protected:
  // Runs the loop for `ms` on the fake clock. Returns the ticks (relative to t0)
  // of the steps that wrote a block, and counts every step in `steps`.
  std::vector<std::uint32_t> RunFor(std::uint32_t ms, std::uint32_t t0) {
    const std::uint32_t end = clock.TickMs() + ms;
    std::vector<std::uint32_t> writes;
    for (;;) {
      const auto due = link.NextWakeInMs();
      if (!due || clock.TickMs() + *due > end) break;
      clock.AdvanceMs(*due);
      const std::size_t before = peer.Writes().size();
      link.LinkStep();
      ++steps;
      if (peer.Writes().size() > before) writes.push_back(clock.TickMs() - t0);
      if (steps > 10000) break;  // a loop that never sleeps
    }
    clock.AdvanceMs(end - clock.TickMs());
    return writes;
  }

  int steps = 0;
};

TEST_F(LinkWaitTest, LoneEventGoesAtOnceNextAfterThePaceKeepAlivesOnTimeNothingBetween) {
  const std::uint32_t t0 = clock.TickMs();  // the keepalive timer starts here
  ConnectAndRegister();
  EXPECT_THAT(RunFor(100, t0), IsEmpty());
  EXPECT_EQ(steps, 0) << "an idle link does not wake";

  ASSERT_TRUE(link.AddPacket(cmdEvent, EventPayload(1)));
  EXPECT_EQ(link.NextWakeInMs(), 0u) << "queued on a quiet link: written at once";
  ASSERT_TRUE(link.AddPacket(cmdEvent, EventPayload(2)));
  steps = 0;
  EXPECT_THAT(RunFor(19, t0), ElementsAre(100u));
  EXPECT_EQ(link.NextWakeInMs(), 1u) << "the next one 20 ms after the previous block";
  EXPECT_THAT(RunFor(1, t0), ElementsAre(120u));
  EXPECT_EQ(steps, 2);

  // Keepalives every 500 ms as before, and no step in between.
  steps = 0;
  EXPECT_THAT(RunFor(1000, t0), ElementsAre(501u, 1002u));
  EXPECT_EQ(steps, 2);
  EXPECT_THAT(SentWith(cmdKeepAlive), ::testing::SizeIs(2));
  EXPECT_EQ(SentWith(cmdEvent).size(), 2u);
}

TEST_F(LinkWaitTest, AFileTurnedAwayIsWaitedForNotSteppedFor) {
  const std::uint32_t t0 = clock.TickMs();
  ConnectAndRegister();
  link.TakeBacklog(true);
  answer = [](std::int32_t) -> std::optional<Bytes> { return ReplyOf(cmdKeepAlive); };
  ASSERT_TRUE(spool.Append(cmdEvent, EventPayload(1)));  // a backlog of one file
  steps = 0;
  RunFor(3100, t0);
  // Sent, turned away, sent again after its 3 s; between them only keepalives.
  EXPECT_EQ(SentWith(cmdEvent).size(), 2u);
  EXPECT_LE(steps, 10) << "not a step every 20 ms while the file waits";
}

TEST_F(LinkWaitTest, WaitsFollowTheLinkState) {
  // First attempt at once, and the next more than 5000 ms after it began.
  peer.SetRefuseConnections(true);
  EXPECT_EQ(link.NextWakeInMs(), 0u);
  link.LinkStep();
  EXPECT_EQ(link.NextWakeInMs(), 5001u);
  clock.AdvanceMs(5001);
  peer.SetRefuseConnections(false);
  answer = [](std::int32_t) { return ReplyOf(cmdKeepAlive); };  // never registers
  link.LinkStep();
  Steps(4);
  ASSERT_TRUE(link.IsOnline());
  EXPECT_EQ(link.NextWakeInMs(), std::nullopt) << "unregistered and idle: until a packet";

  // A silent server: while errors are counted the steps keep their 20 ms pace.
  answer = [](std::int32_t) { return std::nullopt; };
  ASSERT_TRUE(link.AddPacket(cmdQueryAnswer, {}));
  link.LinkStep();
  EXPECT_EQ(link.NextWakeInMs(), 20u);

  // Barred: the line is logged at once, then nothing.
  peer.Push(ReplyOf(cmdAccessDenied));
  clock.AdvanceMs(501);
  ASSERT_TRUE(link.AddPacket(cmdQueryAnswer, {}));
  link.LinkStep();
  ASSERT_FALSE(link.IsReconnectEnabled());
  EXPECT_EQ(link.NextWakeInMs(), 0u);
  link.LinkStep();
  EXPECT_EQ(link.NextWakeInMs(), std::nullopt);
}

// BlockGapMs sets the pace of blocks; the handshake's last block starts the count.
struct GapCase {
  std::string name;
  std::string keys;
  std::vector<std::uint32_t> writes;  // ms after registration, within 100 ms
};

class LinkGapTest : public LinkWaitTest, public ::testing::WithParamInterface<GapCase> {};

TEST_P(LinkGapTest, BlocksFollowEachOtherByTheGap) {
  WriteFileText(SettingsFilePath(dir.Path()),
                "[ServerHost]\r\nAddress=127.0.0.1\r\nPort=12543\r\n" + GetParam().keys);
  ConnectAndRegister();
  const std::uint32_t t0 = clock.TickMs();
  for (std::uint8_t n = 1; n <= 3; ++n) ASSERT_TRUE(link.AddPacket(cmdEvent, EventPayload(n)));
  EXPECT_EQ(RunFor(100, t0), GetParam().writes);
}

INSTANTIATE_TEST_SUITE_P(Cases, LinkGapTest,
                         ::testing::Values(GapCase{"Default", "", {20, 40, 60}},
                                           GapCase{"Zero", "BlockGapMs=0\r\n", {0, 0, 0}},
                                           GapCase{"Fifty", "BlockGapMs=50\r\n", {50, 100}},
                                           GapCase{"TooLongIsASecond", "BlockGapMs=5000\r\n", {}}),
                         [](const auto& info) { return info.param.name; });

// Every reply is a sign of life, counted whatever the pace (the worker waits for
// nobody to draw it); a change of the link's state counts too.
struct IndicatorCase {
  std::string name;
  std::string keys;
  int replySteps;  // for ten events answered within the first 200 ms
};

class LinkIndicatorTest : public LinkWaitTest,
                          public ::testing::WithParamInterface<IndicatorCase> {};

TEST_P(LinkIndicatorTest, EveryReplyIsCountedWhateverThePace) {
  WriteFileText(SettingsFilePath(dir.Path()),
                "[ServerHost]\r\nAddress=127.0.0.1\r\nPort=12543\r\n" + GetParam().keys);
  ConnectAndRegister();
  const std::uint32_t t0 = clock.TickMs();
  const int before = IndicatorSteps();
  for (std::uint8_t n = 1; n <= 10; ++n) ASSERT_TRUE(link.AddPacket(cmdEvent, EventPayload(n)));
  ASSERT_EQ(RunFor(200, t0).size(), 10u);
  EXPECT_EQ(IndicatorSteps() - before, GetParam().replySteps);

  // The server ends the link: that step counts too.
  answer = [](std::int32_t) { return ReplyOf(cmdServerDisconnect); };
  const int beforeEnd = IndicatorSteps();
  ASSERT_TRUE(link.AddPacket(cmdEvent, EventPayload(11)));
  link.LinkStep();
  ASSERT_FALSE(link.IsOnline());
  EXPECT_GE(IndicatorSteps() - beforeEnd, 1);
}

INSTANTIATE_TEST_SUITE_P(Cases, LinkIndicatorTest,
                         ::testing::Values(IndicatorCase{"Default", "", 10},
                                           IndicatorCase{"Gap10", "BlockGapMs=10\r\n", 10},
                                           IndicatorCase{"Zero", "BlockGapMs=0\r\n", 10}),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace kestrel::test
