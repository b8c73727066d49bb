#pragma once

#include "platform/bytes.h"
#include "platform/clock.h"
#include "platform/tcp_client.h"

namespace kestrel {

inline constexpr int kReplyReadTimeoutMs = 1000;
// The payload of one block is requested in pieces of at most this many bytes.
inline constexpr std::size_t kMaxReadRequest = 50000;
// Once a reply has begun (its first byte arrived within the read timeout), pauses
// longer than the read timeout are waited out, but only until a deadline counted
// from the start of the read: the 21-byte prefix must be whole within this ...
inline constexpr std::uint32_t kPrefixDeadlineMs = 5000;
// ... and the whole block within this. Bytes trickling in never hold the link longer.
inline constexpr std::uint32_t kPayloadDeadlineMs = 10000;

enum class SendResult { Written, ConnectionError };

// Writes the packet in its block (prefix and packet in one write). When the
// connection reports an error, disconnects the client (which runs its
// OnDisconnected when the connection was open) and returns ConnectionError.
SendResult SendBlock(TcpClient& client, ByteView packet);

enum class ReceiveResult {
  Block,          // replyBlock holds the packet bytes of one block (may still fail IsValidReply)
  Nothing,        // no byte at all arrived (read timeout of 1000 ms, or the connection
                  // closed): nothing consumed
  Consumed,       // bytes were consumed but there is no usable block (short prefix when
                  // the connection closed, wrong marker, length 0, payload incomplete when
                  // the connection closed): replyBlock empty
  Late,           // a reply began but missed its deadline (prefix not whole within 5 s,
                  // block not whole within 10 s of the start): bytes consumed, replyBlock
                  // empty; counts as no reply
  ProtocolError,  // announced length negative or above kMaxReplyBlockLength: the connection
                  // is closed (Disconnect), replyBlock empty; nothing of that size is allocated
};

// Reads one block: the 21-byte prefix, then the packet of the announced length.
// replyBlock is emptied first and holds the packet only on Block. The reader never
// searches for a marker: after a rejected prefix the next call starts with the byte
// that follows it. A block shorter than 18 bytes is returned as Block; IsValidReply
// rejects it.
ReceiveResult ReceiveBlock(TcpClient& client, const Clock& clock, Bytes& replyBlock);

}  // namespace kestrel
