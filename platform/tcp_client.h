#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/bytes.h"

namespace kestrel {

// The connection to the message server as the link worker sees it. Used by one
// thread at a time: the one that created it.
class TcpClient {
 public:
  enum class ReadEnd {
    Complete,  // all requested bytes arrived
    Timeout,   // no data for the read timeout
    Closed,    // the connection is closed or broken
  };

  virtual ~TcpClient() = default;

  // Runs on the connecting thread, inside Connect, once the connection is up.
  virtual void SetOnConnected(std::function<void()> fn) = 0;
  // Runs inside Disconnect when it closes a connection that was open.
  virtual void SetOnDisconnected(std::function<void()> fn) = 0;

  // Host name or dotted IPv4 address (Windows-1251 text as read from settings).
  virtual bool Connect(const std::string& host, std::uint16_t port, int timeoutMs) = 0;
  virtual bool Connected() const noexcept = 0;
  // Writes all of data in one write; false on a connection error.
  virtual bool Write(ByteView data) = 0;
  // Waits for up to `count` bytes, appending what arrives to `out`. Gives up when
  // no data has arrived for timeoutMs, or the connection closes; the bytes that did
  // arrive are delivered in every case.
  virtual ReadEnd Read(std::size_t count, int timeoutMs, Bytes& out) = 0;
  // Like Read, but also gives up (Timeout) once limitMs have passed since the call
  // began, even while data keeps trickling in, so that one read cannot outlast a
  // deadline. A client that cannot bound its reads this way falls back on Read; a
  // client that wraps another should pass the limit on.
  virtual ReadEnd ReadWithin(std::size_t count, int timeoutMs, int limitMs, Bytes& out) {
    static_cast<void>(limitMs);
    return Read(count, timeoutMs, out);
  }
  virtual void Disconnect() = 0;
  // Whether bytes from the peer can be read now, without waiting for any (a closed
  // connection has none). A client that cannot tell says no.
  virtual bool HasPendingData() { return false; }
  // Why the last Connect failed, in words for the operator ("имя сервера не
  // найдено", "соединение отклонено", ...); empty when not known.
  virtual std::string FailureText() const { return {}; }
};

// Makes the real client (or a fake, in tests). Called on the thread that will use
// the client.
using TcpClientFactory = std::function<std::unique_ptr<TcpClient>()>;

}  // namespace kestrel
