// The real worker (Qt socket client, real clock, real disk) against the message
// server simulator on loopback. Every wait is bounded; the server is killed at the
// end of each test.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <thread>

#include "delivery/Unit7.h"
#include "delivery/commands.h"
#include "delivery/delivery.h"
#include "delivery/event_record.h"
#include "delivery/spool_location.h"
#include "platform/clock.h"
#include "platform/file_system.h"
#include "platform/qt_tcp_client.h"
#include "tests/support/msgserver_process.h"
#include "tests/support/recording_operator_log.h"
#include "tests/support/temp_dir.h"

namespace kestrel::test {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

#if defined(__SANITIZE_THREAD__)
constexpr bool kThreadSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
constexpr bool kThreadSanitizer = true;
#else
constexpr bool kThreadSanitizer = false;
#endif
#else
constexpr bool kThreadSanitizer = false;
#endif

Bytes Event(std::uint32_t id) {
  EventRecord r;
  r.TransmitterId = id;
  r.FirstNumber = 1;
  r.EventCode = {'4', '1'};
  r.EventTime = 46000.5;
  const EventBytes b = EncodeEventRecord(r);
  return Bytes(b.begin(), b.end());
}

// "event seq=5 id=000010 ..." → {"000010", 5}
std::pair<std::string, long> ParseEvent(const std::string& line) {
  const auto seq = line.find("seq=");
  const auto id = line.find("id=");
  return {line.substr(id + 3, 6), std::stol(line.substr(seq + 4))};
}

class LinkLoopbackTest : public ::testing::Test {
 protected:
  static std::string Program() { return MsgServerProcess::Program(KESTREL_BUILD_DIR); }

  void SetUp() override {
    if (kThreadSanitizer) {
      // QProcess starts its child sharing this process's memory until exec, which
      // ThreadSanitizer cannot follow: afterwards it misses this thread's locks and
      // reports races that are not there. The worker's threads are checked under
      // ThreadSanitizer with the scripted connection (link_threads_test.cpp).
      GTEST_SKIP() << "not under ThreadSanitizer (child process started by QProcess)";
    }
    if (!fs::exists(Program())) GTEST_SKIP() << "msgserver is not built";
  }

  void TearDown() override {
    if (link != nullptr) {
      EXPECT_TRUE(delivery.Finish(5000));
    }
    if (server) server->Kill();
  }

  void StartServer(const QStringList& args) {
    server = std::make_unique<MsgServerProcess>(Program(), args);
    const std::uint16_t port = server->WaitListening();
    ASSERT_NE(port, 0) << "no listening line";
    WriteFileText(dir / "drvkestrel.ini",
                  "[ServerHost]\r\nAddress=127.0.0.1\r\nPort=" + std::to_string(port) + "\r\n");
  }

  void StartLink() {
    delivery.StartLink(LinkIdentity{"COM3", 1, [] { return true; }, "8.1.4.30",
                                    ServerHostFromFolder(files, dir.Path())});
    link = delivery.Worker();
  }

  // Delivery's share of the 200 ms timer, run while the test waits.
  std::function<void()> Timer() {
    return [this] {
      if (Clock::now() - lastTick_ >= std::chrono::milliseconds(200)) {
        lastTick_ = Clock::now();
        delivery.Tick();
      }
    };
  }

  bool WaitUntil(const std::function<bool()>& pred, int timeoutMs) {
    const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!pred()) {
      if (Clock::now() > end) return false;
      Timer()();
      server->Poll(10);
    }
    return true;
  }

  std::size_t SpoolFileCount() const {
    std::size_t n = 0;
    for (const auto& e : fs::directory_iterator(dir.Path())) {
      if (location.IsSpoolName(e.path().filename().string())) ++n;
    }
    return n;
  }

  int Count(const std::string& line) {
    const auto lines = oplog.Lines();
    return static_cast<int>(std::count(lines.begin(), lines.end(), line));
  }

  TempDir dir;
  SystemClock clock;
  DiskFileSystem files;
  RecordingOperatorLog oplog;
  SpoolLocation location{dir.Path(), ""};
  Delivery delivery{DeliveryServices{clock, files, oplog, MakeQtTcpClientFactory()}, location};
  Spool& spool = delivery.Spool();
  std::unique_ptr<MsgServerProcess> server;
  cl* link = nullptr;  // delivery's worker, once started
  Clock::time_point lastTick_{};
};

TEST_F(LinkLoopbackTest, HandshakeLiveEventsAndSpooledEventsDrainedAndDeleted) {
  ASSERT_TRUE(spool.Append(cmdEvent, Event(0x10)));  // written while offline
  ASSERT_TRUE(spool.Append(cmdEvent, Event(0x11)));
  StartServer({"--verbose"});
  StartLink();

  ASSERT_TRUE(server->WaitForLine("connected", 5000));
  ASSERT_TRUE(server->WaitForLine("packet cmd=0x02000001 seq=0 len=2", 3000));
  ASSERT_TRUE(server->WaitForLine("packet cmd=0x02200062 seq=1 len=8", 3000));
  ASSERT_TRUE(server->WaitForLine("packet cmd=0x02200065 seq=2 len=1", 3000));
  ASSERT_TRUE(server->WaitForLine("packet cmd=0x02200063 seq=3 len=8", 3000));
  ASSERT_TRUE(server->WaitForLine("registered", 3000));

  ASSERT_TRUE(WaitUntil([&] { return link->IsOnline(); }, 3000));
  for (const std::uint8_t n : {0x20, 0x21}) {
    const auto file = spool.Append(cmdEvent, Event(n));  // written ahead, then offered
    ASSERT_TRUE(file);
    ASSERT_TRUE(link->AddEventFile(cmdEvent, Event(n), *file));
  }

  std::set<std::string> ids;
  while (ids.size() < 4) {
    const auto line = server->WaitForLine("event ", 10000, Timer());
    ASSERT_TRUE(line) << "events seen: " << ids.size();
    ids.insert(ParseEvent(*line).first);
  }
  EXPECT_EQ(ids, (std::set<std::string>{"000010", "000011", "000020", "000021"}));
  EXPECT_TRUE(WaitUntil([&] { return SpoolFileCount() == 0; }, 5000)) << "acknowledged files go";
  EXPECT_EQ(Count("Соединение..."), 1);
  EXPECT_EQ(Count("Соединение установлено."), 1);
  std::size_t others = 0;
  for (const auto& line : oplog.Lines()) others += line.rfind("События", 0) == 0 ? 0 : 1;
  EXPECT_EQ(others, 2u) << "nothing reported but the connection (and the backlog's lines)";
}

TEST_F(LinkLoopbackTest, DropLinkThenReconnectWithSequenceNumbersContinuing) {
  // The fifth packet of a connection (the first keepalive) is answered by cmdDropLink.
  StartServer({"--verbose", "--drop-after", "4"});
  StartLink();
  ASSERT_TRUE(server->WaitForLine("registered", 5000));
  ASSERT_TRUE(server->WaitForLine("reply cmd=0x02FFFFFE", 3000));
  ASSERT_TRUE(server->WaitForLine("disconnected", 3000));
  // The next attempt comes more than 5000 ms after the last one began.
  ASSERT_TRUE(server->WaitForLine("connected", 8000));
  const auto hello = server->WaitForLine("packet cmd=0x02000001 ", 3000);
  ASSERT_TRUE(hello);
  const long sequence = std::stol(hello->substr(hello->find("seq=") + 4));
  EXPECT_GE(sequence, 4) << "the counter runs on across connections";
  ASSERT_TRUE(server->WaitForLine("registered", 3000));
  EXPECT_TRUE(WaitUntil([&] { return Count("Соединение установлено.") == 2; }, 3000));
}

TEST_F(LinkLoopbackTest, UnacknowledgedEventFromMemoryGoesToASpoolFile) {
  StartServer({"--no-ack"});
  StartLink();
  ASSERT_TRUE(server->WaitForLine("registered", 5000));
  ASSERT_TRUE(WaitUntil([&] { return link->IsOnline(); }, 3000));
  ASSERT_TRUE(link->AddPacket(cmdEvent, Event(0x30)));
  ASSERT_TRUE(server->WaitForLine("event ", 3000));
  ASSERT_TRUE(WaitUntil([&] { return SpoolFileCount() >= 1; }, 3000));
}

TEST_F(LinkLoopbackTest, AccessDeniedBarsTheLink) {
  StartServer({"--deny"});
  StartLink();
  ASSERT_TRUE(server->WaitForLine("connected", 5000));
  ASSERT_TRUE(WaitUntil([&] { return Count("Доступ запрещен.") == 1; }, 5000));
  EXPECT_FALSE(link->IsOnline());
  EXPECT_FALSE(link->IsReconnectEnabled());
  ASSERT_TRUE(server->WaitForLine("disconnected", 3000));
  EXPECT_FALSE(link->AddPacket(cmdEvent, Event(1)));
}

}  // namespace
}  // namespace kestrel::test
