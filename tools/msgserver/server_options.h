#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kestrel::msgserver {

// Command-line options of the message server simulator. Counters count the packets
// received on the current connection: "after N" means the first N packets are
// answered normally and every later one gets the special treatment.
struct ServerOptions {
  std::uint16_t port = 12543;  // 0: any free port (the listening line tells which)
  bool verbose = false;
  bool deny = false;                            // cmdVersion answered with cmdAccessDenied
  std::optional<std::int64_t> dropAfter;        // then cmdDropLink
  std::optional<std::int64_t> disconnectAfter;  // then cmdServerDisconnect
  std::optional<std::int64_t> closeAfter;       // then close the socket without a reply
  std::optional<std::int64_t> garbageAfter;     // then 21 bytes of garbage
  std::optional<std::int64_t> queryEvery;       // every Nth reply is cmdQuery
  std::int64_t delayMs = 0;                     // every reply delayed
  std::int64_t trickleMs = 0;                   // reply bytes sent one at a time, this far apart
  bool noReply = false;
  bool hugeLength = false;  // every reply announces a block of 2 GiB - 1 bytes
  bool noAck = false;       // events answered with keepalive
  // What a reply carries in its sequence field: 0 (the least a server must do), the
  // sequence of the block it answers, or the server's own count of replies on the
  // connection (0, 1, 2, ...).
  enum class ReplySequence { Zero, Echo, OwnCounter };
  ReplySequence replySequence = ReplySequence::Zero;
  std::optional<std::int64_t> queryKeepAliveEvery;  // every Nth keepalive answered with cmdQuery
  bool queryHello = false;                          // Hello answered with cmdQuery
  std::int64_t lateMs = 0;                          // the late replies' extra delay
  std::optional<std::int64_t> lateAt;               // the reply to the Nth event of the run is late
  std::optional<std::int64_t> lateEvery;  // the reply to every Nth event of the run is late
  // Breaking the one-reply rule: every Nth event of the run gets no reply, or an
  // unasked cmdQuery ahead of its reply.
  std::optional<std::int64_t> missEvery;
  std::optional<std::int64_t> extraEvery;
  bool timestamps = false;  // every output line starts with the wall-clock time it was made
  // Going down and up again (a primary that fails and comes back), by time or by
  // SIGUSR1 (which toggles): refusing closes the connection and the listening port;
  // pausing keeps both but answers nothing and accepts nothing.
  enum class DownMode { Refuse, Pause };
  DownMode downMode = DownMode::Refuse;
  std::optional<std::int64_t> downAfterMs;  // after start
  std::optional<std::int64_t> upAfterMs;    // after each timed or signalled down
};

struct ParseOutcome {
  ServerOptions options;
  bool help = false;
  std::string error;  // empty when the command line was fine
};

ParseOutcome ParseServerOptions(const std::vector<std::string>& args);
std::string ServerUsage();

}  // namespace kestrel::msgserver
