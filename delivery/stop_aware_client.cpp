#include "delivery/stop_aware_client.h"

#include <algorithm>

namespace kestrel {

TcpClient::ReadEnd StopAwareClient::Read(std::size_t count, int timeoutMs, Bytes& out) {
  if (stopRequested_()) return ReadEnd::Closed;
  if (sliceMs_ <= 0 || timeoutMs <= sliceMs_) return inner_.Read(count, timeoutMs, out);
  std::size_t got = 0;
  int quietMs = 0;
  while (true) {
    const int piece = std::min(sliceMs_, timeoutMs - quietMs);
    const std::size_t before = out.size();
    const ReadEnd end = inner_.Read(count - got, piece, out);
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
