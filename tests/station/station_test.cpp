// The station as the program and the window use it: what it builds in which
// order, what it tells, how it ends, and that it runs without a window system.

#include "station/station.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "delivery/Unit7.h"
#include "station/com_port.h"
#include "tests/support/fake_clock.h"
#include "tests/support/fake_serial_port.h"
#include "tests/support/faulty_file_system.h"
#include "tests/support/forwarding_file_system.h"
#include "tests/support/pty_port.h"
#include "tests/support/recording_operator_log.h"
#include "tests/support/temp_dir.h"

namespace kestrel {
namespace {

using test::FakeClock;
using test::FakeSerialPort;
using test::FaultyFileSystem;
using test::RecordingOperatorLog;
using test::TempDir;

// Notes which file each read and each folder listing was of, in order.
class ReadOrder final : public test::ForwardingFileSystem {
 public:
  using ForwardingFileSystem::ForwardingFileSystem;
  bool Exists(const std::filesystem::path& p) noexcept override {
    Note("exists " + p.filename().string());
    return ForwardingFileSystem::Exists(p);
  }
  std::optional<Bytes> ReadAll(const std::filesystem::path& p) noexcept override {
    Note("read " + p.filename().string());
    return ForwardingFileSystem::ReadAll(p);
  }
  std::vector<DirEntry> List(const std::filesystem::path& d) noexcept override {
    Note("list " + d.filename().string());
    return ForwardingFileSystem::List(d);
  }
  std::size_t First(const std::string& what) const {
    return static_cast<std::size_t>(std::find(seen.begin(), seen.end(), what) - seen.begin());
  }
  std::vector<std::string> seen;

 private:
  void Note(const std::string& what) noexcept { seen.push_back(what); }
};

class StationTest : public ::testing::Test {
 protected:
  Station& Start(const std::string& ini, bool link = false, FileSystem* fs = nullptr) {
    if (!ini.empty()) test::WriteFileText(dir_ / "drvkestrel.ini", ini);
    StationServices services{clock_, fs != nullptr ? *fs : files_, {}, dir_.Path(), link};
    services.port = &port_;
    services.log = &log_;
    station_ = std::make_unique<Station>(std::move(services));
    return *station_;
  }
  bool LogHas(const std::string& line) const {
    const auto lines = log_.Lines();
    return std::find(lines.begin(), lines.end(), line) != lines.end();
  }

  TempDir dir_;
  FakeClock clock_;
  FaultyFileSystem files_;
  RecordingOperatorLog log_;
  FakeSerialPort port_;
  std::unique_ptr<Station> station_;
};

// The settings first (once), then delivery (it settles the spool folder), then
// reception (it loads the table); the port the settings name is opened.
TEST_F(StationTest, StartsUpInOrder) {
  test::WriteFileText(dir_ / "drvkestrel.ini", "[main]\r\nComPort=COM4\r\nPathForSoob=spool\\\r\n");
  ReadOrder fs(files_);
  Station& s = Start("", false, &fs);
  const std::size_t settings = fs.First("read drvkestrel.ini");
  const std::size_t spool = fs.First("list spool");
  const std::size_t table = fs.First("exists num.mmm");
  ASSERT_LT(table, fs.seen.size());
  EXPECT_LT(settings, spool);
  EXPECT_LT(spool, table);
  EXPECT_EQ(port_.Name(), "COM4");
  EXPECT_TRUE(port_.IsOpen());
  EXPECT_TRUE(s.Running());
  EXPECT_EQ(s.Worker(), nullptr);  // asked not to start the link
}

TEST_F(StationTest, APortThatCannotBeOpenedAtStartIsToldNotAsked) {
  port_.refuseOpen = true;
  Station& s = Start("[main]\r\nComPort=COM4\r\n");
  EXPECT_FALSE(s.Running());
  EXPECT_TRUE(LogHas("Порт уже занят. Смените его."));
  // No port chosen: nothing opened, nothing told.
  log_.Clear();
  station_.reset();
  port_.refuseOpen = false;
  Station& none = Start("[main]\r\nComPort=COM128\r\n");
  EXPECT_FALSE(none.Running());
  EXPECT_FALSE(port_.IsOpen());
  EXPECT_TRUE(log_.Lines().empty());
}

TEST_F(StationTest, StatusTellsServerPortReceptionAndTheLinkDownSince) {
  Station& s = Start(
      "[main]\r\nComPort=COM1\r\nAttention=0:0:10\r\n"
      "[ServerHost]\r\nAddress=10.0.0.5\r\nPort=12543\r\n");
  StationStatus st = s.Status();
  EXPECT_EQ(st.server, "10.0.0.5:12543");
  EXPECT_EQ(st.portName, "COM1");
  EXPECT_TRUE(st.portOpen);
  EXPECT_TRUE(st.receptionRunning);
  EXPECT_TRUE(st.stationPresent);
  EXPECT_EQ(st.transmitters, 0u);
  EXPECT_FALSE(st.offlineMs) << "not known before the first tick";

  s.Tick();  // the link is down from here
  clock_.AdvanceMs(10001);
  s.BytesWaiting(port_.Arrive("0A1B2C0000\r\n"));
  s.Tick();
  st = s.Status();
  EXPECT_EQ(st.offlineMs, 10001u);
  EXPECT_EQ(st.transmitters, 1u);
  EXPECT_EQ(st.delivery.raised, s.Delivering().Status().raised);
  EXPECT_GT(st.delivery.raised, 0u);
  clock_.AdvanceMs(10001);
  EXPECT_FALSE(s.Status().stationPresent);

  s.StopReception();
  st = s.Status();
  EXPECT_FALSE(st.portOpen);
  EXPECT_FALSE(st.receptionRunning);
}

// A port that fails while reception runs is tried again every 5 s; one that
// fails after the operator stopped reception is left closed.
// A metrics file that cannot be written is told once, however often it fails, and
// its recovery once.
TEST_F(StationTest, AFailingMetricsFileIsToldOnceAndItsRecoveryToo) {
  const std::filesystem::path folder = dir_.Path() / "metrics";
  const std::filesystem::path file = folder / "drvkestrel.prom";
  StationServices services{clock_, files_, {}, dir_.Path(), false};
  services.port = &port_;
  services.log = &log_;
  services.metricsFile = file;
  station_ = std::make_unique<Station>(std::move(services));
  const std::string failed = "Не удалось записать файл метрик " + file.string() + ".";
  const std::string back = "Файл метрик " + file.string() + " снова записывается.";
  const auto count = [this](const std::string& line) {
    const auto lines = log_.Lines();
    return std::count(lines.begin(), lines.end(), line);
  };

  EXPECT_FALSE(station_->WriteMetrics());  // no such folder
  EXPECT_FALSE(station_->WriteMetrics());
  EXPECT_EQ(count(failed), 1);
  std::filesystem::create_directory(folder);
  EXPECT_TRUE(station_->WriteMetrics());
  EXPECT_TRUE(station_->WriteMetrics());
  EXPECT_EQ(count(back), 1);
  EXPECT_TRUE(std::filesystem::exists(file));
}

TEST_F(StationTest, AFailedPortIsReopenedEveryFiveSecondsWhileReceptionRuns) {
  Station& s = Start("[main]\r\nComPort=COM2\r\n");
  port_.Close();
  port_.refuseOpen = true;
  s.PortFailed("device gone");
  EXPECT_TRUE(LogHas("Порт COM2 перестал работать (device gone) и закрыт."));
  EXPECT_TRUE(LogHas("Попытка открыть порт COM2 снова - каждые 5 секунд."));
  clock_.AdvanceMs(5000);
  s.Tick();  // refused again
  port_.refuseOpen = false;
  clock_.AdvanceMs(4999);
  s.Tick();
  EXPECT_FALSE(port_.IsOpen()) << "not before 5 s since the last try";
  clock_.AdvanceMs(1);
  s.Tick();
  EXPECT_TRUE(port_.IsOpen());
  EXPECT_TRUE(LogHas("Порт COM2 снова открыт."));

  s.StopReception();
  log_.Clear();
  s.PortFailed("device gone");
  clock_.AdvanceMs(5000);
  s.Tick();
  EXPECT_FALSE(port_.IsOpen());
  EXPECT_FALSE(LogHas("Попытка открыть порт COM2 снова - каждые 5 секунд."));
}

// The end in order: the port closed, the link worker stopped within the bound,
// the events a failing disk kept in memory written once more or counted.
TEST_F(StationTest, ShutdownClosesThePortStopsTheWorkerAndCountsUnwrittenEvents) {
  for (const bool diskBack : {true, false}) {
    SCOPED_TRACE(diskBack ? "disk back at the stop" : "disk still refusing");
    // A server port nobody listens on: the worker keeps trying.
    Station& s = Start("[main]\r\nComPort=COM1\r\n[ServerHost]\r\nPort=1\r\n", true);
    ASSERT_NE(s.Worker(), nullptr);
    EventRecord r;
    r.TransmitterId = 0xABCDEF;
    r.EventCode = {'4', '1'};
    r.EventTime = clock_.Now();
    files_.Fail(FaultyFileSystem::Op::WriteNew);
    s.Delivering().Raise(r);  // kept in memory
    if (diskBack) files_.HealAll();

    const QDeadlineTimer bound(2000);
    EXPECT_TRUE(s.Shutdown(1000));
    EXPECT_FALSE(bound.hasExpired());
    EXPECT_FALSE(port_.IsOpen());
    EXPECT_TRUE(s.Worker()->IsStopRequested());
    EXPECT_EQ(s.UnwrittenEvents(), diskBack ? 0u : 1u);
    EXPECT_TRUE(s.Shutdown(1000)) << "once only; later calls give the same answer";
    // After the end a tick does nothing and nothing reopens the port.
    clock_.AdvanceMs(6000);
    s.Tick();
    EXPECT_FALSE(port_.IsOpen());
    EXPECT_TRUE(s.ThreadsAlive(1)) << "the stopped threads are no longer watched";
    files_.HealAll();
    station_.reset();
    for (const auto& e : std::filesystem::directory_iterator(dir_.Path()))
      if (e.path().extension() == ".dd8") std::filesystem::remove(e.path());
  }
}

// Lines reported before anybody shows them (start-up comes before the window)
// are shown to the first listener; later lines from any thread as they come.
TEST(StationLog, KeepsEarlyLinesForTheFirstListenerAndPassesEveryLineBelow) {
  RecordingOperatorLog below;
  StationLog log(&below);
  log.Report("one");
  log.Warning("two");
  std::vector<std::string> shown;
  log.Listen([&shown](const std::string& line) { shown.push_back(line); });
  std::thread other([&log] { log.Notice("three"); });
  other.join();
  EXPECT_EQ(shown, (std::vector<std::string>{"one", "two", "three"}));
  EXPECT_EQ(below.Lines(), shown);
  log.Listen({});
  log.Report("four");
  EXPECT_EQ(shown.size(), 3u);
}

// Without a display: a core application, the station's own Qt serial port on a
// pseudo-terminal, reports read through it. Nothing of the window system runs.
TEST(HeadlessStation, ReadsItsOwnPortUnderACoreApplication) {
  ASSERT_NE(QCoreApplication::instance(), nullptr);
  EXPECT_FALSE(QCoreApplication::instance()->inherits("QGuiApplication"));
  test::PtyPort device;
  ASSERT_TRUE(device.Ok());
  TempDir dir;
  device.LinkAs(dir / "ports" / "COM1");
  test::WriteFileText(dir / "drvkestrel.ini", "[main]\r\nComPort=COM1\r\n");
  FakeClock clock;
  DiskFileSystem files;
  RecordingOperatorLog log;
  StationServices services{clock, files, {}, dir.Path(), false};
  services.log = &log;
  Station s(std::move(services));
  ASSERT_NE(s.OwnPort(), nullptr);
  ASSERT_TRUE(s.Running()) << s.OwnPort()->LastError().toStdString();
  ASSERT_TRUE(device.Write("0A1B2C0000\r\n"));
  const QDeadlineTimer deadline(3000);
  while (s.Table().Count() == 0 && !deadline.hasExpired())
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  EXPECT_EQ(s.Table().Count(), 1u);
  EXPECT_TRUE(s.Shutdown(1000));
  EXPECT_FALSE(s.OwnPort()->IsOpen());
}

}  // namespace
}  // namespace kestrel
