#include "platform/qt_tcp_client.h"

#include <QDeadlineTimer>
#include <QNetworkProxy>
#include <QString>
#include <QTcpSocket>
#include <algorithm>
#include <utility>

#include "platform/text_1251.h"

namespace kestrel {

namespace {

std::string ConnectFailureText(QAbstractSocket::SocketError error, const QString& qtText) {
  switch (error) {
    case QAbstractSocket::HostNotFoundError:
      return "имя сервера не найдено";
    case QAbstractSocket::ConnectionRefusedError:
      return "соединение отклонено";
    case QAbstractSocket::SocketTimeoutError:
      return "сервер не ответил";
    case QAbstractSocket::NetworkError:
      return "сеть недоступна";
    default:
      return qtText.toStdString();
  }
}

}  // namespace

QtTcpClient::QtTcpClient() = default;

QtTcpClient::~QtTcpClient() {
  if (socket_) socket_->abort();
}

void QtTcpClient::SetOnConnected(std::function<void()> fn) { onConnected_ = std::move(fn); }

void QtTcpClient::SetOnDisconnected(std::function<void()> fn) { onDisconnected_ = std::move(fn); }

bool QtTcpClient::Connect(const std::string& host, std::uint16_t port, int timeoutMs) {
  Disconnect();
  socket_ = std::make_unique<QTcpSocket>();
  // The server is reached directly, whatever proxy the environment names.
  socket_->setProxy(QNetworkProxy::NoProxy);
  socket_->connectToHost(QString::fromStdString(Cp1251ToUtf8(host)), port);
  failure_.clear();
  if (!socket_->waitForConnected(std::max(timeoutMs, 0))) {
    failure_ = ConnectFailureText(socket_->error(), socket_->errorString());
    socket_->abort();
    socket_.reset();
    return false;
  }
  // Small request/reply blocks: send each at once.
  socket_->setSocketOption(QAbstractSocket::LowDelayOption, 1);
  socket_->setSocketOption(QAbstractSocket::KeepAliveOption, 1);
  open_ = true;
  if (onConnected_) onConnected_();
  return true;
}

bool QtTcpClient::Connected() const noexcept {
  return socket_ && socket_->state() == QAbstractSocket::ConnectedState;
}

bool QtTcpClient::Write(ByteView data) {
  if (!Connected()) return false;
  if (data.empty()) return true;
  const qint64 n =
      socket_->write(reinterpret_cast<const char*>(data.data()), static_cast<qint64>(data.size()));
  if (n != static_cast<qint64>(data.size())) return false;
  while (socket_->bytesToWrite() > 0) {
    if (!socket_->waitForBytesWritten(kWriteTimeoutMs)) return false;
  }
  return socket_->state() == QAbstractSocket::ConnectedState;
}

TcpClient::ReadEnd QtTcpClient::Read(std::size_t count, int timeoutMs, Bytes& out) {
  return ReadUntil(count, timeoutMs, QDeadlineTimer(QDeadlineTimer::Forever), out);
}

TcpClient::ReadEnd QtTcpClient::ReadWithin(std::size_t count, int timeoutMs, int limitMs,
                                           Bytes& out) {
  return ReadUntil(count, timeoutMs, QDeadlineTimer(std::max(limitMs, 0)), out);
}

TcpClient::ReadEnd QtTcpClient::ReadUntil(std::size_t count, int timeoutMs,
                                          const QDeadlineTimer& deadline, Bytes& out) {
  std::size_t got = 0;
  const auto takeBuffered = [&] {
    const qint64 available = socket_->bytesAvailable();
    if (available <= 0 || got >= count) return;
    const std::size_t want = std::min(count - got, static_cast<std::size_t>(available));
    const std::size_t old = out.size();
    out.resize(old + want);
    const qint64 n =
        socket_->read(reinterpret_cast<char*>(out.data() + old), static_cast<qint64>(want));
    const std::size_t taken = n > 0 ? static_cast<std::size_t>(n) : 0;
    out.resize(old + taken);
    got += taken;
  };
  if (count == 0) return ReadEnd::Complete;
  if (!socket_) return ReadEnd::Closed;
  for (;;) {
    // Bytes that arrived before a close are still delivered.
    takeBuffered();
    if (got >= count) return ReadEnd::Complete;
    if (socket_->state() != QAbstractSocket::ConnectedState) return ReadEnd::Closed;
    if (deadline.hasExpired()) return ReadEnd::Timeout;
    qint64 wait = std::max(timeoutMs, 0);
    if (!deadline.isForever()) wait = std::min(wait, deadline.remainingTime());
    if (!socket_->waitForReadyRead(static_cast<int>(wait))) {
      takeBuffered();
      if (got >= count) return ReadEnd::Complete;
      return socket_->state() == QAbstractSocket::ConnectedState ? ReadEnd::Timeout
                                                                 : ReadEnd::Closed;
    }
  }
}

bool QtTcpClient::HasPendingData() {
  if (!socket_) return false;
  if (socket_->bytesAvailable() > 0) return true;
  // Without an event loop nothing is taken from the network except in a wait.
  socket_->waitForReadyRead(0);
  return socket_->bytesAvailable() > 0;
}

void QtTcpClient::Disconnect() {
  const bool wasOpen = open_;
  open_ = false;
  if (socket_) {
    socket_->abort();
    socket_.reset();
  }
  if (wasOpen && onDisconnected_) onDisconnected_();
}

TcpClientFactory MakeQtTcpClientFactory() {
  return [] { return std::make_unique<QtTcpClient>(); };
}

}  // namespace kestrel
