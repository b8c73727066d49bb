// The link worker with a primary and a standby server: two scripted servers on two
// ports, the worker's own loop run on the fake clock (as in the wait tests).

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>
#include <set>

#include "delivery/server_host.h"
#include "platform/paths.h"
#include "tests/delivery/link_test_support.h"

namespace kestrel::test {
namespace {

constexpr std::uint16_t kPrimaryPort = 4001;
constexpr std::uint16_t kStandbyPort = 4002;

// A client that talks to the scripted server listening on the port it connects to
// (none there: refused).
class RoutingClient final : public TcpClient {
 public:
  explicit RoutingClient(std::map<std::uint16_t, ScriptedPeer*> peers) : peers_(std::move(peers)) {}
  void SetOnConnected(std::function<void()> fn) override {
    onConnected_ = fn;
    if (inner_) inner_->SetOnConnected(std::move(fn));
  }
  void SetOnDisconnected(std::function<void()> fn) override {
    onDisconnected_ = fn;
    if (inner_) inner_->SetOnDisconnected(std::move(fn));
  }
  bool Connect(const std::string& host, std::uint16_t port, int timeoutMs) override {
    const auto it = peers_.find(port);
    if (it == peers_.end()) return false;
    if (inner_) inner_->Disconnect();
    inner_ = std::make_unique<ScriptedTcpClient>(*it->second);
    inner_->SetOnConnected(onConnected_);
    inner_->SetOnDisconnected(onDisconnected_);
    return inner_->Connect(host, port, timeoutMs);
  }
  bool Connected() const noexcept override { return inner_ && inner_->Connected(); }
  bool Write(ByteView data) override { return inner_ && inner_->Write(data); }
  ReadEnd Read(std::size_t count, int timeoutMs, Bytes& out) override {
    return inner_ ? inner_->Read(count, timeoutMs, out) : ReadEnd::Closed;
  }
  ReadEnd ReadWithin(std::size_t count, int timeoutMs, int limitMs, Bytes& out) override {
    return inner_ ? inner_->ReadWithin(count, timeoutMs, limitMs, out) : ReadEnd::Closed;
  }
  void Disconnect() override {
    if (inner_) inner_->Disconnect();
  }

 private:
  std::map<std::uint16_t, ScriptedPeer*> peers_;
  std::unique_ptr<ScriptedTcpClient> inner_;
  std::function<void()> onConnected_ = [] {};
  std::function<void()> onDisconnected_ = [] {};
};

// One scripted server that answers as the real one does, unless told otherwise.
struct Server {
  explicit Server(FakeClock& clock) : peer(clock) {
    peer.SetOnWrite([this](ByteView block) {
      const ByteView packet = block.subspan(kBlockPrefixSize);
      const auto reply = answer(PacketCommand(packet));
      if (reply) peer.Push(WithSequence(*reply, PacketSequence(packet)), delayMs);
    });
  }
  std::vector<int> Events() const {
    std::vector<int> out;
    for (const Bytes& b : peer.Writes()) {
      const SentPacket s = DecodeBlock(b);
      if (s.command == cmdEvent) out.push_back(s.payload.at(0));
    }
    return out;
  }
  int Registrations() const {
    int n = 0;
    for (const Bytes& b : peer.Writes()) n += DecodeBlock(b).command == cmdVersion ? 1 : 0;
    return n;
  }

  ScriptedPeer peer;
  std::uint32_t delayMs = 0;
  std::function<std::optional<Bytes>(std::int32_t)> answer = [](std::int32_t command) {
    if (command == cmdVersion) return std::optional<Bytes>(ReplyOf(cmdRegistered));
    if (command == cmdEvent) return std::optional<Bytes>(ReplyOf(cmdEventAck));
    return std::optional<Bytes>(ReplyOf(cmdKeepAlive));
  };
};

class LinkStandbyTest : public LinkFixture {
 protected:
  LinkStandbyTest() {
    clients = [this]() -> std::unique_ptr<TcpClient> {
      return std::make_unique<RoutingClient>(std::map<std::uint16_t, ScriptedPeer*>{
          {kPrimaryPort, &primary.peer}, {kStandbyPort, &standby.peer}});
    };
    link.TakeBacklog(true);
  }

  void WriteSettings(const std::string& extra) {
    WriteFileText(SettingsFilePath(dir.Path()), "[ServerHost]\r\nAddress=127.0.0.1\r\nPort=" +
                                                    std::to_string(kPrimaryPort) + "\r\n" + extra);
  }
  static std::string StandbyKeys(int failoverS, int failbackS) {
    return "BackupPort=" + std::to_string(kStandbyPort) +
           "\r\nFailoverAfter=" + std::to_string(failoverS) +
           "\r\nFailbackAfter=" + std::to_string(failbackS) + "\r\n";
  }

  // The worker's loop on the fake clock for `ms`: every wake-up it asks for, with
  // `each` run before every step (live events arriving, for instance).
  void RunFor(std::uint32_t ms, const std::function<void()>& each = {}) {
    const std::uint32_t end = clock.TickMs() + ms;
    for (int steps = 0; steps < 100000; ++steps) {
      const auto due = link.NextWakeInMs();
      std::uint32_t wait = due ? *due : 1000;              // the worker's longest wait
      if (each) wait = std::min<std::uint32_t>(wait, 50);  // a stream of events wakes it
      if (static_cast<std::int32_t>(end - (clock.TickMs() + wait)) < 0) break;
      clock.AdvanceMs(wait);
      if (each) each();
      link.LinkStep();
    }
    if (static_cast<std::int32_t>(end - clock.TickMs()) > 0) clock.AdvanceMs(end - clock.TickMs());
  }

  // Runs until `done` holds (at most `ms`); the fake milliseconds it took.
  std::uint32_t RunUntil(std::uint32_t ms, const std::function<bool()>& done,
                         const std::function<void()>& each = {}) {
    const std::uint32_t t0 = clock.TickMs();
    while (!done() && clock.TickMs() - t0 < ms) RunFor(50, each);
    return clock.TickMs() - t0;
  }

  void Offer(std::uint8_t n) {
    const auto file = spool.Append(cmdEvent, EventPayload(n));
    ASSERT_TRUE(file);
    link.AddEventFile(cmdEvent, EventPayload(n), *file);  // refused: it waits on disk
  }

  std::size_t SpoolFileCount() const { return SpoolFiles().size(); }

  bool Logged(const std::string& start) const {
    for (const std::string& line : oplog.Lines()) {
      if (line.rfind(start, 0) == 0) return true;
    }
    return false;
  }

  Server primary{clock};
  Server standby{clock};
};

TEST_F(LinkStandbyTest, FailoverAndFailbackLoseNothingAndSendTwiceOnlyWhatWasInFlight) {
  WriteSettings(StandbyKeys(3, 10));
  RunFor(100);
  ASSERT_TRUE(link.IsRegistered());
  std::uint8_t next = 1;
  std::uint32_t nextAt = clock.TickMs();
  const auto live = [&] {
    // An event every 200 ms, as a station at 5 reports a second.
    if (static_cast<std::int32_t>(clock.TickMs() - nextAt) >= 0 && next < 250) {
      Offer(next++);
      nextAt += 200;
    }
  };
  RunFor(2000, live);
  EXPECT_FALSE(primary.Events().empty());

  // The primary goes away and refuses.
  primary.peer.SetRefuseConnections(true);
  primary.peer.CloseFromPeer();
  const std::size_t inFlightAtLoss = link.AwaitingReplyCount();
  const std::uint32_t failover = RunUntil(
      20000, [&] { return !standby.Events().empty(); }, live);
  EXPECT_LE(failover, 3000u + 1000u) << "the failover time from the last reply";
  EXPECT_TRUE(Logged("Резервный сервер 127.0.0.1:4002 принял связь"));
  EXPECT_TRUE(link.ServerInUseAnyThread().standby);
  EXPECT_EQ(link.ServerInUseAnyThread().port, kStandbyPort);
  EXPECT_EQ(link.ServerInUseAnyThread().switches, 1u);

  // Back: found within the failback time, between blocks, on a second connection.
  RunFor(3000, live);
  primary.peer.SetRefuseConnections(false);
  const std::size_t onPrimaryBefore = primary.Events().size();
  const std::uint32_t failback = RunUntil(
      20000, [&] { return primary.Events().size() > onPrimaryBefore; }, live);
  EXPECT_LE(failback, 10000u + 1000u);
  EXPECT_TRUE(Logged("Основной сервер снова доступен (127.0.0.1:4001)"));
  EXPECT_FALSE(standby.peer.ConnectionOpen()) << "the standby connection is closed";
  EXPECT_FALSE(link.ServerInUseAnyThread().standby);
  EXPECT_EQ(link.ServerInUseAnyThread().switches, 2u);
  const std::size_t onStandby = standby.Events().size();
  RunFor(2000, live);
  EXPECT_EQ(standby.Events().size(), onStandby) << "nothing more to the standby";

  // Everything arrives; only what was in flight when the primary went can arrive twice.
  RunFor(3000);
  EXPECT_EQ(SpoolFileCount(), 0u);
  const std::vector<int> atPrimary = primary.Events();
  const std::vector<int> atStandby = standby.Events();
  std::multiset<int> all(atPrimary.begin(), atPrimary.end());
  all.insert(atStandby.begin(), atStandby.end());
  for (int n = 1; n < next; ++n) EXPECT_GE(all.count(n), 1u) << "event " << n;
  std::size_t onBoth = 0;
  const std::set<int> standbyOnce(atStandby.begin(), atStandby.end());
  for (int e : std::set<int>(atPrimary.begin(), atPrimary.end())) onBoth += standbyOnce.count(e);
  EXPECT_LE(onBoth, inFlightAtLoss);
  // The only failures told: the primary refusing, once when its attempts began to fail.
  EXPECT_THAT(oplog.Failures(),
              ::testing::Each(::testing::HasSubstr("Не удалось соединиться с сервером")));
}

TEST_F(LinkStandbyTest, WithoutStandbyKeysOnlyThePrimaryIsEverTried) {
  WriteSettings("FailoverAfter=1\r\n");
  RunFor(100);
  ASSERT_TRUE(link.IsRegistered());
  primary.peer.SetRefuseConnections(true);
  primary.peer.CloseFromPeer();
  RunFor(60000);
  EXPECT_EQ(standby.peer.ConnectAttempts(), 0);
  EXPECT_GE(primary.peer.ConnectAttempts(), 12);
  EXPECT_EQ(link.ServerInUseAnyThread().switches, 0u);
  EXPECT_FALSE(link.ServerInUseAnyThread().standby);
}

// The guard that leaves a silent primary, from both sides.
struct SilenceCase {
  std::string name;
  std::uint32_t replyDelayMs;  // every reply this late
  bool answers;                // false: the primary stops answering at all
  bool leaves;
};

class LinkStandbySilence : public LinkStandbyTest,
                           public ::testing::WithParamInterface<SilenceCase> {};

TEST_P(LinkStandbySilence, OnlyAPrimaryThatStopsAnsweringIsLeft) {
  const SilenceCase& c = GetParam();
  WriteSettings(StandbyKeys(3, 60));
  RunFor(100);
  ASSERT_TRUE(link.IsRegistered());
  primary.delayMs = c.replyDelayMs;
  if (!c.answers) primary.answer = [](std::int32_t) { return std::optional<Bytes>(); };
  RunFor(30000);
  EXPECT_EQ(standby.Registrations() > 0, c.leaves);
  EXPECT_EQ(link.ServerInUseAnyThread().standby, c.leaves);
  EXPECT_EQ(primary.Registrations(), 1) << "a connection that answers is never dropped";
}

INSTANTIATE_TEST_SUITE_P(Cases, LinkStandbySilence,
                         ::testing::Values(SilenceCase{"Answering", 0, true, false},
                                           SilenceCase{"AnsweringSlowly", 900, true, false},
                                           SilenceCase{"Silent", 0, false, true}),
                         [](const auto& info) { return info.param.name; });

TEST_F(LinkStandbyTest, APrimaryThatDoesNotRegisterKeepsTheStandbyAndIsTriedAgainLater) {
  WriteSettings(StandbyKeys(2, 10));
  primary.peer.SetRefuseConnections(true);
  RunUntil(20000, [&] { return standby.Registrations() > 0; });
  ASSERT_TRUE(link.ServerInUseAnyThread().standby);
  // Up, but it turns the station away.
  primary.peer.SetRefuseConnections(false);
  primary.answer = [](std::int32_t command) {
    return std::optional<Bytes>(ReplyOf(command == cmdVersion ? cmdAccessDenied : cmdKeepAlive));
  };
  Offer(1);
  RunFor(25000);
  EXPECT_EQ(primary.Registrations(), 2) << "tried every 10 s";
  EXPECT_TRUE(link.ServerInUseAnyThread().standby);
  EXPECT_TRUE(link.IsReconnectEnabled()) << "a refusal of the primary's try bars nothing";
  EXPECT_TRUE(standby.peer.ConnectionOpen());
  EXPECT_THAT(standby.Events(), ::testing::ElementsAre(1));
  EXPECT_EQ(link.ServerInUseAnyThread().switches, 1u);
}

}  // namespace
}  // namespace kestrel::test
