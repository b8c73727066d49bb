#pragma once

#include <cstdint>
#include <filesystem>

#include "platform/bytes.h"

namespace kestrel {

// What the spool drain needs of the server link: whether it is online, and a way
// to queue the content of one spool file so that the server's acknowledgement of
// that very packet deletes that very file.
class SpoolLink {
 public:
  virtual ~SpoolLink() = default;
  virtual bool IsOnline() const = 0;
  // Queues a packet made of the file's command and payload, tagged with the file.
  // False when the link refused it (queue full, or not online): nothing changed.
  virtual bool AddSpoolPacket(std::int32_t command, ByteView payload,
                              const std::filesystem::path& file) = 0;
};

}  // namespace kestrel
