#pragma once

#include <cstdint>
#include <functional>

#include "platform/tcp_client.h"

namespace kestrel {

// A view of a TcpClient whose reads notice a stop request: a read with a long
// timeout is made as a series of short reads (sliceMs each), and gives up as soon
// as `stopRequested` says so (reported as Closed, with the bytes that arrived).
// "No data for timeoutMs" still means what it says: the quiet time is counted
// over consecutive short reads that brought nothing. Everything else is passed
// through to the client. ReadWithin keeps its overall limit across the slices,
// measured on `tickMs` (the monotonic millisecond tick).
class StopAwareClient final : public TcpClient {
 public:
  StopAwareClient(TcpClient& inner, std::function<bool()> stopRequested, int sliceMs,
                  std::function<std::uint32_t()> tickMs)
      : inner_(inner),
        stopRequested_(std::move(stopRequested)),
        sliceMs_(sliceMs),
        tickMs_(std::move(tickMs)) {}

  void SetOnConnected(std::function<void()> fn) override { inner_.SetOnConnected(std::move(fn)); }
  void SetOnDisconnected(std::function<void()> fn) override {
    inner_.SetOnDisconnected(std::move(fn));
  }
  bool Connect(const std::string& host, std::uint16_t port, int timeoutMs) override {
    return inner_.Connect(host, port, timeoutMs);
  }
  bool Connected() const noexcept override { return inner_.Connected(); }
  bool Write(ByteView data) override { return inner_.Write(data); }
  ReadEnd Read(std::size_t count, int timeoutMs, Bytes& out) override;
  ReadEnd ReadWithin(std::size_t count, int timeoutMs, int limitMs, Bytes& out) override;
  void Disconnect() override { inner_.Disconnect(); }
  bool HasPendingData() override { return inner_.HasPendingData(); }

 private:
  // limitMs < 0: no overall limit.
  ReadEnd ReadSliced(std::size_t count, int timeoutMs, int limitMs, Bytes& out);

  TcpClient& inner_;
  std::function<bool()> stopRequested_;
  int sliceMs_;
  std::function<std::uint32_t()> tickMs_;
};

}  // namespace kestrel
