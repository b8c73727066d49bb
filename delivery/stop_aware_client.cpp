#include "delivery/stop_aware_client.h"

#include <algorithm>

namespace kestrel {

TcpClient::ReadEnd StopAwareClient::Read(std::size_t count, int timeoutMs, Bytes& out) {
  return ReadSliced(count, timeoutMs, -1, out);
}

TcpClient::ReadEnd StopAwareClient::ReadWithin(std::size_t count, int timeoutMs, int limitMs,
                                               Bytes& out) {
  return ReadSliced(count, timeoutMs, std::max(limitMs, 0), out);
}

TcpClient::ReadEnd StopAwareClient::ReadSliced(std::size_t count, int timeoutMs, int limitMs,
                                               Bytes& out) {
  if (stopRequested_()) return ReadEnd::Closed;
  const bool limited = limitMs >= 0;
  const std::uint32_t start = tickMs_();
  // What is left of the overall limit; the unsigned difference survives the tick's wrap.
  auto remaining = [&]() -> int {
    const std::uint32_t spent = tickMs_() - start;
    return spent >= static_cast<std::uint32_t>(limitMs) ? 0 : limitMs - static_cast<int>(spent);
  };
  auto readPiece = [&](std::size_t want, int pieceMs) {
    return limited ? inner_.ReadWithin(want, pieceMs, remaining(), out)
                   : inner_.Read(want, pieceMs, out);
  };
  if (sliceMs_ <= 0 || timeoutMs <= sliceMs_) return readPiece(count, timeoutMs);
  std::size_t got = 0;
  int quietMs = 0;
  while (true) {
    if (limited && remaining() == 0) return ReadEnd::Timeout;
    const int piece = std::min(sliceMs_, timeoutMs - quietMs);
    const std::size_t before = out.size();
    const ReadEnd end = readPiece(count - got, piece);
    const std::size_t arrived = out.size() - before;
    got += arrived;
    if (end != ReadEnd::Timeout) return end;
    if (got >= count) return ReadEnd::Complete;
    quietMs = arrived > 0 ? 0 : quietMs + piece;
    if (quietMs >= timeoutMs) return ReadEnd::Timeout;
    if (stopRequested_()) return ReadEnd::Closed;
  }
}

}  // namespace kestrel
