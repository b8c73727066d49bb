#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/tcp_client.h"

class QDeadlineTimer;
class QTcpSocket;

namespace kestrel {

// The connection to the message server on a Qt TCP socket, driven only by the
// socket's blocking calls, so it works on a plain thread without an event loop.
// Create, use and destroy it on one thread.
//
// A connection counts as open from a successful Connect until Disconnect, even
// when the peer has closed it meanwhile: Disconnect then still runs the
// disconnected callback, once, so every connected callback is matched by one
// disconnected callback. Destroying the client closes the connection without
// running any callback.
class QtTcpClient final : public TcpClient {
 public:
  // How long Write waits for the data to leave for the network.
  static constexpr int kWriteTimeoutMs = 5000;

  QtTcpClient();
  ~QtTcpClient() override;
  QtTcpClient(const QtTcpClient&) = delete;
  QtTcpClient& operator=(const QtTcpClient&) = delete;

  void SetOnConnected(std::function<void()> fn) override;
  void SetOnDisconnected(std::function<void()> fn) override;

  // Closes an open connection first (running the disconnected callback). A
  // negative timeout counts as 0.
  bool Connect(const std::string& host, std::uint16_t port, int timeoutMs) override;
  bool Connected() const noexcept override;
  bool Write(ByteView data) override;
  ReadEnd Read(std::size_t count, int timeoutMs, Bytes& out) override;
  ReadEnd ReadWithin(std::size_t count, int timeoutMs, int limitMs, Bytes& out) override;
  void Disconnect() override;
  bool HasPendingData() override;
  std::string FailureText() const override { return failure_; }

 private:
  ReadEnd ReadUntil(std::size_t count, int timeoutMs, const QDeadlineTimer& deadline, Bytes& out);

  std::unique_ptr<QTcpSocket> socket_;
  std::string failure_;  // why the last Connect failed
  bool open_ = false;    // between a successful Connect and Disconnect
  std::function<void()> onConnected_;
  std::function<void()> onDisconnected_;
};

// Makes a QtTcpClient on the calling thread.
TcpClientFactory MakeQtTcpClientFactory();

}  // namespace kestrel
