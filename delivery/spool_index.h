#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <tuple>
#include <vector>

#include "delivery/spool_location.h"
#include "platform/bytes.h"
#include "platform/file_system.h"

namespace kestrel {

// What the program knows of its spool folder, kept in memory so that taking the
// next file costs the same with 100 files waiting as with 100 000. Every spool
// file on disk is an event the server has not acknowledged yet.
//
// The folder is listed once at start-up (Rescan); after that the writer reports
// each file it makes (Add) and the worker each file it deletes (Acknowledge). A
// rescan now and then picks up files copied in by hand and forgets files removed
// behind the program's back; a file that vanished is also forgotten when it is
// found missing.
//
// Per file: the order of its last hand-over to the link (the least recently
// handed over goes first; never handed over goes before any that was, oldest
// first by time of writing), "in flight" (queued or waiting for its reply: never
// offered twice at once), the tick before which it must not be offered again
// (after an answer other than cmdEventAck: 3 s, doubling with each such answer up
// to 5 min), read failures in a row, and files settled for the run (acknowledged
// but undeletable, or bad and not renamable).
//
// Shared by the window thread and the link worker: every member takes the mutex.
class SpoolIndex {
 public:
  // The first retry delay of a file turned away; each further one doubles it, up
  // to kLongestRetryMs.
  static constexpr std::uint32_t kRetryAfterMs = 3000;
  static constexpr std::uint32_t kLongestRetryMs = 300000;
  static constexpr int kDelayLevels = 8;  // 3, 6, 12, 24, 48, 96, 192 s and 5 min
  // The delay of a file's n-th deferral (n from 1).
  static constexpr std::uint32_t RetryDelayMs(int n) {
    std::uint32_t d = kRetryAfterMs;
    for (int i = 1; i < n && d < kLongestRetryMs; ++i) d *= 2;
    return d < kLongestRetryMs ? d : kLongestRetryMs;
  }

  explicit SpoolIndex(SpoolLocation location);

  const SpoolLocation& Location() const { return location_; }

  // Lists the folder and brings the index in line with it: new spool files are
  // added (oldest first by modification time, then name), files that are gone are
  // forgotten unless in flight. Files added while the listing ran are kept.
  // Returns false when the folder could not be listed (nothing changes then).
  bool Rescan(FileSystem& files);

  // A file the program has just written, waiting to be handed over. A known name
  // (a new file under a name used before) starts afresh.
  void Add(const std::filesystem::path& file);

  // Marks a file in flight for a live hand-over. False when it is not waiting
  // (already in flight, settled or unknown): the caller must not offer it then.
  bool Claim(const std::filesystem::path& file);

  // The next file for the link at tick `now`, marked in flight; nothing when no
  // file may go now.
  std::optional<std::filesystem::path> TakeNext(std::uint32_t now);

  // The file is no longer in flight. With `retryFrom`, it may not go before more
  // than kRetryAfterMs after that tick (no answer came, or it could not be read).
  void Release(const std::filesystem::path& file,
               std::optional<std::uint32_t> retryFrom = std::nullopt);
  // The server turned the in-flight file away at tick `from`: released, and not to
  // go before more than its retry delay after it: 3 s the first time, twice the
  // last each time after, up to 5 min. True the first time for this file (tell
  // the operator once), false after.
  bool Refuse(const std::filesystem::path& file, std::uint32_t from);
  // The link went down: nothing is in flight any more.
  void ReleaseAll();

  enum class AckOutcome {
    Deleted,           // the file was deleted and forgotten
    Missing,           // no such file any more; forgotten
    NotTheSameFile,    // a file of that name holds other content now; left alone
    Undeletable,       // could not be deleted: settled for the run (reported by the
                       // caller; returned once per file)
    AlreadyDelivered,  // an earlier acknowledgement settled it already
  };
  // The server acknowledged the block that carried `file`, whose content was
  // `content` (4-byte command + payload): checked, deleted and forgotten together.
  AckOutcome Acknowledge(FileSystem& files, const std::filesystem::path& file, ByteView content);

  // The file is gone from under its name (vanished, or set aside as .bad).
  void Forget(const std::filesystem::path& file);
  // Never handed over again in this run (bad and could not be renamed).
  void Settle(const std::filesystem::path& file);
  // Counts one more failed read in a row; returns the count. Success resets it.
  int NoteReadFailure(const std::filesystem::path& file);
  void NoteReadSuccess(const std::filesystem::path& file);

  // Files on disk not yet acknowledged (settled ones excepted).
  std::size_t Waiting() const;
  // Of those, the ones not in flight: the backlog.
  std::size_t Backlog() const;
  // How long until TakeNext may give a file at tick `now`: 0 when one may go now,
  // nothing when none waits (files turned away wait out their retry delay).
  std::optional<std::uint32_t> NextDueInMs(std::uint32_t now) const;
  // Files acknowledged and deleted since start-up.
  std::uint64_t Delivered() const;
  // For tests: whether the file is known, in flight, settled.
  bool Knows(const std::filesystem::path& file) const;
  bool InFlight(const std::filesystem::path& file) const;
  bool IsSettled(const std::filesystem::path& file) const;

 private:
  struct Entry {
    std::uint64_t order = 0;  // last hand-over; 0: never handed over
    std::uint64_t seq = 0;    // when it became known, in the order of writing
    std::uint64_t generation = 0;
    bool inFlight = false;
    bool settled = false;
    bool deferred = false;
    int refusals = 0;            // times turned away: picks the retry delay
    std::uint64_t deferral = 0;  // the current deferral's number
    int readFailures = 0;
  };
  using Key = std::tuple<std::uint64_t, std::uint64_t, std::filesystem::path>;
  static Key KeyOf(const std::filesystem::path& file, const Entry& e) {
    return {e.order, e.seq, file};
  }

  // Each expects mutex_ to be held.
  void AddLocked(const std::filesystem::path& file);
  void EraseLocked(std::map<std::filesystem::path, Entry>::iterator it);
  void MakeReadyLocked(const std::filesystem::path& file, Entry& e);
  void PromoteDueLocked(std::uint32_t now);

  SpoolLocation location_;
  mutable std::mutex mutex_;
  std::map<std::filesystem::path, Entry> entries_;
  std::set<Key> ready_;  // waiting, not in flight, not deferred
  // Files answered otherwise, one list per retry delay, each in the order of the
  // answers (so in tick order, and in order of falling due).
  struct Deferral {
    std::uint32_t from;
    std::filesystem::path file;
    std::uint64_t seq;       // the entry's seq and deferral number at deferral: a
    std::uint64_t deferral;  // stale deferral is skipped
  };
  // Expects mutex_ held and the entry in flight.
  void DeferLocked(const std::filesystem::path& file, Entry& e, std::uint32_t from, int level);
  std::array<std::deque<Deferral>, kDelayLevels> deferred_;
  std::uint64_t nextOrder_ = 1;
  std::uint64_t nextSeq_ = 1;
  std::uint64_t nextDeferral_ = 1;
  std::uint64_t generation_ = 0;
  std::size_t settledCount_ = 0;
  std::size_t inFlightCount_ = 0;
  std::uint64_t delivered_ = 0;
};

}  // namespace kestrel
