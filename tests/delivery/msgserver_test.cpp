// The message server simulator as a process, talked to over loopback.
#include <gtest/gtest.h>
#include <signal.h>

#include <QByteArray>
#include <QDateTime>
#include <QElapsedTimer>
#include <QProcess>
#include <QStringList>
#include <QTcpSocket>
#include <csignal>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "delivery/block_io.h"
#include "delivery/commands.h"
#include "delivery/packet.h"
#include "platform/clock.h"
#include "platform/date_time.h"
#include "platform/qt_tcp_client.h"
#include "tests/support/msgserver_process.h"

namespace kestrel {
namespace {

const char* const kServerPath = KESTREL_BUILD_DIR "/tools/msgserver/msgserver";

// The server process; its stdout lines are collected as they come.
class ServerProcess : public test::MsgServerProcess {
 public:
  explicit ServerProcess(const QStringList& args) : MsgServerProcess(kServerPath, args) {}
};

// Reads exactly n bytes within the time; fewer when the time runs out or the peer closes.
QByteArray ReadExactly(QTcpSocket& socket, qint64 n, int timeoutMs) {
  QByteArray data;
  QElapsedTimer timer;
  timer.start();
  while (data.size() < n) {
    data += socket.read(n - data.size());
    if (data.size() >= n) break;
    const qint64 left = timeoutMs - timer.elapsed();
    if (left <= 0 || !socket.waitForReadyRead(static_cast<int>(left))) {
      data += socket.read(n - data.size());
      break;
    }
  }
  return data;
}

struct Reply {
  QByteArray prefix;
  QByteArray packet;
};

class MsgServerTest : public testing::Test {
 protected:
  void SetUp() override {
    if (!std::filesystem::exists(kServerPath)) GTEST_SKIP() << "msgserver not built";
  }

  void Start(const QStringList& args) {
    server_.emplace(args);
    port_ = server_->WaitListening();
    ASSERT_NE(port_, 0) << "no listening line";
    socket_.connectToHost("127.0.0.1", port_);
    ASSERT_TRUE(socket_.waitForConnected(3000));
    ASSERT_TRUE(server_->WaitForLine("connected", 3000));
  }

  void Send(std::int32_t command, std::int64_t sequence, const Bytes& payload = {}) {
    const Bytes block = BuildBlock(BuildPacket(command, sequence, payload));
    socket_.write(reinterpret_cast<const char*>(block.data()), static_cast<qint64>(block.size()));
    ASSERT_TRUE(socket_.waitForBytesWritten(3000));
  }

  // One reply block; an empty prefix when nothing came within the time.
  Reply Receive(int timeoutMs = 3000) {
    Reply r;
    r.prefix = ReadExactly(socket_, 21, timeoutMs);
    if (r.prefix.size() < 21) return r;
    const auto length = static_cast<std::int32_t>(
        GetU32(reinterpret_cast<const std::uint8_t*>(r.prefix.constData()) + 5));
    if (length > 0 && length <= 4096) r.packet = ReadExactly(socket_, length, timeoutMs);
    return r;
  }

  // The command of the next reply, 0 when none came or it was not a valid reply.
  std::int32_t ReplyCommandOf(const Reply& r) {
    const Bytes packet(r.packet.begin(), r.packet.end());
    return IsValidReply(packet) ? ReplyCommand(packet) : 0;
  }

  std::int32_t Exchange(std::int32_t command, std::int64_t sequence, const Bytes& payload = {}) {
    Send(command, sequence, payload);
    return ReplyCommandOf(Receive());
  }

  std::optional<ServerProcess> server_;
  std::uint16_t port_ = 0;
  QTcpSocket socket_;
};

Bytes EventPayload() {
  Bytes p(19, 0);
  PutU32(&p[0], 0x123456);
  p[4] = 1;
  p[5] = 1;
  p[6] = 2;
  p[7] = '4';
  p[8] = '1';
  PutF64(&p[11], EncodeDateTime({2026, 12, 10, 3, 4, 5, 678}));
  return p;
}

TEST_F(MsgServerTest, HandshakeEventsAndKeepAlives) {
  Start({});
  EXPECT_EQ(Exchange(cmdHello, 0, HelloPayload()), cmdKeepAlive);
  EXPECT_EQ(Exchange(cmdPortInfo, 1, PortInfoPayload("COM3", true)), cmdKeepAlive);
  EXPECT_EQ(Exchange(cmdFirstNumber, 2, FirstNumberPayload(1)), cmdKeepAlive);
  EXPECT_EQ(Exchange(cmdVersion, 3, VersionPayload("8.1.4.30")), cmdRegistered);
  EXPECT_TRUE(server_->WaitForLine("registered", 3000));
  EXPECT_EQ(Exchange(cmdKeepAlive, 0), cmdKeepAlive);
  EXPECT_EQ(Exchange(cmdEvent, 4, EventPayload()), cmdEventAck);
  EXPECT_EQ(server_->WaitForLine("event", 3000).value_or(""),
            "event seq=4 id=123456 code=41 flag=1 first=1 time=2026-12-10 03:04:05.678");
  EXPECT_EQ(Exchange(cmdQueryAnswer, 5), cmdKeepAlive);

  socket_.disconnectFromHost();
  EXPECT_TRUE(server_->WaitForLine("disconnected", 3000));
}

TEST_F(MsgServerTest, ServerCommandsAfterNPackets) {
  struct Case {
    QStringList args;
    std::int32_t second;  // reply to the second packet (the first is answered normally)
  };
  const Case cases[] = {
      {{"--drop-after", "1"}, cmdDropLink},
      {{"--disconnect-after=1"}, cmdServerDisconnect},
      {{"--query-every", "2"}, cmdQuery},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.join(' ').toStdString());
    socket_.abort();
    Start(c.args);
    EXPECT_EQ(Exchange(cmdKeepAlive, 0), cmdKeepAlive);
    EXPECT_EQ(Exchange(cmdKeepAlive, 0), c.second);
  }
}

TEST_F(MsgServerTest, ReplySequenceFieldAsTheOptionsSay) {
  struct Case {
    QStringList args;
    std::vector<std::int64_t> replySequences;  // to blocks with 7, 8, 9
  };
  const Case cases[] = {
      {{}, {0, 0, 0}},
      {{"--echo"}, {7, 8, 9}},
      {{"--own-counter"}, {0, 1, 2}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.join(' ').toStdString());
    socket_.abort();
    Start(c.args);
    for (std::size_t i = 0; i < 3; ++i) {
      Send(cmdPortInfo, 7 + static_cast<std::int64_t>(i), PortInfoPayload("COM3", true));
      const Reply r = Receive();
      const Bytes packet(r.packet.begin(), r.packet.end());
      ASSERT_TRUE(IsValidReply(packet));
      EXPECT_EQ(PacketSequence(packet), c.replySequences[i]);
    }
  }
}

TEST_F(MsgServerTest, QueriesInReplyToHelloAndEveryNthKeepAlive) {
  Start({"--query-hello", "--query-keepalive-every", "2"});
  EXPECT_EQ(Exchange(cmdHello, 0, HelloPayload()), cmdQuery);
  EXPECT_EQ(Exchange(cmdKeepAlive, 0), cmdKeepAlive);
  EXPECT_EQ(Exchange(cmdEvent, 1, EventPayload()), cmdEventAck) << "events are not counted";
  EXPECT_EQ(Exchange(cmdKeepAlive, 0), cmdQuery);
  EXPECT_EQ(Exchange(cmdKeepAlive, 0), cmdKeepAlive);
}

TEST_F(MsgServerTest, LateReplyHoldsTheRepliesBehindItAndRepeatsAreMarked) {
  Start({"--late-at", "2", "--late-ms", "1500"});
  EXPECT_EQ(Exchange(cmdEvent, 1, EventPayload()), cmdEventAck);
  Send(cmdEvent, 2, EventPayload());
  EXPECT_TRUE(Receive(1000).prefix.isEmpty()) << "the second event's reply is late";
  Send(cmdKeepAlive, 0);
  EXPECT_EQ(ReplyCommandOf(Receive()), cmdEventAck);
  EXPECT_EQ(ReplyCommandOf(Receive()), cmdKeepAlive);
  EXPECT_EQ(server_->WaitForLine("event", 3000).value_or(""),
            "event seq=1 id=123456 code=41 flag=1 first=1 time=2026-12-10 03:04:05.678");
  EXPECT_EQ(server_->WaitForLine("event", 3000).value_or(""),
            "event seq=2 id=123456 code=41 flag=1 first=1 again=1 time=2026-12-10 03:04:05.678");
  EXPECT_TRUE(server_->WaitForLine("late seq=2 ms=1500", 3000));
}

TEST_F(MsgServerTest, DenyAndNoAck) {
  Start({"--deny", "--no-ack"});
  EXPECT_EQ(Exchange(cmdVersion, 0, VersionPayload("8.1.4.30")), cmdAccessDenied);
  EXPECT_EQ(Exchange(cmdEvent, 1, EventPayload()), cmdKeepAlive);
}

TEST_F(MsgServerTest, CloseAfterNPackets) {
  Start({"--close-after", "1"});
  EXPECT_EQ(Exchange(cmdKeepAlive, 0), cmdKeepAlive);
  Send(cmdKeepAlive, 0);
  EXPECT_TRUE(Receive().prefix.isEmpty());
  EXPECT_NE(socket_.state(), QAbstractSocket::ConnectedState);
  EXPECT_TRUE(server_->WaitForLine("disconnected", 3000));
}

TEST_F(MsgServerTest, GarbageAndHugeLength) {
  Start({"--garbage-after", "0"});
  Send(cmdKeepAlive, 0);
  const Reply garbage = Receive();
  ASSERT_EQ(garbage.prefix.size(), 21);
  EXPECT_NE(static_cast<std::uint8_t>(garbage.prefix[0]), 0xFF);
  EXPECT_NE(static_cast<std::uint8_t>(garbage.prefix[0]), 0xF0);

  socket_.abort();
  Start({"--huge-length"});
  Send(cmdKeepAlive, 0);
  const Reply huge = Receive();
  ASSERT_EQ(huge.prefix.size(), 21);
  EXPECT_EQ(GetU32(reinterpret_cast<const std::uint8_t*>(huge.prefix.constData()) + 5),
            0x7FFFFFFFu);
}

TEST_F(MsgServerTest, NoReplyAndDelay) {
  Start({"--no-reply"});
  Send(cmdKeepAlive, 0);
  EXPECT_TRUE(Receive(300).prefix.isEmpty());

  socket_.abort();
  Start({"--delay-ms", "300"});
  QElapsedTimer timer;
  timer.start();
  EXPECT_EQ(Exchange(cmdKeepAlive, 0), cmdKeepAlive);
  EXPECT_GE(timer.elapsed(), 290);
}

TEST_F(MsgServerTest, BadBlockClosesTheConnection) {
  Start({});
  const QByteArray junk(21, '\x00');
  socket_.write(junk);
  ASSERT_TRUE(socket_.waitForBytesWritten(3000));
  EXPECT_TRUE(server_->WaitForLine("bad-block", 3000));
  EXPECT_TRUE(server_->WaitForLine("disconnected", 3000));
}

TEST_F(MsgServerTest, ExitsWithZeroOnTerminate) {
  Start({});
  server_->Process().terminate();  // SIGTERM
  ASSERT_TRUE(server_->Process().waitForFinished(5000));
  EXPECT_EQ(server_->Process().exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(server_->Process().exitCode(), 0);
}

TEST_F(MsgServerTest, KeepsAnsweringWhenNobodyReadsItsOutput) {
  Start({});
  // Far more event lines than a pipe holds; the test does not read them meanwhile.
  for (int i = 0; i < 3000; ++i) {
    ASSERT_EQ(Exchange(cmdEvent, i, EventPayload()), cmdEventAck) << i;
  }
  server_->Process().terminate();
  ASSERT_TRUE(server_->Process().waitForFinished(10000));
  EXPECT_EQ(server_->Process().exitCode(), 0);
}

// Down and up again, by time and by SIGUSR1: refusing closes the connection and the
// port; pausing keeps both and answers nothing until it is up.
TEST_F(MsgServerTest, GoesDownAndComesBack) {
  Start({"--down-after-ms", "300", "--up-after-ms", "700"});
  EXPECT_EQ(Exchange(cmdKeepAlive, 0), cmdKeepAlive);
  ASSERT_TRUE(server_->WaitForLine("down refuse", 3000));
  EXPECT_TRUE(socket_.state() == QAbstractSocket::UnconnectedState ||
              socket_.waitForDisconnected(3000));
  const std::uint16_t port = port_;
  QTcpSocket refused;
  refused.connectToHost("127.0.0.1", port);
  EXPECT_FALSE(refused.waitForConnected(1000)) << "the port is closed while down";
  ASSERT_TRUE(server_->WaitForLine("up", 3000));
  socket_.abort();
  socket_.connectToHost("127.0.0.1", port);
  ASSERT_TRUE(socket_.waitForConnected(3000)) << "the same port again";
  EXPECT_EQ(Exchange(cmdKeepAlive, 0), cmdKeepAlive);
}

#ifdef SIGUSR1
TEST_F(MsgServerTest, PausesOnASignalAndAnswersAgainOnTheNext) {
  Start({"--down-mode", "pause"});
  EXPECT_EQ(Exchange(cmdKeepAlive, 0), cmdKeepAlive);
  ::kill(static_cast<pid_t>(server_->Process().processId()), SIGUSR1);
  ASSERT_TRUE(server_->WaitForLine("down pause", 3000));
  Send(cmdKeepAlive, 0);
  EXPECT_TRUE(Receive(500).prefix.isEmpty()) << "a hung server answers nothing";
  EXPECT_EQ(socket_.state(), QAbstractSocket::ConnectedState) << "and keeps the connection";
  ::kill(static_cast<pid_t>(server_->Process().processId()), SIGUSR1);
  ASSERT_TRUE(server_->WaitForLine("up", 3000));
  // The paused connection ends; a new one is served.
  EXPECT_TRUE(socket_.state() == QAbstractSocket::UnconnectedState ||
              socket_.waitForDisconnected(3000));
  socket_.abort();
  socket_.connectToHost("127.0.0.1", port_);
  ASSERT_TRUE(socket_.waitForConnected(3000));
  EXPECT_EQ(Exchange(cmdKeepAlive, 0), cmdKeepAlive);
}
#endif

TEST_F(MsgServerTest, TimestampsComeFirstOnEveryLine) {
  const double before = static_cast<double>(QDateTime::currentMSecsSinceEpoch()) / 1000.0;
  server_.emplace(QStringList{"--timestamps"});
  const auto line = server_->WaitForLine("", 5000);
  ASSERT_TRUE(line);
  const std::size_t space = line->find(' ');
  ASSERT_NE(space, std::string::npos);
  EXPECT_EQ(line->substr(space + 1, 10), "listening ");
  const double stamp = std::stod(line->substr(0, space));
  EXPECT_GE(stamp, before - 1);
  EXPECT_LE(stamp, before + 10);
}

TEST_F(MsgServerTest, CommandLineErrors) {
  struct Case {
    QStringList args;
    int exitCode;
  };
  const Case cases[] = {
      {{"--help"}, 0},
      {{"--port", "abc"}, 2},
      {{"--port", "70000"}, 2},
      {{"--drop-after"}, 2},
      {{"--query-every", "0"}, 2},
      {{"--bogus"}, 2},
      {{"--deny=1"}, 2},
      {{"--delay-ms", "-5"}, 2},
      {{"--echo", "--own-counter"}, 2},
      {{"--late-at", "0"}, 2},
      {{"--down-mode", "sleep"}, 2},
      {{"--down-mode"}, 2},
      {{"--up-after-ms", "x"}, 2},
      {{"--timestamps=1"}, 2},
  };
  for (const Case& c : cases) {
    QProcess p;
    p.start(kServerPath, c.args);
    ASSERT_TRUE(p.waitForFinished(5000)) << c.args.join(' ').toStdString();
    EXPECT_EQ(p.exitCode(), c.exitCode) << c.args.join(' ').toStdString();
  }
}

// SendBlock and ReceiveBlock on a real socket (QtTcpClient) against the simulator.
TEST(BlockIoLoopbackTest, ReceiveOutcomes) {
  if (!std::filesystem::exists(kServerPath)) GTEST_SKIP() << "msgserver not built";
  struct Case {
    QStringList args;
    ReceiveResult expected;
    std::int32_t command;  // of the reply, for Block
    bool stillConnected;
  };
  const Case cases[] = {
      {{}, ReceiveResult::Block, cmdKeepAlive, true},
      {{"--query-every", "1"}, ReceiveResult::Block, cmdQuery, true},
      {{"--garbage-after", "0"}, ReceiveResult::Consumed, 0, true},
      {{"--huge-length"}, ReceiveResult::ProtocolError, 0, false},
      {{"--no-reply"}, ReceiveResult::Nothing, 0, true},
      {{"--close-after", "0"}, ReceiveResult::Nothing, 0, false},
  };
  SystemClock clock;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.join(' ').toStdString());
    ServerProcess server(c.args);
    const std::uint16_t port = server.WaitListening();
    ASSERT_NE(port, 0);
    QtTcpClient client;
    ASSERT_TRUE(client.Connect("127.0.0.1", port, 2500));
    ASSERT_EQ(SendBlock(client, BuildPacket(cmdKeepAlive, 0, {})), SendResult::Written);
    Bytes reply{1};
    const ReceiveResult result = ReceiveBlock(client, clock, reply);
    EXPECT_EQ(result, c.expected);
    if (c.expected == ReceiveResult::Block) {
      ASSERT_TRUE(IsValidReply(reply));
      EXPECT_EQ(ReplyCommand(reply), c.command);
    } else {
      EXPECT_TRUE(reply.empty());
    }
    if (c.stillConnected) {
      EXPECT_TRUE(client.Connected());
    } else if (c.expected == ReceiveResult::Nothing) {
      // The close may come just after the read gave up; a second read sees it.
      Bytes more;
      ReceiveBlock(client, clock, more);
      EXPECT_FALSE(client.Connected());
    } else {
      EXPECT_FALSE(client.Connected());
    }
  }
}

// A reply trickling in byte by byte, each byte well inside the read timeout: Read
// waits for all of it, ReadWithin stops at its limit.
TEST(BlockIoLoopbackTest, ReadWithinStopsATrickleAtItsLimit) {
  if (!std::filesystem::exists(kServerPath)) GTEST_SKIP() << "msgserver not built";
  ServerProcess server({"--trickle-ms", "50"});
  const std::uint16_t port = server.WaitListening();
  ASSERT_NE(port, 0);
  QtTcpClient client;
  ASSERT_TRUE(client.Connect("127.0.0.1", port, 2500));
  ASSERT_EQ(SendBlock(client, BuildPacket(cmdKeepAlive, 0, {})), SendResult::Written);

  QElapsedTimer timer;
  timer.start();
  Bytes part;
  EXPECT_EQ(client.ReadWithin(21, 1000, 300, part), TcpClient::ReadEnd::Timeout);
  EXPECT_LT(timer.elapsed(), 900);
  EXPECT_GE(part.size(), 2u);
  EXPECT_LT(part.size(), 21u);

  Bytes rest;  // the whole 39-byte block still arrives, in order, with a plain Read
  EXPECT_EQ(client.Read(39 - part.size(), 1000, rest), TcpClient::ReadEnd::Complete);
  part.insert(part.end(), rest.begin(), rest.end());
  EXPECT_EQ(part, BuildBlock(BuildPacket(cmdKeepAlive, 0, {})));
}

}  // namespace
}  // namespace kestrel
