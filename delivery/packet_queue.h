#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <vector>

#include "platform/bytes.h"

namespace kestrel {

// Where a queued packet came from, which decides what happens to it when it is not
// delivered.
enum class PacketKind {
  Internal,   // made by the worker itself (handshake, answer to a query)
  LiveEvent,  // an event handed over while online; spooled again if not acknowledged
  SpoolFile,  // the content of a spool file; the file stays on disk until acknowledged
};

struct QueuedPacket {
  Bytes packet;  // BuildPacket output
  std::int32_t command = 0;
  PacketKind kind = PacketKind::Internal;
  std::filesystem::path spoolFile;  // for SpoolFile packets
  Bytes payload;                    // the payload, kept so a live event can be spooled again
};

// The outgoing packets: a ring of 100 slots with ReadIndex (oldest packet),
// WriteIndex (slot for the next one) and QueueFull, so that all 100 slots are
// usable. Not locked itself: its user serialises access.
class PacketQueue {
 public:
  static constexpr std::size_t kSlots = 100;

  // False when the queue is full; nothing changes then.
  bool Enqueue(QueuedPacket p);
  // The oldest packet, or nullptr when the queue is empty. Valid until the next
  // change of the queue.
  const QueuedPacket* PeekFront() const;
  // Releases the oldest packet; does nothing when the queue is empty.
  void DropFront();
  std::size_t Size() const;
  bool Empty() const { return WriteIndex == ReadIndex && !QueueFull; }
  bool Full() const { return QueueFull; }
  // Empties the queue and returns its packets, oldest first.
  std::vector<QueuedPacket> TakeAll();

 private:
  std::array<QueuedPacket, kSlots> slots_{};
  std::size_t ReadIndex = 0;
  std::size_t WriteIndex = 0;
  bool QueueFull = false;
};

}  // namespace kestrel
