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

  Bytes prefix;
  prefix.reserve(kBlockPrefixSize);
  // Bounded as a whole too, so a prefix trickling in cannot hold the reader.
  client.ReadWithin(kBlockPrefixSize, kReplyReadTimeoutMs, static_cast<int>(kPayloadDeadlineMs),
                    prefix);
  if (prefix.empty()) return ReceiveResult::Nothing;
  if (prefix.size() < kBlockPrefixSize) return ReceiveResult::Consumed;
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
  const std::uint32_t start = clock.TickMs();
  while (packet.size() < total) {
    const std::uint32_t elapsed = clock.TickMs() - start;
    if (elapsed >= kPayloadDeadlineMs) return ReceiveResult::Consumed;
    const std::uint32_t left = kPayloadDeadlineMs - elapsed;
    const std::size_t request = std::min(total - packet.size(), kMaxReadRequest);
    const std::size_t before = packet.size();
    // Bounded by what is left of the deadline, so a server trickling bytes just
    // faster than the read timeout cannot hold the read.
    const TcpClient::ReadEnd end = client.ReadWithin(
        request, static_cast<int>(std::min<std::uint32_t>(kReplyReadTimeoutMs, left)),
        static_cast<int>(left), packet);
    if (packet.size() > before + request) packet.resize(before + request);  // never more than asked
    if (end == TcpClient::ReadEnd::Closed && packet.size() < total) return ReceiveResult::Consumed;
  }
  replyBlock = std::move(packet);
  return ReceiveResult::Block;
}

}  // namespace kestrel
