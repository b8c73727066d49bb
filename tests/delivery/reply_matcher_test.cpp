// Which block a reply answers, told step by step for servers that keep the
// one-reply-per-block rule in their different ways, and for some that break it.

#include "delivery/reply_matcher.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "delivery/commands.h"

namespace kestrel::test {
namespace {

constexpr std::int32_t kEvent = cmdEvent;
constexpr std::int32_t kAck = cmdEventAck;
constexpr std::int32_t kKeep = cmdKeepAlive;

// One thing that happens on the line, and what the matcher must answer.
struct Step {
  enum Op { Write, Reply, Bad, GaveUp, Unasked } op;
  std::int32_t command = 0;  // of the block written, or of the reply
  std::int64_t sequence = 0;
  // Expected: the sequence of the block the reply answers (nullopt: none), blocks
  // given up, whether the link must start afresh, whether a write may follow.
  std::optional<std::int64_t> answers = std::nullopt;
  int unanswered = 0;
  bool afresh = false;
  std::optional<bool> mayWrite = std::nullopt;
  std::optional<bool> probe = std::nullopt;
};

Step W(std::int32_t command, std::int64_t sequence) { return {Step::Write, command, sequence}; }
Step R(std::int32_t command, std::int64_t sequence, std::optional<std::int64_t> answers) {
  return {Step::Reply, command, sequence, answers, 0, false, true};
}
// The late reply of a block given up: the block written since keeps waiting.
Step Late(std::int32_t command, std::int64_t sequence) {
  return {Step::Reply, command, sequence, std::nullopt, 0, false, false};
}
Step Afresh(std::int32_t command, std::int64_t sequence) {
  return {Step::Reply, command, sequence, std::nullopt, 0, true};
}
Step Silent(int unanswered, bool mayWrite) {
  return {Step::GaveUp, 0, 0, std::nullopt, unanswered, false, mayWrite};
}
Step U(std::int64_t sequence) { return {Step::Unasked, 0, sequence}; }

// The handshake as written on a connection whose first sequence number is `s`,
// each block answered by `reply(block sequence)` with `command`.
std::vector<Step> Handshake(std::int64_t s, std::int64_t (*replySeq)(std::int64_t, int),
                            std::int32_t helloReply = kKeep) {
  std::vector<Step> out;
  const std::int32_t commands[] = {cmdHello, cmdPortInfo, cmdFirstNumber, cmdVersion};
  const std::int32_t replies[] = {helloReply, kKeep, kKeep, cmdRegistered};
  for (int i = 0; i < 4; ++i) {
    out.push_back(W(commands[i], s + i));
    out.push_back(R(replies[i], replySeq(s + i, i), s + i));
  }
  return out;
}

std::int64_t Zero(std::int64_t, int) { return 0; }
std::int64_t Echo(std::int64_t s, int) { return s; }
std::int64_t Counter(std::int64_t, int i) { return i; }

struct Case {
  friend void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }
  const char* name;
  std::vector<Step> steps;
  bool echoAtEnd;
};

std::vector<Step> Join(std::vector<std::vector<Step>> parts) {
  std::vector<Step> out;
  for (auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

std::vector<Case> Cases() {
  return {
      {"ZeroInEveryReply",
       Join({Handshake(0, Zero),
             {W(kKeep, 0), R(kKeep, 0, 0), W(kEvent, 4), R(kAck, 0, 4), W(kEvent, 5),
              R(kKeep, 0, 5)}}),
       false},
      {"Echo",
       Join({Handshake(0, Echo), {W(kEvent, 4), R(kAck, 4, 4), W(kKeep, 0), R(kKeep, 0, 0)}}),
       true},
      {"OwnRunningCounterMatchesByChanceThenNot",
       Join({Handshake(0, Counter),
             {W(kKeep, 0), R(kKeep, 4, 0), W(kEvent, 4), R(kAck, 5, 4), W(kEvent, 5),
              R(kAck, 6, 5)}}),
       false},
      {"OwnCounterOnALaterConnection",
       Join({Handshake(40, Counter), {W(kEvent, 44), R(kAck, 4, 44)}}), false},
      {"QueryAnswersAKeepAlive",
       Join({Handshake(0, Zero),
             {W(kKeep, 0), R(cmdQuery, 0, 0), W(cmdQueryAnswer, 4), R(kKeep, 0, 4), W(kEvent, 5),
              R(kAck, 0, 5)}}),
       false},
      {"QueryAnswersHello",
       Join({Handshake(7, Zero, cmdQuery), {W(cmdQueryAnswer, 11), R(kKeep, 0, 11)}}), false},
      {"QueryAnswersAnEvent", Join({Handshake(0, Echo), {W(kEvent, 4), R(cmdQuery, 4, 4)}}), true},
      {"LateReplyWithinTheSettlingReads",
       Join({Handshake(0, Zero),
             {W(kEvent, 4), Silent(0, false), Silent(0, false), R(kAck, 0, 4), W(kEvent, 5),
              R(kAck, 0, 5)}}),
       false},
      {"MissingReplyIsGivenUpThenAKeepAliveGoesFirst",
       Join({Handshake(0, Zero),
             {W(kEvent, 4), Silent(0, false), Silent(0, false),
              Step{Step::GaveUp, 0, 0, std::nullopt, 1, false, true, true}, W(kKeep, 0),
              R(kKeep, 0, 0)}}),
       false},
      {"ReplyOwedArrivesBeforeTheNextWrite",
       Join({Handshake(0, Zero),
             {W(kEvent, 4), Silent(0, false), Silent(0, false), Silent(1, true), W(kKeep, 0),
              R(kAck, 0, 0), U(0), W(kEvent, 5), R(kAck, 0, 5)}}),
       false},
      {"ReplyOwedNeverComesThenAnAcknowledgementCannotBePlaced",
       Join({Handshake(0, Zero),
             {W(kEvent, 4), Silent(0, false), Silent(0, false), Silent(1, true), W(kKeep, 0),
              R(kKeep, 0, 0), W(kEvent, 5), Afresh(kAck, 0)}}),
       false},
      {"ReplyOwedAnEventsRefusalIsStillPlaced",
       Join({Handshake(0, Zero),
             {W(kEvent, 4), Silent(0, false), Silent(0, false), Silent(1, true), W(kKeep, 0),
              R(kKeep, 0, 0), W(kEvent, 5), R(kKeep, 0, 5)}}),
       false},
      {"EchoGivesUpAtOnceAndKnowsTheLateReply",
       Join({Handshake(0, Echo),
             {W(kEvent, 4), Silent(1, true), W(kEvent, 5), Late(kAck, 4), R(kAck, 5, 5)}}),
       true},
      {"EchoContradictedFallsBackToOrder",
       Join({Handshake(0, Echo), {W(kEvent, 4), R(kAck, 9, 4), W(kEvent, 5), R(kAck, 0, 5)}}),
       false},
      {"ExtraReplyBeforeAWriteAnswersNothing",
       Join({Handshake(0, Zero), {U(0), W(kEvent, 4), R(kKeep, 0, 4)}}), false},
      {"BadBytesAnswerTheBlockByOrder",
       Join({Handshake(0, Zero),
             {W(kEvent, 4), Step{Step::Bad, 0, 0, 4}, W(kEvent, 5), R(kAck, 0, 5)}}),
       false},
  };
}

class ReplyMatcherTest : public ::testing::TestWithParam<Case> {};

TEST_P(ReplyMatcherTest, PlacesEveryReply) {
  ReplyMatcher m;
  m.NewConnection();
  int i = 0;
  for (const Step& s : GetParam().steps) {
    SCOPED_TRACE("step " + std::to_string(i++));
    ReplyMatcher::Placement p;
    switch (s.op) {
      case Step::Write:
        ASSERT_TRUE(m.MayWrite()) << "the worker writes only when nothing waits";
        m.Written({s.command,
                   s.command == kEvent ? PacketKind::SpoolFile : PacketKind::Internal,
                   {},
                   {},
                   s.sequence});
        continue;
      case Step::Unasked:
        m.UnaskedReply(s.sequence);
        continue;
      case Step::Reply:
        p = m.ReplyRead(s.command, s.sequence);
        break;
      case Step::Bad:
        p = m.BadReplyRead();
        break;
      case Step::GaveUp:
        p = m.ReadGaveUp();
        break;
    }
    EXPECT_EQ(p.answered ? std::optional<std::int64_t>(p.answered->sequence) : std::nullopt,
              s.answers);
    EXPECT_EQ(static_cast<int>(p.unanswered.size()), s.unanswered);
    EXPECT_EQ(p.startAfresh, s.afresh);
    if (s.afresh) {
      EXPECT_FALSE(p.why.empty());
    }
    if (s.mayWrite) {
      EXPECT_EQ(m.MayWrite(), *s.mayWrite);
    }
    if (s.probe) {
      EXPECT_EQ(m.ProbeDue(), *s.probe);
    }
  }
  EXPECT_EQ(m.EchoBelieved(), GetParam().echoAtEnd);
}

INSTANTIATE_TEST_SUITE_P(Servers, ReplyMatcherTest, ::testing::ValuesIn(Cases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ReplyMatcherConnectionTest, ANewConnectionForgetsEchoDebtsAndWaitingBlocks) {
  ReplyMatcher m;
  for (std::int64_t s = 1; s <= 3; ++s) {
    m.Written({cmdPortInfo, PacketKind::Internal, {}, {}, s});
    m.ReplyRead(kKeep, s);
  }
  ASSERT_TRUE(m.EchoBelieved());
  m.Written({kEvent, PacketKind::SpoolFile, "a.dd8", {}, 4});
  ASSERT_EQ(m.ReadGaveUp().unanswered.size(), 1u);
  m.Written({kEvent, PacketKind::SpoolFile, "b.dd8", {}, 5});
  const auto held = m.TakeAll();
  ASSERT_EQ(held.size(), 1u);
  EXPECT_EQ(held[0].spoolFile, "b.dd8");
  m.NewConnection();
  EXPECT_FALSE(m.EchoBelieved());
  EXPECT_EQ(m.Owed(), 0);
  EXPECT_TRUE(m.MayWrite());
  EXPECT_FALSE(m.ProbeDue());
}

}  // namespace
}  // namespace kestrel::test
