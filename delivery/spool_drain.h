#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "delivery/spool_bookkeeping.h"
#include "delivery/spool_file_format.h"
#include "delivery/spool_link.h"
#include "delivery/spool_location.h"
#include "platform/clock.h"
#include "platform/file_system.h"
#include "platform/operator_log.h"

namespace kestrel {

// Hands spool files to the server link one at a time while it is online
// (`DrainSpool`, once per 200 ms tick on the window thread). The worker deletes a
// file when the server acknowledges the very packet that carried it.
//
// Order: the file least recently handed over goes first, the oldest (by time of
// writing) among those never handed over, so one file the server never
// acknowledges cannot hold back the rest. Pace: a hand-over only when strictly
// more than 3 s (monotonic tick) have passed since the last one, or at once after
// the worker reset LastSpoolSend (connection, acknowledgement). A file that is not
// a regular file, is shorter than 4 bytes or longer than 64 KiB, cannot be read
// three ticks in a row, or holds an event whose record is not 19 bytes, is renamed
// aside (".bad") and reported once; it is never deleted.
class SpoolDrain {
 public:
  static constexpr std::uint32_t kPaceMs = 3000;
  static constexpr std::uint64_t kMinFileSize = kSpoolCommandSize;
  static constexpr std::uint64_t kMaxFileSize = 64 * 1024;
  static constexpr int kReadFailuresToSetAside = 3;

  SpoolDrain(SpoolLocation location, FileSystem& files, const Clock& clock, OperatorLog& log,
             SpoolBookkeeping& bookkeeping);

  // The link the files go to; null until the worker exists (the drain then does
  // nothing).
  void SetLink(SpoolLink* link) { link_ = link; }

  void DrainSpool();

 private:
  void SetAside(const std::filesystem::path& file, const std::string& reasonUtf8);

  SpoolLocation location_;
  FileSystem& files_;
  const Clock& clock_;
  OperatorLog& log_;
  SpoolBookkeeping& bookkeeping_;
  SpoolLink* link_ = nullptr;
};

}  // namespace kestrel
