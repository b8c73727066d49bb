#pragma once

#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>

#include "delivery/spool_file_format.h"
#include "delivery/spool_index.h"
#include "platform/bytes.h"
#include "platform/clock.h"
#include "platform/file_system.h"
#include "platform/operator_log.h"

namespace kestrel {

// One spool file read for the link: its command, its payload and the file itself,
// which stays on disk until the server acknowledges the block that carries it.
struct SpoolPacket {
  std::int32_t command = 0;
  Bytes payload;
  std::filesystem::path file;
};

// The backlog: spool files that wait for the server. The link worker takes them
// one at a time (TakeNext) whenever it has nothing fresher to send, so the backlog
// leaves at the link's own pace; the index says which file goes next, so a step
// costs the same whatever the number of files waiting.
//
// Order: the file least recently handed over goes first, the oldest (by time of
// writing) among those never handed over, so one file the server never
// acknowledges cannot hold back the rest. A file answered otherwise than with
// cmdEventAck waits more than 3 s (monotonic tick) before it is offered again. A
// file that is not a regular file, is shorter than 4 bytes or longer than 64 KiB,
// cannot be read three tries in a row, or holds an event whose record is not 19
// bytes, is renamed aside (".bad") and reported once; it is never deleted.
//
// The operator log says when a backlog begins and when it has cleared (DrainSpool,
// on the window's timer).
class SpoolDrain {
 public:
  static constexpr std::uint64_t kMinFileSize = kSpoolCommandSize;
  static constexpr std::uint64_t kMaxFileSize = 64 * 1024;
  static constexpr int kReadFailuresToSetAside = 3;
  // Files tried per call of TakeNext before it gives up for the step.
  static constexpr int kFilesPerTake = 8;
  // How often the folder is listed again for files copied in by hand.
  static constexpr std::uint32_t kRescanMs = 60000;

  SpoolDrain(SpoolIndex& index, FileSystem& files, const Clock& clock, OperatorLog& log);

  // Lists the folder now (start-up).
  void Rescan();
  // Lists the folder again when kRescanMs have passed since the last listing
  // (called by the worker, every step).
  void Maintain();
  // The next file to send, read and checked, marked in flight in the index; nothing
  // when no file may go now. Bad files met on the way are set aside. Any thread.
  std::optional<SpoolPacket> TakeNext();

  // The window's timer: tells the operator when a backlog begins and when it has
  // cleared (how many events the server took meanwhile, how long it lasted).
  void DrainSpool();

 private:
  void SetAside(const std::filesystem::path& file, const std::string& reasonUtf8);
  void Report(const std::string& line);
  void Tell(const std::string& line);

  SpoolIndex& index_;
  FileSystem& files_;
  const Clock& clock_;
  OperatorLog& log_;

  std::mutex rescanMutex_;
  std::uint32_t lastRescan_ = 0;

  // Backlog report (window thread only).
  bool backlogShown_ = false;
  std::uint32_t backlogSince_ = 0;
  std::uint64_t deliveredBefore_ = 0;
  std::size_t backlogPeak_ = 0;
};

}  // namespace kestrel
