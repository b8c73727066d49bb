// Reception as the owner of its layer: what it reads at start, how it takes the
// bytes of the port, where its events go, its share of the tick.

#include "receiver/reception.h"

#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/ini_file.h"
#include "tests/support/fake_clock.h"
#include "tests/support/fake_serial_port.h"
#include "tests/support/faulty_file_system.h"
#include "tests/support/recording_operator_log.h"
#include "tests/support/temp_dir.h"

namespace kestrel {
namespace {

using test::FakeClock;
using test::FakeSerialPort;
using test::FaultyFileSystem;
using test::RecordingOperatorLog;
using test::TempDir;

// Keeps every event it is given, in order.
class RecordingSink final : public EventSink {
 public:
  void Raise(const EventRecord& record) override {
    if (fail) throw std::runtime_error("delivery gone");
    events.push_back(record);
  }
  std::vector<std::string> Codes() const {
    std::vector<std::string> out;
    for (const EventRecord& e : events) out.emplace_back(e.EventCode.begin(), e.EventCode.end());
    return out;
  }
  std::vector<EventRecord> events;
  bool fail = false;  // every event throws
};

class ReceptionTest : public ::testing::Test {
 protected:
  Reception& Start(const std::string& ini = "") {
    if (!ini.empty()) test::WriteFileText(dir_ / "drvkestrel.ini", ini);
    settings_ = ReadStationSettings(fs_, dir_.Path());
    reception_ = std::make_unique<Reception>(ReceptionServices{clock_, fs_, log_, dir_.Path()},
                                             settings_.main, port_, sink_);
    return *reception_;
  }
  // The receiver sends bytes; the port tells reception how many wait.
  void Send(const std::string& bytes) { reception_->BytesWaiting(port_.Arrive(bytes)); }

  TempDir dir_;
  FakeClock clock_;
  FaultyFileSystem fs_;
  RecordingOperatorLog log_;
  FakeSerialPort port_;
  RecordingSink sink_;
  StationSettings settings_;
  std::unique_ptr<Reception> reception_;
};

TEST_F(ReceptionTest, StartReadsTheSettingsTheTableAndSetsTheLineSpeed) {
  TransmitterRecord r;
  r.IdLow = 0x2C;
  r.IdMid = 0x1B;
  r.IdHigh = 0x0A;
  Bytes image(16);
  EncodeTransmitterRecord(r, image.data());
  test::WriteFileBytes(dir_ / "num.mmm", image);
  Reception& rec = Start(
      "[main]\r\nComPort=COM3\r\nbr=9600\r\nFirstNumber=300\r\nNoTimeTest=5\r\n"
      "PathForSoob=spool\\\r\nAttention=0:0:20\r\n");
  EXPECT_EQ(rec.Table().Count(), 1u);
  EXPECT_EQ(rec.Settings().ComPort, "COM3");
  EXPECT_EQ(rec.Settings().FirstNumber, 300);
  EXPECT_EQ(port_.BaudRate(), 9600);
  EXPECT_FALSE(port_.IsOpen());  // opening is the station's decision
  EXPECT_EQ(settings_.spool.dir, dir_.Path() / "spool");
}

TEST_F(ReceptionTest, WithoutSettingsEveryKeyHasItsDefault) {
  Reception& rec = Start();
  EXPECT_EQ(rec.Settings(), MainSettings{});
  EXPECT_EQ(port_.BaudRate(), 2400);
  EXPECT_EQ(rec.Table().Count(), 0u);
}

// A settings file missing or unreadable is told (by the station, at start) with
// the values that apply; a readable one, even empty, is not.
TEST_F(ReceptionTest, MissingOrUnreadableSettingsAreToldWithTheDefaults) {
  const struct {
    const char* what;
    std::function<void(const std::filesystem::path&)> make;
    const char* told;  // null: nothing is told
  } cases[] = {
      {"missing", [](const std::filesystem::path&) {}, "не найден"},
      {"a folder", [](const std::filesystem::path& p) { std::filesystem::create_directory(p); },
       "не читается"},
      {"empty", [](const std::filesystem::path& p) { test::WriteFileText(p, ""); }, nullptr},
      {"with settings",
       [](const std::filesystem::path& p) { test::WriteFileText(p, "[main]\r\nbr=9600\r\n"); },
       nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::filesystem::path ini = dir_ / "drvkestrel.ini";
    std::filesystem::remove_all(ini);
    c.make(ini);
    const std::string told = DefaultSettingsLine(ReadStationSettings(fs_, dir_.Path()));
    if (c.told == nullptr) {
      EXPECT_EQ(told, "");
      continue;
    }
    EXPECT_NE(told.find(std::string("drvkestrel.ini ") + c.told), std::string::npos) << told;
    EXPECT_NE(told.find("действуют значения по умолчанию: порт COM128"), std::string::npos) << told;
  }
}

TEST_F(ReceptionTest, BytesBecomeEventsWithEveryFieldFilledIn) {
  Reception& rec = Start("[main]\r\nFirstNumber=258\r\n");
  ASSERT_TRUE(rec.OpenPort());
  Send("0A1B2C4684\r\n");  // new transmitter: 41 42 45, flag from bit 7 of Status2
  ASSERT_EQ(sink_.Codes(), (std::vector<std::string>{"41", "42", "45"}));
  for (const EventRecord& e : sink_.events) {
    EXPECT_EQ(e.TransmitterId, 0x0A1B2Cu);
    EXPECT_EQ(e.FirstNumber, 2);
    EXPECT_EQ(e.StatusFlag, 1);
    EXPECT_EQ(e.EventTime, clock_.Now());
  }
  EXPECT_EQ(rec.Table().Count(), 1u);
}

TEST_F(ReceptionTest, EveryOpenStartsAFreshLine) {
  Reception& rec = Start();
  ASSERT_TRUE(rec.OpenPort());
  Send("0A1B2C");  // half a report, then the port is closed and opened again
  rec.ClosePort();
  ASSERT_TRUE(rec.OpenPort());
  Send("0000\r\n0D0E0F0000\r\n");
  ASSERT_EQ(rec.Table().Count(), 1u);
  EXPECT_EQ(rec.Table().RecordAt(0).Id(), 0x0D0E0Fu);
}

TEST_F(ReceptionTest, APortThatCannotBeOpenedSaysSo) {
  Reception& rec = Start();
  port_.refuseOpen = true;
  EXPECT_FALSE(rec.OpenPort());
  EXPECT_FALSE(port_.IsOpen());
}

TEST_F(ReceptionTest, BytesAreReadInPiecesUntilTheCountIsReached) {
  Reception& rec = Start();
  ASSERT_TRUE(rec.OpenPort());
  port_.readLimit = 5;  // the port hands out at most 5 bytes a read
  Send("0000010000\r\n0000020000\r\n");
  EXPECT_EQ(sink_.events.size(), 2u);
  EXPECT_EQ(port_.Waiting(), 0u);
}

TEST_F(ReceptionTest, TheRawLogKeepsEveryByteWhenSwitchedOn) {
  for (const bool on : {false, true}) {
    std::filesystem::remove(dir_ / "drvkestrel.log");
    Reception& rec = Start(on ? "[main]\r\nLog=1\r\n" : "[main]\r\nLog=0\r\n");
    ASSERT_TRUE(rec.OpenPort());
    Send("xx\r\n0000010000\r\n");
    EXPECT_EQ(std::filesystem::exists(dir_ / "drvkestrel.log"), on);
    if (on) {
      EXPECT_EQ(test::ReadFileText(dir_ / "drvkestrel.log"), "xx\r\n0000010000\r\n");
    }
  }
}

TEST_F(ReceptionTest, StationPresenceFollowsTheMonotonicTickAndAttention) {
  Reception& rec = Start("[main]\r\nAttention=0:0:10\r\n");
  ASSERT_TRUE(rec.OpenPort());
  EXPECT_EQ(rec.SilenceMs(), 0u);
  clock_.AdvanceMs(10000);
  EXPECT_EQ(rec.SilenceMs(), 10000u);
  EXPECT_TRUE(rec.StationPresent(rec.SilenceMs()));  // equality still counts
  clock_.AdvanceMs(1);
  EXPECT_FALSE(rec.StationPresent(rec.SilenceMs()));
  clock_.SetNow(clock_.Now() - 1.0);  // the wall clock plays no part
  EXPECT_EQ(rec.SilenceMs(), 10001u);
  Send("x");  // any bytes at all are a sign of the receiver
  EXPECT_EQ(rec.SilenceMs(), 0u);
}

TEST_F(ReceptionTest, TickRaisesNoTestEventsAndAFailureIsToldOnce) {
  Reception& rec = Start("[main]\r\nNoTimeTest=1\r\n");
  sink_.fail = true;
  ASSERT_TRUE(rec.OpenPort());
  Send("0000010004\r\n");  // no event (bit 2 of Status2 as stored)
  Send("0000020004\r\n");
  EXPECT_TRUE(log_.Lines().empty()) << log_.Lines()[0];
  clock_.AdvanceMs(60001);
  rec.Tick();
  rec.Tick();
  ASSERT_EQ(log_.Lines().size(), 1u);
  EXPECT_EQ(log_.Lines()[0], "Ошибка таймера (контроль молчания передатчиков): delivery gone");

  sink_.fail = false;
  rec.Tick();  // a raise that failed left its transmitter unflagged: raised now
  EXPECT_EQ(sink_.Codes(), (std::vector<std::string>{"70", "70"}));
  rec.Tick();
  EXPECT_EQ(sink_.events.size(), 2u);  // once per silence
}

TEST_F(ReceptionTest, ThePortNameIsSavedInTheWorkingFolder) {
  test::WriteFileText(dir_ / "drvkestrel.ini", "; station\r\n[main]\r\nbr=9600\r\n");
  Reception& rec = Start();
  rec.SavePortName("COM7");
  EXPECT_EQ(test::ReadFileText(dir_ / "drvkestrel.ini"),
            "; station\r\n[main]\r\nbr=9600\r\nComPort=COM7\r\n");
  EXPECT_EQ(rec.Settings().ComPort, kNoPortChosen);  // the start-up settings stay
}

}  // namespace
}  // namespace kestrel
