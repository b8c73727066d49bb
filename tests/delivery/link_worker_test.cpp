// The link worker driven step by step: fake connection, fake clock, no thread.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>
#include <stdexcept>

#include "tests/delivery/link_test_support.h"

namespace kestrel::test {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

const std::string kConnecting = "Соединение...";
const std::string kConnected = "Соединение установлено.";
const std::string kNetworkErrors = "Ошибки по сети - переподсоединение.";
const std::string kServerDisconnect = "Сервер дал команду на рассоединение.";
const std::string kDenied = "Доступ запрещен.";

using LinkWorkerTest = LinkFixture;

// ------------------------------------------------------------- connection

TEST_F(LinkWorkerTest, FirstStepConnectsAndHandshakeGoesOutWithSequenceZeroToThree) {
  link.LinkStep();
  EXPECT_TRUE(link.IsOnline());
  EXPECT_THAT(oplog.Lines(), ElementsAre(kConnecting, kConnected));
  EXPECT_EQ(IndicatorSteps(), 2);
  EXPECT_EQ(peer.LastHost(), "127.0.0.1");
  EXPECT_EQ(peer.LastPort(), 12543);
  EXPECT_EQ(peer.LastConnectTimeoutMs(), 2500);
  EXPECT_EQ(link.QueuedCount(), 4u);

  // One block per step, one reply read after each.
  for (std::size_t i = 1; i <= 4; ++i) {
    link.LinkStep();
    EXPECT_EQ(peer.Writes().size(), i);
    EXPECT_EQ(peer.PendingItems(), 0u) << "the reply was read in the same step";
  }
  const auto sent = Sent();
  ASSERT_EQ(sent.size(), 4u);
  EXPECT_EQ(sent[0].command, cmdHello);
  EXPECT_EQ(sent[0].payload, (Bytes{0x2C, 0x00}));
  EXPECT_EQ(sent[1].command, cmdPortInfo);
  EXPECT_EQ(sent[1].payload, (Bytes{4, 'C', 'O', 'M', '3', 0, 0, 1}));
  EXPECT_EQ(sent[2].command, cmdFirstNumber);
  EXPECT_EQ(sent[2].payload, (Bytes{0x01}));
  EXPECT_EQ(sent[3].command, cmdVersion);
  EXPECT_EQ(sent[3].payload, (Bytes{8, 0, 1, 0, 4, 0, 30, 0}));
  for (int i = 0; i < 4; ++i) EXPECT_EQ(sent[i].sequence, i);
  EXPECT_EQ(peer.Writes()[0].size(), 41u);
  EXPECT_TRUE(link.IsRegistered());
  EXPECT_EQ(link.GetErrorCount(), 0);
  EXPECT_EQ(IndicatorSteps(), 2 + 4) << "one step per valid reply";
}

TEST_F(LinkWorkerTest, PortInfoTellsWhetherThePortIsOpenAtConnectTime) {
  portOpen = false;
  link.LinkStep();
  link.LinkStep();
  link.LinkStep();
  EXPECT_EQ(Sent()[1].payload, (Bytes{4, 'C', 'O', 'M', '3', 0, 0, 0}));
}

TEST_F(LinkWorkerTest, ServerHostIsReadAfreshBeforeEveryAttempt) {
  peer.SetRefuseConnections(true);
  WriteFileText(dir / "drvkestrel.ini", "[ServerHost]\r\nAddress=10.1.2.3\r\nPort=4000\r\n");
  link.LinkStep();
  EXPECT_EQ(peer.LastHost(), "10.1.2.3");
  EXPECT_EQ(peer.LastPort(), 4000);
  EXPECT_FALSE(link.IsOnline());
  EXPECT_THAT(oplog.Lines(), ElementsAre(kConnecting,
                                         "Не удалось соединиться с сервером 10.1.2.3:4000 "
                                         "(соединение отклонено); попытки продолжаются."));

  WriteFileText(dir / "drvkestrel.ini", "[ServerHost]\r\nAddress=server.local\r\n");
  clock.AdvanceMs(5001);
  link.LinkStep();
  EXPECT_EQ(peer.ConnectAttempts(), 2);
  EXPECT_EQ(peer.LastHost(), "server.local");
  EXPECT_EQ(peer.LastPort(), 12543);
}

TEST_F(LinkWorkerTest, PortOutsideTheTcpRangeIsReportedOnceAndNeverDialled) {
  WriteFileText(dir / "drvkestrel.ini", "[ServerHost]\r\nPort=70000\r\n");
  for (int i = 0; i < 3; ++i) {
    link.LinkStep();
    clock.AdvanceMs(5001);
  }
  EXPECT_EQ(peer.ConnectAttempts(), 0);
  EXPECT_THAT(oplog.Lines(),
              ElementsAre(kConnecting, "Неверный порт сервера в drvkestrel.ini: 70000.",
                          kConnecting, kConnecting));
  EXPECT_FALSE(link.IsOnline());
}

struct ReconnectCase {
  friend void PrintTo(const ReconnectCase& c, std::ostream* os) { *os << c.name; }
  const char* name;
  std::uint32_t firstAttemptTick;
};

class ReconnectRuleTest : public LinkFixture,
                          public ::testing::WithParamInterface<ReconnectCase> {};

TEST_P(ReconnectRuleTest, NextAttemptOnlyMoreThan5000MsAfterTheLastBegan) {
  peer.SetRefuseConnections(true);
  clock.SetTick(GetParam().firstAttemptTick);
  link.LinkStep();
  ASSERT_EQ(peer.ConnectAttempts(), 1);
  clock.AdvanceMs(5000);
  link.LinkStep();
  EXPECT_EQ(peer.ConnectAttempts(), 1) << "exactly 5000 ms is not enough";
  clock.AdvanceMs(1);
  link.LinkStep();
  EXPECT_EQ(peer.ConnectAttempts(), 2);
  EXPECT_THAT(oplog.Lines(),
              ElementsAre(kConnecting, HasSubstr("Не удалось соединиться"), kConnecting));
}

// A server that trickles each reply, a byte every 0.9 s: every byte comes before
// the read timeout, no reply ever in time. Three late replies in a row take the
// link down, within seconds, not minutes.
TEST_F(LinkWorkerTest, RepliesTricklingInTakeTheLinkDownAfterThreeDeadlines) {
  ConnectAndRegister();
  peer.SetOnWrite([this](ByteView) {
    for (std::uint8_t b : ReplyOf(cmdKeepAlive)) peer.Push(Bytes{b}, 900);
  });
  const std::uint32_t start = clock.TickMs();
  int steps = 0;
  while (link.IsOnline() && steps < 10) {
    clock.AdvanceMs(501);  // a keepalive is due
    link.LinkStep();
    ++steps;
  }
  EXPECT_FALSE(link.IsOnline());
  EXPECT_LE(steps, 4);
  // Each late reply costs at most its 10 s block deadline: three, at most 30 s (it was
  // minutes: 21 steps of 10 s).
  EXPECT_LE(clock.TickMs() - start, 30000u);
  EXPECT_THAT(oplog.Lines(), Contains(kNetworkErrors));
}

// Failed attempts are told once when they begin, with the reason, and once when
// one succeeds, with their count: not once per attempt.
TEST_F(LinkWorkerTest, FailedAttemptsAreToldOnceWithTheReasonAndTheirEndWithACount) {
  peer.SetRefuseConnections(true);
  for (int i = 0; i < 4; ++i) {
    link.LinkStep();
    clock.AdvanceMs(5001);
  }
  EXPECT_EQ(peer.ConnectAttempts(), 4);
  const auto told = [&](const std::string& fragment) {
    const std::vector<std::string> lines = oplog.Lines();
    return std::count_if(lines.begin(), lines.end(), [&](const std::string& l) {
      return l.find(fragment) != std::string::npos;
    });
  };
  EXPECT_EQ(told("Не удалось соединиться с сервером 127.0.0.1:12543 (соединение отклонено)"), 1);
  peer.SetRefuseConnections(false);
  link.LinkStep();
  ASSERT_TRUE(link.IsOnline());
  EXPECT_EQ(told("Соединение с сервером установлено после неудачных попыток: 4."), 1);
  // A later failure is a new run of failures: told again.
  peer.CloseFromPeer();
  link.LinkStep();
  peer.SetRefuseConnections(true);
  for (int i = 0; i < 2; ++i) {
    clock.AdvanceMs(5001);
    link.LinkStep();
  }
  EXPECT_EQ(told("Не удалось соединиться"), 2);
}

INSTANTIATE_TEST_SUITE_P(Ticks, ReconnectRuleTest,
                         ::testing::Values(ReconnectCase{"Plain", 100000},
                                           ReconnectCase{"AcrossWrap", 0xFFFFFFFFu - 2000},
                                           ReconnectCase{"JustBeforeWrap", 0xFFFFFFFFu}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(LinkWorkerTest, FirstAttemptWaitsUntilTheTickPasses5000) {
  clock.SetTick(3000);
  link.LinkStep();
  EXPECT_EQ(peer.ConnectAttempts(), 0);
  clock.SetTick(5001);
  link.LinkStep();
  EXPECT_EQ(peer.ConnectAttempts(), 1);
}

// ------------------------------------------------------------- keepalive

TEST_F(LinkWorkerTest, KeepAliveFallsDueMoreThan500MsAfterTheLastOnRegisteredIdleLink) {
  ConnectAndRegister();
  const std::size_t before = peer.Writes().size();
  clock.AdvanceMs(500);
  link.LinkStep();
  EXPECT_EQ(peer.Writes().size(), before);
  clock.AdvanceMs(1);
  link.LinkStep();
  ASSERT_EQ(peer.Writes().size(), before + 1);
  const Bytes block = peer.Writes().back();
  EXPECT_EQ(block.size(), 39u);
  const SentPacket ka = DecodeBlock(block);
  EXPECT_EQ(ka.command, cmdKeepAlive);
  EXPECT_EQ(ka.sequence, 0);
  EXPECT_TRUE(ka.payload.empty());
  EXPECT_EQ(peer.PendingItems(), 0u) << "its reply was read";
  EXPECT_EQ(link.AwaitingReplyCount(), 0u);
  EXPECT_EQ(link.GetNextSequence(), 4) << "keepalives take no sequence number";

  clock.AdvanceMs(501);
  link.LinkStep();
  EXPECT_EQ(peer.Writes().size(), before + 2);
  EXPECT_EQ(link.GetErrorCount(), 0);
}

TEST_F(LinkWorkerTest, UnregisteredLinkSendsNoKeepAlive) {
  answer = [](std::int32_t) { return ReplyOf(cmdKeepAlive); };  // never registers
  link.LinkStep();
  Steps(4);
  ASSERT_FALSE(link.IsRegistered());
  for (int i = 0; i < 5; ++i) {
    clock.AdvanceMs(1000);
    link.LinkStep();
  }
  EXPECT_EQ(peer.Writes().size(), 4u);
  EXPECT_TRUE(link.IsOnline());
}

// ------------------------------------------------------------- errors

TEST_F(LinkWorkerTest, EveryStepAfterAFailedReadCountsUntilTwentyOneThenLinkGoesDown) {
  ConnectAndRegister();
  answer = [](std::int32_t) { return std::nullopt; };  // the server falls silent
  clock.AdvanceMs(501);
  int expected = 0;
  while (link.GetErrorCount() < 21) {
    link.LinkStep();
    ++expected;
    ASSERT_EQ(link.GetErrorCount(), expected) << "one error per step";
    ASSERT_TRUE(link.IsOnline());
  }
  oplog.Clear();
  const std::size_t writes = peer.Writes().size();
  link.LinkStep();
  EXPECT_FALSE(link.IsOnline());
  EXPECT_THAT(oplog.Lines(), ElementsAre(kNetworkErrors));
  EXPECT_EQ(peer.Writes().size(), writes + 1) << "that step still sends and reads";
  EXPECT_EQ(link.GetErrorCount(), 1) << "reset to 0, then the step's own empty read";
  EXPECT_TRUE(peer.ConnectionOpen()) << "the connection stays open until the next attempt";

  link.LinkStep();
  EXPECT_THAT(oplog.Lines(), ElementsAre(kNetworkErrors, kConnecting, kConnected));
  EXPECT_EQ(peer.ConnectAttempts(), 2);
}

TEST_F(LinkWorkerTest, ProtocolErrorClosesTheConnectionAndCountsTwice) {
  ConnectAndRegister();
  Bytes huge(kBlockPrefixSize, 0);
  huge[0] = 0xFF;
  PutU32(huge.data() + 5, 0x7FFFFFFF);
  answer = [&](std::int32_t) { return huge; };
  clock.AdvanceMs(501);
  link.LinkStep();
  EXPECT_EQ(link.GetErrorCount(), 2);
  EXPECT_FALSE(peer.ConnectionOpen());
  EXPECT_FALSE(link.IsOnline());
}

// What one connection learnt or counted is not carried into the next: errors, the
// blocks awaiting replies, the belief in echoed sequence numbers, registration and
// the keepalive timing all start anew.
TEST_F(LinkWorkerTest, ANewConnectionStartsWithNothingOfThePreviousOne) {
  echo = true;
  ConnectAndRegister();
  ASSERT_TRUE(link.EchoBelieved());
  answer = [](std::int32_t) { return std::nullopt; };  // silent
  ASSERT_TRUE(OfferEvent(1));
  link.LinkStep();
  ASSERT_GT(link.GetErrorCount(), 0);

  // The line goes dead: the connection is lost with errors counted.
  peer.CloseFromPeer();
  for (int i = 0; i < 3 && link.IsOnline(); ++i) link.LinkStep();
  ASSERT_FALSE(link.IsOnline());

  echo = false;
  answer = NormalAnswer;
  clock.AdvanceMs(5001);
  link.LinkStep();
  ASSERT_TRUE(link.IsOnline());
  EXPECT_EQ(link.GetErrorCount(), 0);
  EXPECT_EQ(link.AwaitingReplyCount(), 0u);
  EXPECT_FALSE(link.EchoBelieved());
  EXPECT_FALSE(link.IsRegistered());
  Steps(4);
  ASSERT_TRUE(link.IsRegistered());
  EXPECT_FALSE(link.EchoBelieved()) << "this server does not echo";

  // The keepalive counts from this connection: none within its first 500 ms.
  const std::size_t written = peer.Writes().size();
  Steps(3);  // the event goes again from the backlog
  clock.AdvanceMs(500);
  link.LinkStep();
  EXPECT_TRUE(SentWith(cmdKeepAlive).empty());
  clock.AdvanceMs(1);
  link.LinkStep();
  EXPECT_EQ(SentWith(cmdKeepAlive).size(), 1u);
  EXPECT_GE(peer.Writes().size(), written + 1);
  EXPECT_EQ(link.GetErrorCount(), 0);
}

TEST_F(LinkWorkerTest, FailureInsideAStepNeverEscapesAndIsToldOnce) {
  cl broken{
      clock, files,
      oplog, []() -> std::unique_ptr<TcpClient> { throw std::runtime_error("no sockets"); },
      spool, LinkIdentity{"COM3", 1, {}, "8.1.4.30", ServerHostFromFolder(files, dir.Path())}};
  for (int i = 0; i < 3; ++i) {
    EXPECT_NO_THROW(broken.LinkStep());
    clock.AdvanceMs(5001);
  }
  EXPECT_FALSE(broken.IsOnline());
  EXPECT_EQ(broken.GetErrorCount(), 0) << "no connection, so nothing to count against";
  // What was caught is told, once.
  EXPECT_THAT(oplog.Lines(),
              ElementsAre(kConnecting, "Сбой связи с сервером (шаг связи): no sockets.",
                          kConnecting, kConnecting));
}

// ------------------------------------------------------------- server commands

struct CommandCase {
  friend void PrintTo(const CommandCase& c, std::ostream* os) { *os << c.name; }
  const char* name;
  std::int32_t command;
  bool online;
  bool reconnectEnabled;
  bool connectionOpen;
  std::vector<std::string> log;
};

class ServerCommandTest : public LinkFixture, public ::testing::WithParamInterface<CommandCase> {};

TEST_P(ServerCommandTest, ReplyToAKeepAlive) {
  const CommandCase& c = GetParam();
  ConnectAndRegister();
  answer = [&](std::int32_t) { return ReplyOf(c.command); };
  oplog.Clear();
  clock.AdvanceMs(501);
  link.LinkStep();
  EXPECT_EQ(link.IsOnline(), c.online);
  EXPECT_EQ(link.IsReconnectEnabled(), c.reconnectEnabled);
  EXPECT_EQ(peer.ConnectionOpen(), c.connectionOpen);
  EXPECT_EQ(oplog.Lines(), c.log);
  EXPECT_EQ(link.GetErrorCount(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Commands, ServerCommandTest,
    ::testing::Values(
        CommandCase{"KeepAlive", cmdKeepAlive, true, true, true, {}},
        CommandCase{"Registered", cmdRegistered, true, true, true, {}},
        CommandCase{"EventAck", cmdEventAck, true, true, true, {}},
        CommandCase{"Unknown", 0x12345678, true, true, true, {}},
        CommandCase{"Query", cmdQuery, true, true, true, {}},
        CommandCase{"DropLink", cmdDropLink, false, true, false, {}},
        CommandCase{"AccessDenied", cmdAccessDenied, false, false, false, {}},
        CommandCase{
            "ServerDisconnect", cmdServerDisconnect, false, true, true, {kServerDisconnect}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(LinkWorkerTest, QueryIsAnsweredInTheNextStepWithTheNextSequenceNumber) {
  ConnectAndRegister();
  answer = [](std::int32_t c) { return c == cmdKeepAlive ? ReplyOf(cmdQuery) : NormalAnswer(c); };
  clock.AdvanceMs(501);
  link.LinkStep();
  EXPECT_EQ(link.QueuedCount(), 1u);
  link.LinkStep();
  const SentPacket last = DecodeBlock(peer.Writes().back());
  EXPECT_EQ(last.command, cmdQueryAnswer);
  EXPECT_EQ(last.sequence, 4);
  EXPECT_TRUE(last.payload.empty());
  EXPECT_EQ(peer.PendingItems(), 0u) << "followed by a reply read";
}

TEST_F(LinkWorkerTest, AccessDeniedIsLoggedOnceAndNoFurtherAttemptIsMade) {
  answer = [](std::int32_t c) {
    return c == cmdHello ? std::optional<Bytes>(ReplyOf(cmdAccessDenied)) : std::nullopt;
  };
  link.LinkStep();
  link.LinkStep();
  EXPECT_FALSE(link.IsOnline());
  oplog.Clear();
  for (int i = 0; i < 5; ++i) {
    clock.AdvanceMs(6000);
    link.LinkStep();
  }
  EXPECT_THAT(oplog.Lines(), ElementsAre(kDenied));
  EXPECT_EQ(peer.ConnectAttempts(), 1);
}

TEST_F(LinkWorkerTest, DropLinkReconnectsAtTheNextStepWhenTheLastAttemptIsOld) {
  ConnectAndRegister();
  clock.AdvanceMs(5001);
  answer = [](std::int32_t) { return ReplyOf(cmdDropLink); };
  link.LinkStep();
  ASSERT_FALSE(link.IsOnline());
  answer = NormalAnswer;
  link.LinkStep();
  EXPECT_EQ(peer.ConnectAttempts(), 2);
  EXPECT_TRUE(link.IsOnline());
}

TEST_F(LinkWorkerTest, ServerDisconnectResetsErrorsAndWaits5000MsFromTheCommand) {
  ConnectAndRegister();
  answer = [](std::int32_t) { return std::nullopt; };
  clock.AdvanceMs(501);
  Steps(3);
  ASSERT_GT(link.GetErrorCount(), 0);
  clock.AdvanceMs(6000);  // the last attempt is long past
  answer = [](std::int32_t) { return ReplyOf(cmdServerDisconnect); };
  link.LinkStep();
  ASSERT_FALSE(link.IsOnline());
  EXPECT_EQ(link.GetErrorCount(), 0);
  EXPECT_TRUE(peer.ConnectionOpen());
  clock.AdvanceMs(5000);
  link.LinkStep();
  EXPECT_EQ(peer.ConnectAttempts(), 1);
  clock.AdvanceMs(1);
  answer = NormalAnswer;
  link.LinkStep();
  EXPECT_EQ(peer.ConnectAttempts(), 2);
  EXPECT_TRUE(link.IsOnline());
}

TEST_F(LinkWorkerTest, ReplyFailingTheMarkerTestIsIgnoredWithoutError) {
  ConnectAndRegister();
  const int steps = IndicatorSteps();
  for (const std::size_t at : {std::size_t{0}, std::size_t{17}}) {
    Bytes bad = ReplyOf(cmdDropLink);
    bad[kBlockPrefixSize + at] = 0x00;
    answer = [bad](std::int32_t) { return std::optional<Bytes>(bad); };
    clock.AdvanceMs(501);
    link.LinkStep();
    EXPECT_TRUE(link.IsOnline()) << "byte " << at;
    EXPECT_EQ(link.GetErrorCount(), 0) << "byte " << at;
  }
  EXPECT_EQ(IndicatorSteps(), steps);
}

// ------------------------------------------------------------- queue

TEST_F(LinkWorkerTest, QueueHoldsHundredAndARefusalLeavesASequenceGap) {
  ConnectAndRegister();
  for (int i = 0; i < 100; ++i) ASSERT_TRUE(link.AddPacket(cmdQueryAnswer, {})) << i;
  EXPECT_FALSE(link.AddPacket(cmdQueryAnswer, {}));
  link.LinkStep();
  EXPECT_TRUE(link.AddPacket(cmdQueryAnswer, {}));
  Steps(100);
  EXPECT_EQ(link.QueuedCount(), 0u);
  std::vector<std::int64_t> sequences;
  for (const auto& s : SentWith(cmdQueryAnswer)) sequences.push_back(s.sequence);
  ASSERT_EQ(sequences.size(), 101u);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(sequences[i], 4 + i);
  EXPECT_EQ(sequences[100], 105) << "two above the last accepted";
}

TEST_F(LinkWorkerTest, PacketsAreRefusedWhileOffline) {
  EXPECT_FALSE(link.AddPacket(cmdEvent, EventPayload(1)));
  EXPECT_FALSE(OfferEvent(1));
  EXPECT_EQ(link.QueuedCount(), 0u);
  EXPECT_EQ(spool.Backlog(), 1u) << "the file waits in the backlog";
}

// ------------------------------------------------------------- delivery guarantee

struct AnswerCase {
  friend void PrintTo(const AnswerCase& c, std::ostream* os) { *os << c.name; }
  const char* name;
  Bytes reply;
  bool spooled;
};

Bytes ZeroLengthBlock() {
  Bytes b(kBlockPrefixSize, 0);
  b[0] = 0xFF;
  return b;
}

class LiveEventAnswerTest : public LinkFixture, public ::testing::WithParamInterface<AnswerCase> {};

TEST_P(LiveEventAnswerTest, DeliveredOnlyByItsOwnAcknowledgement) {
  ConnectAndRegister();
  answer = [](std::int32_t c) {
    return c == cmdEvent ? std::optional<Bytes>(GetParam().reply) : NormalAnswer(c);
  };
  ASSERT_TRUE(link.AddPacket(cmdEvent, EventPayload(7)));
  link.LinkStep();
  EXPECT_EQ(SentWith(cmdEvent).size(), 1u);
  EXPECT_EQ(SentWith(cmdEvent)[0].payload, EventPayload(7));
  if (GetParam().spooled) {
    EXPECT_THAT(SpooledEventNumbers(), ElementsAre(7));
  } else {
    EXPECT_TRUE(SpoolFiles().empty());
  }
  EXPECT_EQ(link.AwaitingReplyCount(), 0u);
  EXPECT_EQ(link.QueuedCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Replies, LiveEventAnswerTest,
    ::testing::Values(AnswerCase{"EventAck", ReplyOf(cmdEventAck), false},
                      AnswerCase{"KeepAlive", ReplyOf(cmdKeepAlive), true},
                      AnswerCase{"Registered", ReplyOf(cmdRegistered), true},
                      AnswerCase{"ZeroLength", ZeroLengthBlock(), true},
                      AnswerCase{"ShortBlock", BuildBlock(Bytes{0xFF, 0x25, 0, 0, 3}), true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(LinkWorkerTest, LateReplyIsMatchedByItsSequenceNumber) {
  echo = true;
  ConnectAndRegister();
  answer = [](std::int32_t) { return std::nullopt; };
  ASSERT_TRUE(link.AddPacket(cmdEvent, EventPayload(1)));
  link.LinkStep();  // E1 (sequence 4) written, no reply within the read timeout
  EXPECT_EQ(link.AwaitingReplyCount(), 0u) << "an echoing server left it unanswered";
  EXPECT_THAT(SpooledEventNumbers(), ElementsAre(1));

  // E1's acknowledgement arrives late, then E2 is turned away: the late
  // acknowledgement answers nothing E2 asked and settles nothing.
  peer.Push(WithSequence(ReplyOf(cmdEventAck), 4));
  answer = [](std::int32_t) { return ReplyOf(cmdKeepAlive); };
  ASSERT_TRUE(link.AddPacket(cmdEvent, EventPayload(2)));
  link.LinkStep();  // E1's late acknowledgement read before E2 goes; E2 answered
  EXPECT_EQ(link.AwaitingReplyCount(), 0u);
  EXPECT_THAT(SpooledEventNumbers(), ElementsAre(1, 2));
  EXPECT_TRUE(link.EchoBelieved());
  EXPECT_EQ(link.ResyncCount(), 0);
  EXPECT_TRUE(link.IsOnline());
}

TEST_F(LinkWorkerTest, LateReplyFromAServerThatDoesNotEchoAnswersItsOwnBlock) {
  ConnectAndRegister();
  answer = [](std::int32_t) { return std::nullopt; };
  ASSERT_TRUE(link.AddPacket(cmdEvent, EventPayload(1)));
  link.LinkStep();  // E1 written, no reply within the read timeout
  EXPECT_EQ(link.AwaitingReplyCount(), 1u);
  // E2 waits until E1's line is settled: the reply that comes is E1's.
  const std::size_t writes = peer.Writes().size();
  peer.Push(ReplyOf(cmdEventAck), 300);
  ASSERT_TRUE(link.AddPacket(cmdEvent, EventPayload(2)));
  answer = NormalAnswer;
  link.LinkStep();
  EXPECT_EQ(peer.Writes().size(), writes) << "nothing new while E1 waits";
  EXPECT_EQ(link.AwaitingReplyCount(), 0u);
  link.LinkStep();  // E2 goes and is acknowledged
  EXPECT_TRUE(link.IsOnline());
  EXPECT_EQ(link.ResyncCount(), 0);
  EXPECT_EQ(SentWith(cmdEvent).size(), 2u);
  EXPECT_TRUE(SpoolFiles().empty());
}

TEST_F(LinkWorkerTest, LinkDownSpoolsEventsFromMemoryAndLeavesFilesInTheBacklog) {
  ConnectAndRegister();
  answer = [](std::int32_t) { return std::nullopt; };
  ASSERT_TRUE(link.AddPacket(cmdEvent, EventPayload(1)));  // from memory
  link.LinkStep();                                         // E1 waits for its reply
  ASSERT_TRUE(link.AddPacket(cmdEvent, EventPayload(2)));
  ASSERT_TRUE(OfferEvent(3));  // written ahead
  ASSERT_TRUE(link.AddPacket(cmdEvent, EventPayload(4)));
  peer.Push(ReplyOf(cmdDropLink));  // the reply to E1
  link.LinkStep();                  // E2 written, E1 answered by DropLink
  EXPECT_FALSE(link.IsOnline());
  EXPECT_THAT(SpooledEventNumbers(), ElementsAre(3, 1, 2, 4)) << "E3 was on disk first";
  EXPECT_EQ(link.QueuedCount(), 0u);
  EXPECT_EQ(link.AwaitingReplyCount(), 0u);
  EXPECT_EQ(spool.Backlog(), 4u) << "nothing in flight any more";
  EXPECT_EQ(spool.Waiting(), 4u);
}

TEST_F(LinkWorkerTest, FileEventsWaitingOrQueuedAtLinkDownAreNotWrittenAgain) {
  ConnectAndRegister();
  answer = [](std::int32_t) { return std::nullopt; };
  ASSERT_TRUE(OfferEvent(1));
  link.LinkStep();  // E1 waits for its reply
  ASSERT_TRUE(OfferEvent(2));
  peer.Push(ReplyOf(cmdDropLink));
  link.LinkStep();
  ASSERT_FALSE(link.IsOnline());
  EXPECT_THAT(SpooledEventNumbers(), ElementsAre(1, 2));
  EXPECT_EQ(spool.Backlog(), 2u);
  // After the next connection both go from the backlog, and their acks delete them.
  answer = NormalAnswer;
  link.TakeBacklog(true);
  clock.AdvanceMs(5001);
  Steps(8);
  EXPECT_TRUE(SpoolFiles().empty());
  EXPECT_EQ(spool.Waiting(), 0u);
}

TEST_F(LinkWorkerTest, PacketsOfAConnectionDieWithIt) {
  ConnectAndRegister();
  answer = [](std::int32_t) { return ReplyOf(cmdDropLink); };
  ASSERT_TRUE(link.AddPacket(cmdQueryAnswer, {}));
  ASSERT_TRUE(link.AddPacket(cmdQueryAnswer, {}));
  link.LinkStep();
  ASSERT_FALSE(link.IsOnline());
  EXPECT_EQ(link.QueuedCount(), 0u);
  answer = NormalAnswer;
  clock.AdvanceMs(5001);
  link.LinkStep();
  link.LinkStep();
  const auto sent = Sent();
  EXPECT_EQ(sent.back().command, cmdHello) << "the new connection begins with its own Hello";
  EXPECT_EQ(sent.back().sequence, 6);
}

TEST_F(LinkWorkerTest, ConnectionCutDuringTheHandshakeRepeatedlyLeavesNothingStale) {
  // The server closes every connection after reading two blocks.
  int blocks = 0;
  peer.SetOnWrite([&](ByteView block) {
    const std::int32_t c = PacketCommand(block.subspan(kBlockPrefixSize));
    if (++blocks % 2 == 0) {
      peer.PushClose();
    } else {
      peer.Push(ReplyOf(c == cmdHello ? cmdQuery : cmdKeepAlive));
    }
  });
  std::vector<std::size_t> firstBlockOfConnection;
  for (int cycle = 0; cycle < 5; ++cycle) {
    clock.AdvanceMs(5001);
    const std::size_t before = peer.Writes().size();
    link.LinkStep();  // connects: the handshake (and nothing else) is queued
    ASSERT_TRUE(link.IsOnline());
    EXPECT_EQ(link.QueuedCount(), 4u) << "cycle " << cycle;
    for (int i = 0; i < 10 && link.IsOnline(); ++i) link.LinkStep();
    ASSERT_FALSE(link.IsOnline());
    link.LinkStep();
    EXPECT_EQ(link.QueuedCount(), 0u) << "cycle " << cycle;
    ASSERT_GT(peer.Writes().size(), before);
    firstBlockOfConnection.push_back(before);
  }
  const auto sent = Sent();
  for (std::size_t at : firstBlockOfConnection) EXPECT_EQ(sent[at].command, cmdHello);
}

TEST_F(LinkWorkerTest, PacketTakenWhileNotConnectedTakesTheLinkDownAtOnce) {
  ConnectAndRegister();
  const std::size_t writes = peer.Writes().size();
  ASSERT_TRUE(link.AddPacket(cmdEvent, EventPayload(4)));
  peer.CloseFromPeer();
  link.LinkStep();
  EXPECT_FALSE(link.IsOnline());
  EXPECT_EQ(peer.Writes().size(), writes);
  EXPECT_THAT(SpooledEventNumbers(), ElementsAre(4));
  EXPECT_EQ(link.QueuedCount(), 0u);
  // The next attempt follows the usual rule.
  link.LinkStep();
  EXPECT_EQ(peer.ConnectAttempts(), 1);
  clock.AdvanceMs(5001);
  link.LinkStep();
  EXPECT_EQ(peer.ConnectAttempts(), 2);
}

TEST_F(LinkWorkerTest, WriteErrorClosesTheConnectionAndSpoolsTheLiveEvent) {
  ConnectAndRegister();
  ASSERT_TRUE(link.AddPacket(cmdQueryAnswer, {}));
  ASSERT_TRUE(link.AddPacket(cmdEvent, EventPayload(6)));
  peer.SetFailWrites(true);
  link.LinkStep();
  EXPECT_FALSE(link.IsOnline());
  EXPECT_FALSE(peer.ConnectionOpen());
  EXPECT_GE(link.GetErrorCount(), 1);
  EXPECT_EQ(link.QueuedCount(), 0u) << "the query answer belonged to that connection";
  EXPECT_THAT(SpooledEventNumbers(), ElementsAre(6));
  peer.SetFailWrites(false);
  clock.AdvanceMs(5001);
  link.LinkStep();
  link.LinkStep();
  EXPECT_EQ(DecodeBlock(peer.Writes().back()).command, cmdHello);
}

TEST_F(LinkWorkerTest, KeepAliveWriteErrorIsCounted) {
  ConnectAndRegister();
  peer.SetFailWrites(true);
  clock.AdvanceMs(501);
  link.LinkStep();
  EXPECT_FALSE(link.IsOnline());
  EXPECT_EQ(link.GetErrorCount(), 2) << "the write error and the empty reply";
}

TEST_F(LinkWorkerTest, SpoolFileIsDeletedByTheAcknowledgementOfItsOwnBlock) {
  ConnectAndRegister();
  const auto file = WriteEvent(9);
  ASSERT_TRUE(link.AddEventFile(cmdEvent, EventPayload(9), file));
  EXPECT_TRUE(spool.StateOf(file) == SpoolFileState::InFlight);
  link.LinkStep();
  EXPECT_FALSE(std::filesystem::exists(file));
  EXPECT_FALSE(spool.StateOf(file).has_value());
  EXPECT_EQ(spool.Delivered(), 1u);
}

TEST_F(LinkWorkerTest, AFileAnsweredOtherwiseIsOfferedAgainOnlyAfterThreeSeconds) {
  ConnectAndRegister();
  link.TakeBacklog(true);
  answer = [](std::int32_t c) { return c == cmdEvent ? ReplyOf(cmdKeepAlive) : *NormalAnswer(c); };
  ASSERT_TRUE(OfferEvent(1));
  link.LinkStep();
  EXPECT_EQ(SentWith(cmdEvent).size(), 1u);
  for (int i = 0; i < 149; ++i) {
    clock.AdvanceMs(20);
    link.LinkStep();
  }
  EXPECT_EQ(SentWith(cmdEvent).size(), 1u) << "not within 3 s";
  clock.AdvanceMs(21);
  link.LinkStep();
  EXPECT_EQ(SentWith(cmdEvent).size(), 2u);
  EXPECT_THAT(SpooledEventNumbers(), ElementsAre(1));
}

TEST_F(LinkWorkerTest, LiveEventsGoOutAheadOfTheBacklog) {
  peer.SetRefuseConnections(true);
  link.TakeBacklog(true);
  for (std::uint8_t n = 1; n <= 3; ++n) WriteEvent(n);  // the backlog
  link.LinkStep();
  peer.SetRefuseConnections(false);
  clock.AdvanceMs(5001);
  ConnectAndRegister();
  // The backlog fills the steps the live events leave free.
  std::vector<int> order;
  ASSERT_TRUE(OfferEvent(7));
  ASSERT_TRUE(OfferEvent(8));
  Steps(2);
  ASSERT_TRUE(OfferEvent(9));
  Steps(4);
  for (const auto& s : SentWith(cmdEvent)) order.push_back(s.payload.at(0));
  EXPECT_THAT(order, ElementsAre(7, 8, 9, 1, 2, 3));
  EXPECT_TRUE(SpoolFiles().empty());
}

TEST_F(LinkWorkerTest, AcknowledgementOfALiveEventDeletesNoSpoolFile) {
  ConnectAndRegister();
  const auto file = dir / "ABC.dd8";
  WriteFileBytes(file, Bytes{1, 0, 0, 0});
  answer = [](std::int32_t c) {
    return c == cmdEvent ? ReplyOf(cmdEventAck) : ReplyOf(cmdKeepAlive);
  };
  spool.Rescan();
  ASSERT_TRUE(link.AddEventFile(1, {}, file));
  ASSERT_TRUE(link.AddPacket(cmdEvent, EventPayload(1)));
  Steps(2);
  EXPECT_TRUE(std::filesystem::exists(file));
  EXPECT_EQ(link.AwaitingReplyCount(), 0u);
}

TEST_F(LinkWorkerTest, SpoolFileThatCannotBeDeletedCountsAsDeliveredAndIsReportedOnce) {
  ConnectAndRegister();
  const auto file = dir / "ABC.dd8";
  WriteFileBytes(file, Bytes{1, 0, 0, 0});
  files.Fail(FaultyFileSystem::Op::Remove, "ABC.dd8");
  answer = [](std::int32_t) { return ReplyOf(cmdEventAck); };
  link.TakeBacklog(true);
  spool.Rescan();
  ASSERT_TRUE(link.AddEventFile(1, {}, file));
  Steps(2);
  spool.Rescan();
  Steps(2);
  EXPECT_TRUE(std::filesystem::exists(file));
  EXPECT_TRUE(spool.StateOf(file) == SpoolFileState::Settled);
  EXPECT_EQ(spool.Waiting(), 0u);
  EXPECT_EQ(SentWith(1).size(), 1u) << "never handed over again";
  EXPECT_EQ(oplog.Failures().size(), 1u);
}

TEST_F(LinkWorkerTest, StopSpoolsLiveEventsAndShowsNothingMore) {
  ConnectAndRegister();
  answer = [](std::int32_t) { return std::nullopt; };
  ASSERT_TRUE(link.AddPacket(cmdEvent, EventPayload(1)));
  link.LinkStep();  // E1 waits for its reply
  ASSERT_TRUE(link.AddPacket(cmdEvent, EventPayload(2)));
  const auto lines = oplog.Lines();
  const int steps = IndicatorSteps();
  link.RequestStop();
  EXPECT_TRUE(link.IsStopRequested());
  EXPECT_FALSE(link.IsReconnectEnabled());
  link.Execute();  // the loop ends at once; then the shutdown
  EXPECT_FALSE(link.IsOnline());
  EXPECT_THAT(SpooledEventNumbers(), ElementsAre(1, 2));
  EXPECT_FALSE(peer.ConnectionOpen());
  EXPECT_EQ(oplog.Lines(), lines);
  EXPECT_EQ(IndicatorSteps(), steps);
  EXPECT_FALSE(link.AddPacket(cmdEvent, EventPayload(3)));
}

TEST_F(LinkWorkerTest, UnwritableSpoolKeepsTheEventForALaterRetry) {
  ConnectAndRegister();
  files.Fail(FaultyFileSystem::Op::WriteNew);
  answer = [](std::int32_t) { return ReplyOf(cmdKeepAlive); };
  ASSERT_TRUE(link.AddPacket(cmdEvent, EventPayload(5)));
  link.LinkStep();
  EXPECT_TRUE(SpoolFiles().empty());
  EXPECT_EQ(spool.PendingCount(), 1u);
  files.HealAll();
  spool.RetryPending(nullptr);
  EXPECT_THAT(SpooledEventNumbers(), ElementsAre(5));
}

// A stop with the queue full: every event offered is on disk already; events the
// disk refused are kept in memory and either written at the end or named.
TEST_F(LinkWorkerTest, StopWithAFullQueueLeavesEveryEventOnDiskOrNamed) {
  for (const bool diskBack : {true, false}) {
    SCOPED_TRACE(diskBack ? "disk back at the stop" : "disk still refusing");
    for (const auto& f : SpoolFiles()) std::filesystem::remove(f);
    spool.Rescan();
    cl worker{
        clock, files,
        oplog, peer.Factory(),
        spool, LinkIdentity{"COM3", 1, {}, "8.1.4.30", ServerHostFromFolder(files, dir.Path())}};
    clock.AdvanceMs(5001);
    worker.LinkStep();
    ASSERT_TRUE(worker.IsOnline());
    answer = [](std::int32_t) { return std::nullopt; };
    int refused = 0;
    for (int n = 0; n < 110; ++n) {
      const auto file = WriteEvent(static_cast<std::uint8_t>(n));
      refused +=
          worker.AddEventFile(cmdEvent, EventPayload(static_cast<std::uint8_t>(n)), file) ? 0 : 1;
    }
    EXPECT_EQ(refused, 14) << "100 slots, 4 of them taken by the handshake";
    files.Fail(FaultyFileSystem::Op::WriteNew);
    EXPECT_FALSE(spool.Append(cmdEvent, EventPayload(200)));  // kept in memory
    worker.RequestStop();
    worker.Execute();
    EXPECT_EQ(SpoolFiles().size(), 110u);
    EXPECT_EQ(spool.Backlog(), 110u) << "nothing in flight after the stop";
    if (diskBack) files.HealAll();
    spool.RetryPending(nullptr);  // the last write at the end
    if (diskBack) {
      EXPECT_EQ(SpoolFiles().size(), 111u);
      EXPECT_TRUE(spool.PendingDescriptions().empty());
    } else {
      ASSERT_EQ(spool.PendingDescriptions().size(), 1u);
      EXPECT_NE(spool.PendingDescriptions()[0].find("0000C8"), std::string::npos);
    }
    files.HealAll();
    spool.RetryPending(nullptr);
    answer = NormalAnswer;
  }
}

}  // namespace
}  // namespace kestrel::test
