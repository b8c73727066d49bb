#pragma once

#include <cstdint>
#include <filesystem>

#include "platform/bytes.h"

namespace kestrel {

// What event dispatch needs of the server link: whether it is online, and a way to
// queue a packet. The link worker implements it; until it runs, OfflineLink does.
class LinkPort {
 public:
  virtual ~LinkPort() = default;
  virtual bool IsOnline() const = 0;
  // Queues a packet with the next sequence number. False when the queue refused
  // it (full, or the link is not taking packets): the caller keeps the data.
  virtual bool AddPacket(std::int32_t command, ByteView payload) = 0;
  // Offers an event whose spool file is written already: the packet refers to the
  // file, which the server's acknowledgement deletes. False when refused: the file
  // stays in the backlog and goes out later.
  virtual bool AddEventFile(std::int32_t command, ByteView payload,
                            const std::filesystem::path& file) = 0;
};

// A link that is never online: every event goes to a spool file.
class OfflineLink final : public LinkPort {
 public:
  bool IsOnline() const override { return false; }
  bool AddPacket(std::int32_t, ByteView) override { return false; }
  bool AddEventFile(std::int32_t, ByteView, const std::filesystem::path&) override { return false; }
};

}  // namespace kestrel
