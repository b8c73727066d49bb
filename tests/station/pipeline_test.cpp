// From serial bytes to the server's side, without a window: the Station the
// program builds, the real link worker on its own thread, a serial port in memory
// and a scripted server connection. A scripted sequence of
// reports must reach the server as exactly the events an independent model of the
// rules computes, in order, byte for byte.

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "delivery/commands.h"
#include "delivery/delivery.h"
#include "delivery/packet.h"
#include "platform/file_system.h"
#include "station/station.h"
#include "tests/support/fake_clock.h"
#include "tests/support/fake_serial_port.h"
#include "tests/support/recording_operator_log.h"
#include "tests/support/scripted_tcp_client.h"
#include "tests/support/temp_dir.h"

namespace kestrel {
namespace {

constexpr int kWaitMs = 5000;  // bound of every wait on the worker thread

bool WaitFor(const std::function<bool()>& done) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// The rules as the station describes them, written out on their own: what a
// report of a transmitter raises given what was last heard of it, and which
// transmitters a silence reports.
class Model {
 public:
  Model(std::uint8_t firstNumber, int noTimeTestMinutes)
      : firstNumber_(firstNumber), silenceMs_(noTimeTestMinutes * 60000LL) {}

  void Report(std::uint32_t id, std::uint8_t s1, std::uint8_t s2, DateTime now) {
    if (!known_.count(id)) {
      order_.push_back(id);
      known_[id] = State{0, 132, false, now};  // a new transmitter's record
    }
    State& st = known_[id];
    const std::uint8_t flag = s2 >> 7;
    const auto bit = [](std::uint8_t v, int b) { return (v >> b) & 1; };
    const bool b2 = bit(s2, 2), b3 = bit(s2, 3);
    if (!b2 && !b3) Add(id, "39", flag, now);
    if (b2 && b3) Add(id, "31", flag, now);
    if (b2 != b3) {
      if (b2 && !bit(st.s2, 2)) Add(id, "37", flag, now);
      if (b3 && !bit(st.s2, 3)) Add(id, "38", flag, now);
    }
    const struct {
      int bit;
      const char* rise;
      const char* fall;
    } status1[] = {
        {6, "41", "51"}, {1, "42", "52"}, {3, "43", "53"}, {5, "44", "54"}, {2, "45", "55"}};
    for (const auto& r : status1) {
      if (bit(s1, r.bit) && !bit(st.s1, r.bit)) Add(id, r.rise, flag, now);
      if (!bit(s1, r.bit) && bit(st.s1, r.bit)) Add(id, r.fall, flag, now);
    }
    if (st.silent) Add(id, "71", flag, now);
    st = State{s1, s2, false, now};
  }

  // The tick at `now`: every transmitter silent for longer than NoTimeTest, once,
  // in the order first heard.
  void Tick(DateTime now) {
    for (std::uint32_t id : order_) {
      State& st = known_[id];
      const long long quietMs = std::llround((now - st.heard) * kMsPerDay);
      if (st.silent || quietMs <= silenceMs_) continue;
      st.silent = true;
      Add(id, "70", 0, now);
    }
  }

  const std::vector<EventRecord>& Events() const { return events_; }

 private:
  struct State {
    std::uint8_t s1 = 0, s2 = 0;
    bool silent = false;
    DateTime heard = 0;
  };
  void Add(std::uint32_t id, const char* code, std::uint8_t flag, DateTime now) {
    EventRecord e;
    e.TransmitterId = id;
    e.FirstNumber = firstNumber_;
    e.StatusFlag = flag;
    e.EventCode = {code[0], code[1]};
    e.EventTime = now;
    events_.push_back(e);
  }

  std::uint8_t firstNumber_;
  long long silenceMs_;
  std::map<std::uint32_t, State> known_;
  std::vector<std::uint32_t> order_;
  std::vector<EventRecord> events_;
};

std::string Line(std::uint32_t id, std::uint8_t s1, std::uint8_t s2) {
  char text[16];
  std::snprintf(text, sizeof text, "%06X%02X%02X\r\n", id, s1, s2);
  return text;
}

class Pipeline : public ::testing::Test {
 protected:
  Pipeline() {
    peer_.SetOnWrite([this](ByteView block) {
      if (!serverAnswers_) return;
      const std::int32_t command = PacketCommand(block.subspan(kBlockPrefixSize));
      const std::int32_t reply = command == cmdVersion ? cmdRegistered
                                 : command == cmdEvent ? cmdEventAck
                                                       : cmdKeepAlive;
      peer_.Push(BuildBlock(BuildPacket(reply, 0, {})));
    });
  }

  ~Pipeline() override {
    if (station_) {
      EXPECT_TRUE(station_->Shutdown(kWaitMs));
    }
  }

  // The station as the program builds it: it opens COM1 of the settings and
  // starts the link.
  void Start() {
    StationServices services{clock_, fs_, peer_.Factory(), dir_.Path()};
    services.port = &port_;
    services.log = &log_;
    station_ = std::make_unique<Station>(std::move(services));
    ASSERT_TRUE(port_.IsOpen());
  }

  // The receiver sends a report; the model hears it at the same moment.
  void Send(std::uint32_t id, std::uint8_t s1, std::uint8_t s2) {
    model_.Report(id, s1, s2, clock_.Now());
    station_->BytesWaiting(port_.Arrive(Line(id, s1, s2)));
  }
  void Tick() {
    model_.Tick(clock_.Now());
    station_->Tick();
  }

  // The event payloads the server received, in order.
  std::vector<Bytes> ServerEvents() const {
    std::vector<Bytes> out;
    for (const Bytes& block : peer_.Writes()) {
      const ByteView packet = ByteView(block).subspan(kBlockPrefixSize);
      if (PacketCommand(packet) != cmdEvent) continue;
      out.emplace_back(packet.begin() + kPacketHeaderSize, packet.end());
    }
    return out;
  }
  std::vector<Bytes> Expected() const {
    std::vector<Bytes> out;
    for (const EventRecord& e : model_.Events()) {
      const EventBytes b = EncodeEventRecord(e);
      out.emplace_back(b.begin(), b.end());
    }
    return out;
  }
  std::size_t SpoolFiles() {
    std::size_t n = 0;
    const SpoolLocation where = ReadStationSettings(fs_, dir_.Path()).spool;
    for (const auto& e : std::filesystem::directory_iterator(where.dir))
      n += where.IsSpoolName(e.path().filename().string()) ? 1 : 0;
    return n;
  }

  // The settings are on disk before reception starts and reads them.
  static bool WriteSettings(const test::TempDir& dir) {
    test::WriteFileText(
        dir / "drvkestrel.ini",
        "[main]\r\nComPort=COM1\r\nFirstNumber=300\r\nNoTimeTest=30\r\nAlarmAfter=0\r\n");
    return true;
  }

  test::TempDir dir_;
  bool settingsWritten_ = WriteSettings(dir_);
  test::FakeClock clock_{EncodeDateTime({2026, 12, 8, 10, 0, 0, 0})};
  test::ScriptedPeer peer_{clock_};
  bool serverAnswers_ = true;
  DiskFileSystem fs_;
  test::RecordingOperatorLog log_;
  test::FakeSerialPort port_;
  std::unique_ptr<Station> station_;
  Model model_{300 & 0xFF, 30};
};

TEST_F(Pipeline, ReportsReachTheServerAsExactlyTheEventsTheRulesGive) {
  Start();
  ASSERT_TRUE(WaitFor([&] { return station_->Status().delivery.registered; }));

  Send(0x0A1B2C, 0x00, 0x0C);  // new: both Status2 bits set
  clock_.AdvanceMs(250);
  Send(0x0A1B2C, 0x40, 0x84);                            // Status1 bit 6 rises; flag set
  Send(0x100001, 0x2E, 0x00);                            // new: both clear, four Status1 bits rise
  station_->BytesWaiting(port_.Arrive("ZZZZ\r\n0A1B"));  // noise, then half a report...
  model_.Report(0x0A1B2C, 0x00, 0x88, clock_.Now());
  station_->BytesWaiting(port_.Arrive("2C0088\r\n"));  // ...and its other half
  clock_.AdvanceMs(1000);
  Tick();                          // nobody silent yet
  clock_.AdvanceMs(30u * 60000u);  // half an hour of silence
  Tick();                          // "70" for both, in the order first heard
  Tick();                          // once per silence
  Send(0x100001, 0x2E, 0x00);      // heard again: "71" last
  Send(0xFFFFFF, 0x91, 0xF7);      // untested bits only

  const std::vector<Bytes> expected = Expected();
  ASSERT_EQ(expected.size(), 13u);  // counted by hand: the model is no empty one
  ASSERT_TRUE(WaitFor([&] { return ServerEvents().size() >= expected.size(); }))
      << ServerEvents().size() << " of " << expected.size();
  EXPECT_EQ(ServerEvents(), expected);
  // Every file goes once its acknowledgement is read, a moment after the server
  // has the last event.
  EXPECT_TRUE(WaitFor([&] { return SpoolFiles() == 0u; })) << SpoolFiles() << " files left";
  EXPECT_TRUE(log_.Failures().empty()) << log_.Failures()[0];

  // The handshake came first, and every packet has the next sequence number
  // (keepalives, which fall due once the clock has moved on, carry none).
  const auto writes = peer_.Writes();
  std::int64_t next = 0;
  for (const Bytes& w : writes) {
    const ByteView packet = ByteView(w).subspan(kBlockPrefixSize);
    if (PacketCommand(packet) == cmdKeepAlive) continue;
    EXPECT_EQ(PacketSequence(packet), next++);
  }
  EXPECT_EQ(PacketCommand(ByteView(writes[0]).subspan(kBlockPrefixSize)), cmdHello);
}

TEST_F(Pipeline, EventsHeardWhileTheServerIsAwayArriveLaterInTheirOrder) {
  peer_.SetRefuseConnections(true);
  Start();
  ASSERT_TRUE(WaitFor([&] { return peer_.ConnectAttempts() >= 1; }));
  Send(0x000001, 0x40, 0x04);
  Send(0x000002, 0x00, 0x00);
  clock_.AdvanceMs(1);
  Send(0x000001, 0x00, 0x84);
  ASSERT_EQ(SpoolFiles(), model_.Events().size());
  EXPECT_EQ(station_->Status().delivery.backlog, model_.Events().size());

  // The server is back: the next attempt (5 s later) connects; the tick drains.
  peer_.SetRefuseConnections(false);
  clock_.AdvanceMs(5001);
  ASSERT_TRUE(WaitFor([&] { return station_->Status().delivery.registered; }));
  const std::vector<Bytes> expected = Expected();
  ASSERT_TRUE(WaitFor([&] {
    station_->Delivering().Tick();
    return ServerEvents().size() >= expected.size() && SpoolFiles() == 0;
  })) << ServerEvents().size()
      << " of " << expected.size();
  EXPECT_EQ(ServerEvents(), expected);
  // The worker forgets a file just after deleting it: the count follows at once.
  EXPECT_TRUE(WaitFor([&] { return station_->Status().delivery.backlog == 0u; }))
      << station_->Status().delivery.backlog;
}

}  // namespace
}  // namespace kestrel
