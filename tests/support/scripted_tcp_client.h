#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/tcp_client.h"
#include "tests/support/fake_clock.h"

namespace kestrel::test {

// The far end of a fake connection, owned by the test: what the "server" sends,
// and a record of what the client did. Time passes only on the FakeClock: a read
// that would wait advances the clock instead of sleeping.
//
// Incoming data is a script of chunks, each optionally preceded by a delay. A
// chunk's delay starts when the chunk before it has been read completely (for the
// first chunk: when it was pushed, or when the connection opened if that is later).
// A read waits for the next chunk; when the chunk would arrive later than the read
// timeout, the read advances the clock by the timeout and returns Timeout (the
// chunk's remaining delay shrinks by as much). When the script is empty a read
// times out the same way. A chunk larger than a request is split; the rest is
// available at once to the next read. ReadWithin also stops waiting once its
// limit has passed since the call began.
//
// Chunks pushed while no connection is open wait for the next connection. When a
// connection ends (Disconnect, peer close, client released), whatever it had not
// delivered is lost.
//
// Thread-safe: the client may run on a worker thread while the test pushes data
// and reads the records. Callbacks run without the peer's lock held.
class ScriptedPeer {
 public:
  explicit ScriptedPeer(FakeClock& clock) : clock_(clock) {}
  ScriptedPeer(const ScriptedPeer&) = delete;
  ScriptedPeer& operator=(const ScriptedPeer&) = delete;

  // --- the script ---
  void Push(Bytes chunk, std::uint32_t delayMs = 0);
  // The peer closes the connection at this point of the script: a read that reaches
  // it returns Closed and the client is no longer connected (no OnDisconnected).
  void PushClose(std::uint32_t delayMs = 0);
  // The peer closes the open connection now.
  void CloseFromPeer();
  // Drops every scripted item not yet read.
  void ClearIncoming();
  // Connect fails while set.
  void SetRefuseConnections(bool refuse);
  // Write fails (returns false, records nothing) while set; the connection stays
  // open, as a socket whose write failed would still report until closed.
  void SetFailWrites(bool fail);
  // Runs after every accepted write with the bytes written; may Push a reply.
  void SetOnWrite(std::function<void(ByteView)> fn);

  // --- the record ---
  std::vector<Bytes> Writes() const;              // every accepted write, in order
  std::vector<std::size_t> ReadRequests() const;  // the count asked by every read
  int ConnectAttempts() const;
  int Disconnects() const;  // Disconnect calls that ended an open connection
  std::string LastHost() const;
  std::uint16_t LastPort() const;
  int LastConnectTimeoutMs() const;
  bool ConnectionOpen() const;
  std::size_t PendingItems() const;  // scripted items not yet read completely

  // A factory whose clients all talk to this peer (one open connection at a time:
  // a client that connects takes the connection over from an older one).
  TcpClientFactory Factory();

 private:
  friend class ScriptedTcpClient;

  struct Item {
    Bytes data;
    std::size_t offset = 0;
    std::uint32_t delayMs = 0;
    bool close = false;
  };

  // Called by the clients.
  bool Connect(const std::string& host, std::uint16_t port, int timeoutMs, std::uint64_t& id);
  bool IsOpen(std::uint64_t id) const;
  bool Write(std::uint64_t id, ByteView data);
  TcpClient::ReadEnd Read(std::uint64_t id, std::size_t count, int timeoutMs, int limitMs,
                          Bytes& out);
  void Close(std::uint64_t id, bool byDisconnect);
  bool HasPendingData(std::uint64_t id) const;

  void EndConnectionLocked();
  void StartHeadLocked();

  FakeClock& clock_;
  mutable std::mutex mutex_;
  std::deque<Item> incoming_;
  std::uint32_t headSince_ = 0;  // tick when the front item's delay began
  bool open_ = false;
  std::uint64_t connectionId_ = 0;  // id of the open (or last) connection
  bool refuse_ = false;
  bool failWrites_ = false;
  std::function<void(ByteView)> onWrite_;
  std::vector<Bytes> writes_;
  std::vector<std::size_t> readRequests_;
  int connectAttempts_ = 0;
  int disconnects_ = 0;
  std::string lastHost_;
  std::uint16_t lastPort_ = 0;
  int lastTimeoutMs_ = 0;
};

// A TcpClient talking to a ScriptedPeer. Behaves like the real one (QtTcpClient):
// OnConnected runs inside a successful Connect; a connection counts as open from
// then until Disconnect, even when the peer has closed it meanwhile, so Disconnect
// runs OnDisconnected once for every successful Connect. A peer close runs nothing
// by itself, and neither does releasing the client. Connect closes an open
// connection first (with OnDisconnected). Connected() is false once the peer has
// closed.
class ScriptedTcpClient final : public TcpClient {
 public:
  explicit ScriptedTcpClient(ScriptedPeer& peer) : peer_(peer) {}
  ~ScriptedTcpClient() override;

  void SetOnConnected(std::function<void()> fn) override { onConnected_ = std::move(fn); }
  void SetOnDisconnected(std::function<void()> fn) override { onDisconnected_ = std::move(fn); }
  bool Connect(const std::string& host, std::uint16_t port, int timeoutMs) override;
  bool Connected() const noexcept override;
  bool Write(ByteView data) override;
  ReadEnd Read(std::size_t count, int timeoutMs, Bytes& out) override;
  ReadEnd ReadWithin(std::size_t count, int timeoutMs, int limitMs, Bytes& out) override;
  void Disconnect() override;
  bool HasPendingData() override;
  // A refused connection says so, as the real client does.
  std::string FailureText() const override { return failure_; }

 private:
  ScriptedPeer& peer_;
  std::uint64_t id_ = 0;  // 0: never connected
  bool open_ = false;     // between a successful Connect and Disconnect
  std::function<void()> onConnected_;
  std::function<void()> onDisconnected_;
  std::string failure_;
};

}  // namespace kestrel::test
