#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "delivery/link_port.h"
#include "delivery/spool_location.h"
#include "platform/bytes.h"
#include "platform/clock.h"
#include "platform/date_time.h"
#include "platform/file_system.h"
#include "platform/group_flusher.h"
#include "platform/operator_log.h"

namespace kestrel {

// Writes packets that cannot go to the server now into spool files, one file per
// packet: the 4-byte command (little-endian) followed by the payload.
//
// A file appears whole or not at all: it is written under a temporary name in the
// same folder (the final name + ".part", which the drain never takes), flushed to
// the disk, then renamed to its final name without ever replacing a file. Final
// names are SpoolFileName of the clock + ".dd8"; a name that is taken (by a file,
// a folder or a link, even one leading nowhere) moves on to the next free number,
// and later writes start after the names found taken. A missing folder is created
// with its parents.
//
// A packet that cannot be written is kept in memory; the operator log is told when
// writes begin to fail (with the reason) and when they work again (with a count).
// RetryPending (every timer tick) hands the kept packets on, oldest first.
//
// The file-making half of the Spool, which owns it. Thread-safe: the window thread
// writes with Write and RetryPending, the link worker with WriteOffLock, which
// holds the lock only to pick a name, never across the disk work, so the window
// thread never waits behind a write of the worker's. No lock of this object is
// held while it calls into a LinkPort.
class SpoolWriter {
 public:
  SpoolWriter(SpoolLocation location, FileSystem& fs, const Clock& clock, OperatorLog& log);
  SpoolWriter(const SpoolWriter&) = delete;
  SpoolWriter& operator=(const SpoolWriter&) = delete;

  // Writes one spool file. The file's final name once it is complete on the disk;
  // nothing when the packet was kept in memory instead (it is never dropped).
  // Packets kept earlier are written first, so files appear in the order the
  // packets came.
  std::optional<std::filesystem::path> Write(std::int32_t command, ByteView payload);

  // Called with the final name of every file this writer completes (under the
  // writer's lock: the callee must not call back into the writer). Set once,
  // before the first write.
  void SetOnWritten(std::function<void(const std::filesystem::path&)> onWritten) {
    onWritten_ = std::move(onWritten);
  }

  // Hands kept packets on, oldest first: to the link when it is online and takes
  // the packet (AddPacket), otherwise to a spool file. Stops at the first packet
  // that goes nowhere, so the order is kept. link may be null (no link yet).
  void RetryPending(LinkPort* link);

  // Write for the link worker: the same file, but the lock is held only to pick
  // its name, and kept packets are not written here (the packet joins them when
  // there are any, so the order holds; RetryPending writes them). onWritten is
  // called without the lock.
  std::optional<std::filesystem::path> WriteOffLock(std::int32_t command, ByteView payload);

  // Packets kept in memory, waiting for RetryPending.
  std::size_t PendingCount() const;
  // Writes that could not make a file since start-up (each packet kept in memory
  // counts once, when it is kept). Any thread.
  std::uint64_t WriteFailures() const { return writeFailures_.load(); }
  // One line per packet kept in memory, naming it (for the log at the end).
  std::vector<std::string> PendingDescriptions() const;

  // Once at start-up, before the first Write: temporary files left by a crash are
  // completed when they hold a whole event (renamed to a spool name), and set aside
  // otherwise (renamed to "<name>.bad", never deleted); both are reported.
  void RecoverAtStartup();

  const SpoolLocation& Location() const { return location_; }

  // From now on files are written and renamed without flushing on the caller's
  // thread; each is handed to `flusher`, which makes it durable soon after. Null:
  // each file is flushed before Write returns. Set once, before the first Write.
  void SetFlusher(GroupFlusher* flusher) { flusher_ = flusher; }

 private:
  struct Pending {
    std::uint64_t id = 0;
    std::int32_t command = 0;
    Bytes payload;
    DateTime firstTried = 0;  // names the file, so a late file still sorts by its event
    bool inFlight = false;    // being offered to the link by RetryPending
  };

  // Each of these expects mutex_ to be held.
  std::optional<std::filesystem::path> WriteFileLocked(std::int32_t command, ByteView payload,
                                                       DateTime when, std::string* attemptedName);
  bool TryWriteAs(const std::string& baseName, ByteView content, bool* nameTaken);
  void FlushPendingLocked();
  // Keeps a packet that could not be written; returns the line for the operator
  // log when the failures begin (empty otherwise).
  std::string KeepLocked(std::int32_t command, ByteView payload, DateTime when,
                         const std::string& attemptedName);
  // Marks the next free name from `candidate` on as used and returns it.
  std::uint32_t ReserveLocked(std::uint32_t candidate);

  SpoolLocation location_;
  FileSystem& fs_;
  const Clock& clock_;
  OperatorLog& log_;
  std::function<void(const std::filesystem::path&)> onWritten_;
  GroupFlusher* flusher_ = nullptr;

  mutable std::mutex mutex_;
  std::deque<Pending> pending_;
  std::uint64_t nextId_ = 1;
  // A run of names known to be used by this writer or taken by something else.
  std::uint32_t coveredFrom_ = 0;
  std::uint32_t coveredTo_ = 0;
  bool haveCovered_ = false;
  // Events that could not be written at once since the last write that worked.
  std::uint64_t failedWrites_ = 0;

  std::atomic<std::uint64_t> writeFailures_{0};
  std::mutex retryMutex_;  // one RetryPending at a time
};

}  // namespace kestrel
