#pragma once

#include "platform/bytes.h"
#include "platform/clock.h"
#include "platform/tcp_client.h"

namespace kestrel {

inline constexpr int kReplyReadTimeoutMs = 1000;
// The payload of one block is requested in pieces of at most this many bytes.
inline constexpr std::size_t kMaxReadRequest = 50000;
// A prefix, or a payload, that has not arrived completely this long after its read
// began is given up.
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
  Consumed,       // bytes were consumed but there is no usable block (short prefix, wrong
                  // marker, length 0, prefix not complete within 10 s, payload incomplete
                  // when the connection closed or after 10 s): replyBlock empty
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
