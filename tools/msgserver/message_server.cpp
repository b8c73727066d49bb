#include "tools/msgserver/message_server.h"

#include <QHostAddress>
#include <QTcpSocket>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <utility>

#include "delivery/commands.h"
#include "delivery/packet.h"
#include "platform/date_time.h"

namespace kestrel::msgserver {

namespace {

constexpr std::int32_t kLongestAcceptedBlock = 1 << 20;
constexpr std::size_t kEventPayloadSize = 19;

std::string Hex32(std::int32_t v) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(v));
  return text;
}

std::string FormatTime(double t) {
  // Years 100 to 9999 only; anything else (or not a number) is shown as invalid.
  if (!std::isfinite(t) || t < -657434.0 || t >= 2958466.0) return "invalid";
  const DateTimeFields f = DecodeDateTime(t);
  char text[40];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%03d", f.year, f.month, f.day,
                f.hour, f.minute, f.second, f.millisecond);
  return text;
}

char Printable(std::uint8_t c) { return c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?'; }

}  // namespace

MessageServer::MessageServer(ServerOptions options, std::function<void(const std::string&)> print)
    : options_(std::move(options)), print_(std::move(print)) {
  uptime_.start();
  actionTimer_.setSingleShot(true);
  connect(&actionTimer_, &QTimer::timeout, this, [this] { RunDueActions(); });
  connect(&server_, &QTcpServer::newConnection, this, [this] { OnNewConnection(); });
  downTimer_.setSingleShot(true);
  connect(&downTimer_, &QTimer::timeout, this, [this] { ToggleDown(); });
}

MessageServer::~MessageServer() {
  // The members go before QObject drops the connections: no signal of the socket
  // or the server may reach this object any more.
  server_.disconnect(this);
  actionTimer_.disconnect(this);
  downTimer_.disconnect(this);
  if (socket_ != nullptr) {
    socket_->disconnect(this);
    delete socket_;
    socket_ = nullptr;
  }
}

bool MessageServer::Listen(std::string& error) {
  if (!server_.listen(QHostAddress::LocalHost, options_.port)) {
    error = server_.errorString().toStdString();
    return false;
  }
  port_ = server_.serverPort();
  print_("listening 127.0.0.1:" + std::to_string(Port()));
  if (options_.downAfterMs) downTimer_.start(static_cast<int>(*options_.downAfterMs));
  return true;
}

std::uint16_t MessageServer::Port() const { return port_; }

void MessageServer::ToggleDown() {
  if (down_) {
    GoUp();
  } else {
    GoDown();
  }
}

void MessageServer::GoDown() {
  down_ = true;
  if (options_.downMode == ServerOptions::DownMode::Refuse) {
    EndConnection(false);
    server_.close();
    print_("down refuse");
  } else {
    // A hung server: the connection stays, nothing is read or answered, and new
    // connections wait in the kernel's queue.
    server_.pauseAccepting();
    actions_.clear();
    actionTimer_.stop();
    print_("down pause");
  }
  if (options_.upAfterMs) downTimer_.start(static_cast<int>(*options_.upAfterMs));
}

void MessageServer::GoUp() {
  downTimer_.stop();
  down_ = false;
  if (options_.downMode == ServerOptions::DownMode::Refuse) {
    if (!server_.listen(QHostAddress::LocalHost, port_)) {
      print_("up failed: " + server_.errorString().toStdString());
      return;
    }
  } else {
    // What the driver sent meanwhile was never read: the paused connection ends.
    EndConnection(false);
    server_.resumeAccepting();
  }
  print_("up");
  // Connections that queued while paused.
  OnNewConnection();
}

void MessageServer::OnNewConnection() {
  if (down_) return;
  while (QTcpSocket* next = server_.nextPendingConnection()) {
    if (socket_ != nullptr) EndConnection(false);  // the newest driver connection wins
    socket_ = next;
    buffer_.clear();
    packets_ = 0;
    replies_ = 0;
    repliesAll_ = 0;
    keepAlives_ = 0;
    print_("connected");
    connect(next, &QTcpSocket::readyRead, this, [this, next] { OnReadyRead(next); });
    connect(next, &QTcpSocket::disconnected, this, [this, next] { OnDisconnected(next); });
    if (next->bytesAvailable() > 0) OnReadyRead(next);
  }
}

void MessageServer::OnDisconnected(QTcpSocket* socket) {
  if (socket == socket_) EndConnection(false);
}

// Forgets the current connection (closing it if it is still open) and what was
// still to be sent on it.
// A graceful end lets replies already written reach the driver first.
void MessageServer::EndConnection(bool graceful) {
  QTcpSocket* socket = std::exchange(socket_, nullptr);
  if (socket == nullptr) return;
  actions_.clear();
  actionTimer_.stop();
  buffer_.clear();
  socket->disconnect(this);
  if (graceful && socket->state() == QAbstractSocket::ConnectedState) {
    connect(socket, &QAbstractSocket::disconnected, socket, &QObject::deleteLater);
    socket->disconnectFromHost();
  } else {
    socket->abort();
    socket->deleteLater();
  }
  print_("disconnected");
}

void MessageServer::OnReadyRead(QTcpSocket* socket) {
  if (socket != socket_ || down_) return;
  const QByteArray data = socket->readAll();
  buffer_.insert(buffer_.end(), data.begin(), data.end());
  std::size_t used = 0;
  while (socket_ == socket && buffer_.size() - used >= kBlockPrefixSize) {
    const std::uint8_t* prefix = buffer_.data() + used;
    const auto length = static_cast<std::int32_t>(GetU32(prefix + 5));
    if ((prefix[0] != 0xFF && prefix[0] != 0xF0) || length < static_cast<int>(kPacketHeaderSize) ||
        length > kLongestAcceptedBlock) {
      print_("bad-block marker=" + std::to_string(prefix[0]) + " length=" + std::to_string(length));
      EndConnection(false);
      return;
    }
    const std::size_t blockSize = kBlockPrefixSize + static_cast<std::size_t>(length);
    if (buffer_.size() - used < blockSize) break;
    const Bytes packet(buffer_.begin() + static_cast<std::ptrdiff_t>(used + kBlockPrefixSize),
                       buffer_.begin() + static_cast<std::ptrdiff_t>(used + blockSize));
    used += blockSize;
    HandlePacket(packet);
  }
  if (socket_ == socket)
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(used));
}

void MessageServer::HandlePacket(const Bytes& packet) {
  ++packets_;
  const std::int32_t command = PacketCommand(packet);
  const std::int64_t sequence = PacketSequence(packet);
  const ByteView payload = ByteView(packet).subspan(kPacketHeaderSize);
  const bool valid = packet[0] == 0xFF && packet[17] == 0xFE &&
                     PacketPayloadLength(packet) == static_cast<std::int32_t>(payload.size());

  if (command == cmdEvent && valid) {
    PrintEvent(sequence, payload);
  } else if (options_.verbose || !valid) {
    print_("packet cmd=" + Hex32(command) + " seq=" + std::to_string(sequence) +
           " len=" + std::to_string(payload.size()) + (valid ? "" : " invalid"));
  }

  const auto after = [this](const std::optional<std::int64_t>& n) { return n && packets_ > *n; };
  qint64 due = uptime_.elapsed() + options_.delayMs;
  bool miss = false;
  bool extra = false;
  if (command == cmdEvent) {
    ++eventsRun_;
    miss = options_.missEvery && eventsRun_ % *options_.missEvery == 0;
    extra = options_.extraEvery && eventsRun_ % *options_.extraEvery == 0;
    const bool late = (options_.lateAt && eventsRun_ == *options_.lateAt) ||
                      (options_.lateEvery && eventsRun_ % *options_.lateEvery == 0);
    if (late && options_.lateMs > 0) {
      due += options_.lateMs;
      print_("late seq=" + std::to_string(sequence) + " ms=" + std::to_string(options_.lateMs));
    }
  }
  if (options_.noReply || miss) {
    if (miss) print_("missed seq=" + std::to_string(sequence));
    PrintVerbose("reply none");
    return;
  }
  if (extra) {
    print_("extra seq=" + std::to_string(sequence));
    Schedule(Action{due, false, BuildBlock(BuildPacket(cmdQuery, ReplySequence(0), {})), {}});
  }
  if (after(options_.closeAfter)) {
    PrintVerbose("reply close");
    Schedule(Action{due, true, {}, {}});
    return;
  }
  if (after(options_.garbageAfter)) {
    PrintVerbose("reply garbage");
    Bytes garbage(kBlockPrefixSize);
    for (std::size_t i = 0; i < garbage.size(); ++i)
      garbage[i] = static_cast<std::uint8_t>(0x47 + i);
    Schedule(Action{due, false, garbage, {}});
    return;
  }
  std::int32_t special = 0;
  if (after(options_.dropAfter)) special = cmdDropLink;
  if (after(options_.disconnectAfter)) special = cmdServerDisconnect;
  if (special != 0) {
    PrintVerbose("reply cmd=" + Hex32(special));
    Schedule(Action{due, false, BuildBlock(BuildPacket(special, ReplySequence(sequence), {})), {}});
    return;
  }
  bool registered = false;
  Bytes reply = OrdinaryReply(command, sequence, registered);
  Schedule(Action{due, false, std::move(reply), registered ? "registered" : ""});
}

Bytes MessageServer::OrdinaryReply(std::int32_t command, std::int64_t sequence, bool& registered) {
  ++replies_;
  if (command == cmdKeepAlive) ++keepAlives_;
  std::int32_t reply = cmdKeepAlive;
  if (options_.queryEvery && replies_ % *options_.queryEvery == 0) {
    reply = cmdQuery;
  } else if (command == cmdKeepAlive && options_.queryKeepAliveEvery &&
             keepAlives_ % *options_.queryKeepAliveEvery == 0) {
    reply = cmdQuery;
  } else if (command == cmdHello && options_.queryHello) {
    reply = cmdQuery;
  } else if (command == cmdVersion) {
    reply = options_.deny ? cmdAccessDenied : cmdRegistered;
    registered = !options_.deny;
  } else if (command == cmdEvent) {
    reply = options_.noAck ? cmdKeepAlive : cmdEventAck;
  }
  Bytes block = BuildBlock(BuildPacket(reply, ReplySequence(sequence), {}));
  if (options_.hugeLength) {
    // Announces 2 GiB - 1 bytes and sends only the header.
    PutU32(&block[5], 0x7FFFFFFF);
    PutU32(&block[17], 0x7FFFFFFF);
    PrintVerbose("reply huge cmd=" + Hex32(reply));
  } else {
    PrintVerbose("reply cmd=" + Hex32(reply));
  }
  return block;
}

std::int64_t MessageServer::ReplySequence(std::int64_t blockSequence) {
  const std::int64_t count = repliesAll_++;
  switch (options_.replySequence) {
    case ServerOptions::ReplySequence::Echo:
      return blockSequence;
    case ServerOptions::ReplySequence::OwnCounter:
      return count;
    case ServerOptions::ReplySequence::Zero:
      break;
  }
  return 0;
}

void MessageServer::Schedule(Action action) {
  if (options_.trickleMs > 0 && !action.close) {
    // One byte at a time, each trickleMs after the one before.
    qint64 due = action.dueMs;
    if (!actions_.empty()) due = std::max(due, actions_.back().dueMs + options_.trickleMs);
    for (std::uint8_t byte : action.bytes) {
      actions_.push_back(Action{due, false, Bytes{byte}, {}});
      due += options_.trickleMs;
    }
    if (!action.line.empty()) actions_.back().line = action.line;
  } else {
    actions_.push_back(std::move(action));
  }
  RunDueActions();
}

void MessageServer::RunDueActions() {
  while (!actions_.empty() && socket_ != nullptr) {
    const qint64 now = uptime_.elapsed();
    Action& next = actions_.front();
    if (next.dueMs > now) {
      actionTimer_.start(static_cast<int>(next.dueMs - now));
      return;
    }
    if (next.close) {
      EndConnection(true);  // clears the actions
      return;
    }
    const Action action = std::move(next);
    actions_.pop_front();
    socket_->write(reinterpret_cast<const char*>(action.bytes.data()),
                   static_cast<qint64>(action.bytes.size()));
    if (!action.line.empty()) print_(action.line);
  }
}

void MessageServer::PrintEvent(std::int64_t sequence, ByteView payload) {
  if (payload.size() != kEventPayloadSize) {
    print_("event seq=" + std::to_string(sequence) +
           " malformed len=" + std::to_string(payload.size()));
    return;
  }
  char id[16];
  std::snprintf(id, sizeof id, "%06X", static_cast<unsigned>(GetU32(&payload[0])));
  std::string code;
  code += Printable(payload[7]);
  code += Printable(payload[8]);
  // The same record again (sent twice by the driver) is marked, so duplicates can
  // be counted from this output alone.
  const int before = seen_[Bytes(payload.begin(), payload.end())]++;
  print_("event seq=" + std::to_string(sequence) + " id=" + id + " code=" + code +
         " flag=" + std::to_string(payload[5]) + " first=" + std::to_string(payload[4]) +
         (before > 0 ? " again=" + std::to_string(before) : std::string()) +
         " time=" + FormatTime(GetF64(&payload[11])));
}

void MessageServer::PrintVerbose(const std::string& line) {
  if (options_.verbose) print_(line);
}

}  // namespace kestrel::msgserver
