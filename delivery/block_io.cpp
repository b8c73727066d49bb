#include "delivery/block_io.h"

#include <algorithm>

#include "delivery/packet.h"

namespace kestrel {

SendResult SendBlock(TcpClient& client, ByteView packet) {
  const Bytes block = BuildBlock(packet);
  if (!client.Write(block)) {
    client.Disconnect();
    return SendResult::ConnectionError;
  }
  return SendResult::Written;
}

ReceiveResult ReceiveBlock(TcpClient& client, const Clock& clock, Bytes& replyBlock) {
  replyBlock.clear();
  const std::uint32_t start = clock.TickMs();
  // What is left of a deadline counted from the start; 0 once it has passed.
  const auto left = [&](std::uint32_t deadlineMs) -> std::uint32_t {
    const std::uint32_t elapsed = clock.TickMs() - start;
    return elapsed >= deadlineMs ? 0 : deadlineMs - elapsed;
  };

  Bytes prefix;
  prefix.reserve(kBlockPrefixSize);
  TcpClient::ReadEnd end = client.ReadWithin(kBlockPrefixSize, kReplyReadTimeoutMs,
                                             static_cast<int>(kPrefixDeadlineMs), prefix);
  if (prefix.empty()) return ReceiveResult::Nothing;
  // Begun: pauses are waited out, up to the prefix's deadline.
  while (prefix.size() < kBlockPrefixSize && end != TcpClient::ReadEnd::Closed) {
    const std::uint32_t remaining = left(kPrefixDeadlineMs);
    if (remaining == 0) return ReceiveResult::Late;
    end = client.ReadWithin(kBlockPrefixSize - prefix.size(), static_cast<int>(remaining),
                            static_cast<int>(remaining), prefix);
  }
  if (prefix.size() < kBlockPrefixSize) return ReceiveResult::Consumed;
  prefix.resize(kBlockPrefixSize);  // never more than asked
  if (prefix[0] != kBlockMarker && prefix[0] != kBlockMarkerAlt) return ReceiveResult::Consumed;

  const auto length = static_cast<std::int32_t>(GetU32(&prefix[5]));
  if (length < 0 || length > kMaxReplyBlockLength) {
    client.Disconnect();
    return ReceiveResult::ProtocolError;
  }
  if (length == 0) return ReceiveResult::Consumed;

  const auto total = static_cast<std::size_t>(length);
  Bytes packet;
  packet.reserve(total);
  while (packet.size() < total) {
    const std::uint32_t remaining = left(kPayloadDeadlineMs);
    if (remaining == 0) return ReceiveResult::Late;
    const std::size_t request = std::min(total - packet.size(), kMaxReadRequest);
    const std::size_t before = packet.size();
    // Bounded by what is left of the deadline, so a server trickling bytes just
    // faster than the read timeout cannot hold the read.
    end = client.ReadWithin(
        request, static_cast<int>(std::min<std::uint32_t>(kReplyReadTimeoutMs, remaining)),
        static_cast<int>(remaining), packet);
    if (packet.size() > before + request) packet.resize(before + request);  // never more than asked
    if (end == TcpClient::ReadEnd::Closed && packet.size() < total) return ReceiveResult::Consumed;
  }
  replyBlock = std::move(packet);
  return ReceiveResult::Block;
}

}  // namespace kestrel
