// Replies the worker did not ask for (found waiting before a write), and events the
// server turns away: obeyed or retried, never taken as an acknowledgement.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/delivery/link_test_support.h"

namespace kestrel::test {
namespace {

struct UnaskedCase {
  friend void PrintTo(const UnaskedCase& c, std::ostream* os) { *os << c.name; }
  const char* name;
  std::int32_t command;
  bool eventWritten;  // the event still goes in the same step
  bool online;
  bool reconnectEnabled;
};

class UnaskedReplyTest : public LinkFixture, public ::testing::WithParamInterface<UnaskedCase> {};

TEST_P(UnaskedReplyTest, IsObeyedAndAcknowledgesNothing) {
  const UnaskedCase& c = GetParam();
  ConnectAndRegister();
  // The server turns events away: only an unasked reply could delete the file.
  answer = [](std::int32_t cmd) {
    return cmd == cmdEvent ? std::optional<Bytes>(ReplyOf(cmdKeepAlive)) : NormalAnswer(cmd);
  };
  const auto file = WriteEvent(1);
  peer.Push(ReplyOf(c.command));  // waiting before the write
  ASSERT_TRUE(link.AddEventFile(cmdEvent, EventPayload(1), file));
  link.LinkStep();
  EXPECT_EQ(SentWith(cmdEvent).size(), c.eventWritten ? 1u : 0u);
  EXPECT_EQ(link.IsOnline(), c.online);
  EXPECT_EQ(link.IsReconnectEnabled(), c.reconnectEnabled);
  EXPECT_EQ(link.ResyncCount(), 0);
  EXPECT_TRUE(std::filesystem::exists(file));
  EXPECT_EQ(spool.Delivered(), 0u);
  if (c.command == cmdQuery) {
    link.LinkStep();
    EXPECT_EQ(SentWith(cmdQueryAnswer).size(), 1u) << "the query is answered";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Commands, UnaskedReplyTest,
    ::testing::Values(UnaskedCase{"EventAck", cmdEventAck, true, true, true},
                      UnaskedCase{"Query", cmdQuery, true, true, true},
                      UnaskedCase{"KeepAlive", cmdKeepAlive, true, true, true},
                      UnaskedCase{"DropLink", cmdDropLink, false, false, true},
                      UnaskedCase{"ServerDisconnect", cmdServerDisconnect, false, false, true},
                      UnaskedCase{"AccessDenied", cmdAccessDenied, false, false, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(LinkFixture, ServerAnsweringEveryBlockWithZeroAndQueriesDeliversEveryEvent) {
  // Hello and every second keepalive answered with cmdQuery; 0 in every sequence
  // field (the fixture's server does not echo).
  int keepAlives = 0;
  answer = [&](std::int32_t c) -> std::optional<Bytes> {
    if (c == cmdHello) return ReplyOf(cmdQuery);
    if (c == cmdKeepAlive && ++keepAlives % 2 == 0) return ReplyOf(cmdQuery);
    return NormalAnswer(c);
  };
  link.TakeBacklog(true);
  link.LinkStep();
  for (int i = 0; i < 8; ++i) link.LinkStep();
  ASSERT_TRUE(link.IsRegistered());
  for (std::uint8_t n = 1; n <= 6; ++n) {
    ASSERT_TRUE(OfferEvent(n));
    for (int i = 0; i < 4; ++i) {
      clock.AdvanceMs(300);
      link.LinkStep();
    }
  }
  EXPECT_GE(SentWith(cmdQueryAnswer).size(), 3u);
  EXPECT_EQ(SentWith(cmdEvent).size(), 6u) << "each sent once";
  EXPECT_TRUE(SpoolFiles().empty());
  EXPECT_EQ(link.ResyncCount(), 0);
  EXPECT_EQ(peer.ConnectAttempts(), 1);
}

TEST_F(LinkFixture, ARefusedFileIsToldOnceAndStaysInTheBacklog) {
  ConnectAndRegister();
  link.TakeBacklog(true);
  answer = [](std::int32_t c) {
    return c == cmdEvent ? std::optional<Bytes>(ReplyOf(cmdKeepAlive)) : NormalAnswer(c);
  };
  ASSERT_TRUE(OfferEvent(1));
  ASSERT_TRUE(OfferEvent(2));
  oplog.Clear();
  for (int i = 0; i < 200; ++i) {  // 20 s: three tries each (0, 3 s, 9 s)
    clock.AdvanceMs(100);
    link.LinkStep();
  }
  EXPECT_EQ(SentWith(cmdEvent).size(), 6u);
  const auto lines = oplog.Lines();
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [](const std::string& l) { return l.find("не принял") != l.npos; }),
            2)
      << "one line per refused file";
  EXPECT_EQ(spool.Backlog(), 2u);
  EXPECT_EQ(SpoolFiles().size(), 2u);
  // Acknowledged at last: nothing more is told.
  answer = NormalAnswer;
  for (int i = 0; i < 150; ++i) {
    clock.AdvanceMs(100);
    link.LinkStep();
  }
  EXPECT_TRUE(SpoolFiles().empty());
  EXPECT_EQ(oplog.Lines().size(), lines.size());
}

}  // namespace
}  // namespace kestrel::test
