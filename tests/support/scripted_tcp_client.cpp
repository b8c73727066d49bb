#include "tests/support/scripted_tcp_client.h"

#include <algorithm>
#include <limits>
#include <memory>
#include <utility>

namespace kestrel::test {

void ScriptedPeer::Push(Bytes chunk, std::uint32_t delayMs) {
  std::lock_guard lock(mutex_);
  incoming_.push_back(Item{std::move(chunk), 0, delayMs, false});
  if (incoming_.size() == 1) StartHeadLocked();
}

void ScriptedPeer::PushClose(std::uint32_t delayMs) {
  std::lock_guard lock(mutex_);
  incoming_.push_back(Item{{}, 0, delayMs, true});
  if (incoming_.size() == 1) StartHeadLocked();
}

void ScriptedPeer::CloseFromPeer() {
  std::lock_guard lock(mutex_);
  if (open_) EndConnectionLocked();
}

void ScriptedPeer::ClearIncoming() {
  std::lock_guard lock(mutex_);
  incoming_.clear();
}

void ScriptedPeer::SetRefuseConnections(bool refuse) {
  std::lock_guard lock(mutex_);
  refuse_ = refuse;
}

void ScriptedPeer::SetFailWrites(bool fail) {
  std::lock_guard lock(mutex_);
  failWrites_ = fail;
}

void ScriptedPeer::SetOnWrite(std::function<void(ByteView)> fn) {
  std::lock_guard lock(mutex_);
  onWrite_ = std::move(fn);
}

std::vector<Bytes> ScriptedPeer::Writes() const {
  std::lock_guard lock(mutex_);
  return writes_;
}

std::vector<std::size_t> ScriptedPeer::ReadRequests() const {
  std::lock_guard lock(mutex_);
  return readRequests_;
}

int ScriptedPeer::ConnectAttempts() const {
  std::lock_guard lock(mutex_);
  return connectAttempts_;
}

int ScriptedPeer::Disconnects() const {
  std::lock_guard lock(mutex_);
  return disconnects_;
}

std::string ScriptedPeer::LastHost() const {
  std::lock_guard lock(mutex_);
  return lastHost_;
}

std::uint16_t ScriptedPeer::LastPort() const {
  std::lock_guard lock(mutex_);
  return lastPort_;
}

int ScriptedPeer::LastConnectTimeoutMs() const {
  std::lock_guard lock(mutex_);
  return lastTimeoutMs_;
}

bool ScriptedPeer::ConnectionOpen() const {
  std::lock_guard lock(mutex_);
  return open_;
}

std::size_t ScriptedPeer::PendingItems() const {
  std::lock_guard lock(mutex_);
  return incoming_.size();
}

TcpClientFactory ScriptedPeer::Factory() {
  return
      [this]() -> std::unique_ptr<TcpClient> { return std::make_unique<ScriptedTcpClient>(*this); };
}

bool ScriptedPeer::Connect(const std::string& host, std::uint16_t port, int timeoutMs,
                           std::uint64_t& id) {
  std::lock_guard lock(mutex_);
  ++connectAttempts_;
  lastHost_ = host;
  lastPort_ = port;
  lastTimeoutMs_ = timeoutMs;
  if (refuse_) return false;
  if (open_) EndConnectionLocked();  // taken over from an older client
  open_ = true;
  id = ++connectionId_;
  StartHeadLocked();  // a delay of a chunk pushed beforehand starts now
  return true;
}

bool ScriptedPeer::IsOpen(std::uint64_t id) const {
  std::lock_guard lock(mutex_);
  return open_ && id == connectionId_;
}

bool ScriptedPeer::Write(std::uint64_t id, ByteView data) {
  std::function<void(ByteView)> hook;
  {
    std::lock_guard lock(mutex_);
    if (!open_ || id != connectionId_ || failWrites_) return false;
    writes_.emplace_back(data.begin(), data.end());
    hook = onWrite_;
  }
  if (hook) hook(data);
  return true;
}

TcpClient::ReadEnd ScriptedPeer::Read(std::uint64_t id, std::size_t count, int timeoutMs,
                                      int limitMs, Bytes& out) {
  std::lock_guard lock(mutex_);
  readRequests_.push_back(count);
  if (!open_ || id != connectionId_) return TcpClient::ReadEnd::Closed;
  const auto timeout = static_cast<std::uint32_t>(std::max(timeoutMs, 0));
  const auto limit = static_cast<std::uint32_t>(std::max(limitMs, 0));
  std::uint32_t spent = 0;  // waited in this call
  // Waits `ms` for data; false (after waiting what the timeout or the limit allow)
  // when the data would come too late.
  const auto wait = [&](std::uint32_t ms) {
    const std::uint32_t allowed = std::min(timeout, limit - spent);
    if (ms > allowed) {
      clock_.AdvanceMs(allowed);
      return false;
    }
    clock_.AdvanceMs(ms);
    spent += ms;
    return true;
  };
  std::size_t got = 0;
  while (got < count) {
    if (incoming_.empty()) {
      wait(std::numeric_limits<std::uint32_t>::max());
      return TcpClient::ReadEnd::Timeout;
    }
    Item& head = incoming_.front();
    const std::uint32_t waited = clock_.TickMs() - headSince_;
    if (waited < head.delayMs && !wait(head.delayMs - waited)) return TcpClient::ReadEnd::Timeout;
    if (head.close) {
      incoming_.pop_front();
      EndConnectionLocked();
      return TcpClient::ReadEnd::Closed;
    }
    const std::size_t n = std::min(count - got, head.data.size() - head.offset);
    const auto begin = head.data.begin() + static_cast<std::ptrdiff_t>(head.offset);
    out.insert(out.end(), begin, begin + static_cast<std::ptrdiff_t>(n));
    head.offset += n;
    got += n;
    if (head.offset == head.data.size()) {
      incoming_.pop_front();
      StartHeadLocked();
    }
  }
  return TcpClient::ReadEnd::Complete;
}

bool ScriptedPeer::HasPendingData(std::uint64_t id) const {
  std::lock_guard lock(mutex_);
  if (!open_ || id != connectionId_ || incoming_.empty()) return false;
  const Item& head = incoming_.front();
  // A chunk whose delay is over has arrived (a close is no data).
  return !head.close && clock_.TickMs() - headSince_ >= head.delayMs;
}

void ScriptedPeer::Close(std::uint64_t id, bool byDisconnect) {
  std::lock_guard lock(mutex_);
  if (byDisconnect) ++disconnects_;
  if (open_ && id == connectionId_) EndConnectionLocked();
}

void ScriptedPeer::EndConnectionLocked() {
  open_ = false;
  incoming_.clear();
}

void ScriptedPeer::StartHeadLocked() { headSince_ = clock_.TickMs(); }

ScriptedTcpClient::~ScriptedTcpClient() {
  if (id_ != 0) peer_.Close(id_, false);  // released: no OnDisconnected
}

bool ScriptedTcpClient::Connect(const std::string& host, std::uint16_t port, int timeoutMs) {
  Disconnect();
  failure_.clear();
  if (!peer_.Connect(host, port, timeoutMs, id_)) {
    failure_ = "соединение отклонено";
    return false;
  }
  open_ = true;
  if (onConnected_) onConnected_();
  return true;
}

bool ScriptedTcpClient::Connected() const noexcept { return id_ != 0 && peer_.IsOpen(id_); }

bool ScriptedTcpClient::Write(ByteView data) { return peer_.Write(id_, data); }

TcpClient::ReadEnd ScriptedTcpClient::Read(std::size_t count, int timeoutMs, Bytes& out) {
  return peer_.Read(id_, count, timeoutMs, std::numeric_limits<int>::max(), out);
}

TcpClient::ReadEnd ScriptedTcpClient::ReadWithin(std::size_t count, int timeoutMs, int limitMs,
                                                 Bytes& out) {
  return peer_.Read(id_, count, timeoutMs, limitMs, out);
}

bool ScriptedTcpClient::HasPendingData() { return id_ != 0 && peer_.HasPendingData(id_); }

void ScriptedTcpClient::Disconnect() {
  if (!open_) return;
  open_ = false;
  peer_.Close(id_, true);
  if (onDisconnected_) onDisconnected_();
}

}  // namespace kestrel::test
