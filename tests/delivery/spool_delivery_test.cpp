// The backlog and the link worker together, over the fake connection.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "delivery/spool.h"
#include "tests/delivery/link_test_support.h"

namespace kestrel::test {
namespace {

using ::testing::ElementsAre;

class SpoolDeliveryTest : public LinkFixture {
 protected:
  SpoolDeliveryTest() { link.TakeBacklog(true); }

  // Timer ticks of 200 ms, each followed by ten worker steps 20 ms apart.
  void Run(int ticks) {
    for (int i = 0; i < ticks; ++i) {
      spool.ReportBacklog();
      for (int s = 0; s < 10; ++s) {
        link.LinkStep();
        clock.AdvanceMs(20);
      }
    }
  }

  std::vector<std::string> BacklogLines() const {
    std::vector<std::string> out;
    for (const auto& l : oplog.Lines())
      if (l.rfind("События", 0) == 0) out.push_back(l);
    return out;
  }

  std::vector<int> ServerEventNumbers() const {
    std::vector<int> out;
    for (const auto& s : SentWith(cmdEvent)) out.push_back(s.payload.at(0));
    return out;
  }
};

TEST_F(SpoolDeliveryTest, SpooledEventsGoOutOldestFirstAndAreDeletedWhenAcknowledged) {
  for (std::uint8_t n = 1; n <= 3; ++n) {
    ASSERT_TRUE(spool.Append(cmdEvent, EventPayload(n)));
    clock.AdvanceMs(10);
  }
  peer.SetRefuseConnections(true);
  Run(3);  // offline: nothing goes
  EXPECT_EQ(SpoolFiles().size(), 3u);
  peer.SetRefuseConnections(false);
  clock.AdvanceMs(5001);
  ConnectAndRegister();
  Run(3);
  EXPECT_THAT(ServerEventNumbers(), ElementsAre(1, 2, 3));
  EXPECT_TRUE(SpoolFiles().empty());
}

TEST_F(SpoolDeliveryTest, UnacknowledgedFilesStayAndTakeTurns) {
  answer = [](std::int32_t c) { return c == cmdEvent ? ReplyOf(cmdKeepAlive) : *NormalAnswer(c); };
  for (std::uint8_t n = 1; n <= 2; ++n) {
    ASSERT_TRUE(spool.Append(cmdEvent, EventPayload(n)));
    clock.AdvanceMs(10);
  }
  ConnectAndRegister();
  // Each is offered again strictly more than 3 s after its first refusal, then
  // more than 6 s after its second.
  Run(35);  // 7 s
  EXPECT_THAT(ServerEventNumbers(), ElementsAre(1, 2, 1, 2));
  Run(15);  // 10 s
  EXPECT_THAT(ServerEventNumbers(), ElementsAre(1, 2, 1, 2, 1, 2));
  EXPECT_EQ(SpoolFiles().size(), 2u);
}

TEST_F(SpoolDeliveryTest, FileHandedOverBeforeTheLinkBrokeIsSentAgainAfterReconnection) {
  ASSERT_TRUE(spool.Append(cmdEvent, EventPayload(1)));
  ConnectAndRegister();
  answer = [](std::int32_t c) { return c == cmdEvent ? ReplyOf(cmdDropLink) : *NormalAnswer(c); };
  Run(1);
  EXPECT_FALSE(link.IsOnline());
  EXPECT_EQ(SpoolFiles().size(), 1u);
  answer = NormalAnswer;
  Run(30);  // reconnects after 5 s; the file goes at once
  EXPECT_TRUE(link.IsOnline());
  EXPECT_THAT(ServerEventNumbers(), ElementsAre(1, 1));
  EXPECT_TRUE(SpoolFiles().empty());
}

TEST_F(SpoolDeliveryTest, LiveEventsGoFirstAndEachAckSettlesItsOwnFile) {
  ASSERT_TRUE(spool.Append(cmdEvent, EventPayload(1)));
  ConnectAndRegister();
  ASSERT_TRUE(OfferEvent(2));
  link.LinkStep();
  link.LinkStep();
  EXPECT_THAT(ServerEventNumbers(), ElementsAre(2, 1));
  EXPECT_TRUE(SpoolFiles().empty());
}

TEST_F(SpoolDeliveryTest, TheBacklogLeavesOneBlockPerStep) {
  for (std::uint8_t n = 1; n <= 50; ++n) {
    ASSERT_TRUE(spool.Append(cmdEvent, EventPayload(n)));
    clock.AdvanceMs(1);
  }
  ConnectAndRegister();
  Run(5);  // 50 steps of 20 ms: one second
  EXPECT_EQ(ServerEventNumbers().size(), 50u);
  EXPECT_TRUE(SpoolFiles().empty());
}

TEST_F(SpoolDeliveryTest, BacklogIsReportedWhenItBeginsAndWhenItHasCleared) {
  for (std::uint8_t n = 1; n <= 3; ++n) ASSERT_TRUE(spool.Append(cmdEvent, EventPayload(n)));
  peer.SetRefuseConnections(true);
  Run(2);
  ASSERT_EQ(BacklogLines().size(), 1u);
  peer.SetRefuseConnections(false);
  clock.AdvanceMs(5001);
  ConnectAndRegister();
  Run(2);
  ASSERT_EQ(BacklogLines().size(), 2u);
  EXPECT_NE(BacklogLines()[1].find(": 3 за "), std::string::npos) << BacklogLines()[1];
  // A change of state, not a failure; only the refused connections were one.
  ASSERT_EQ(oplog.Failures().size(), 1u);
  EXPECT_NE(oplog.Failures()[0].find("Не удалось соединиться"), std::string::npos);
}

}  // namespace
}  // namespace kestrel::test
