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
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "delivery/link_port.h"
#include "delivery/spool_file_format.h"
#include "delivery/spool_location.h"
#include "delivery/spool_writer.h"
#include "platform/bytes.h"
#include "platform/clock.h"
#include "platform/file_system.h"
#include "platform/group_flusher.h"
#include "platform/operator_log.h"

namespace kestrel {

// Where a spool file is in its life. Every file the spool knows is in exactly one
// of these states; a file it does not know (never seen, or forgotten) has none.
//
//          Append, Rescan, Recover
//                    |
//                    v
//              +-----------+     Claim, TakeNext     +-----------+
//              |  Waiting  | ----------------------> | InFlight  |
//              |           | <---------------------- |           |
//              +-----------+   Release, LinkDown,    +-----------+
//                    ^         Acknowledged but the    |   |   |
//                    |         name holds another      |   |   |  Acknowledged: deleted
//         delay over |         event now               |   |   +--------> (forgotten)
//         (TakeNext) |                                 |   |     (or found missing)
//              +-----------+   Refused: 3 s doubling   |   |
//              |  Deferred | <-----------------------+   |
//              +-----------+   to 5 min, told once;        |  Acknowledged but undeletable;
//                              RetryLater: 3 s (no         |  bad and not renamable
//                              reply, unreadable)          v
//                                                      +-----------+
//                                                      |  Settled  |  until a restart
//                                                      +-----------+
//
// Claim also takes a Deferred file straight to InFlight. A file TakeNext finds bad
// is renamed aside (.bad) and forgotten, or Settled when it cannot be renamed. From
// any state but InFlight a file is forgotten when it vanishes from the folder
// (Rescan, TakeNext). Append under a known name (names repeat) starts a new life:
// Waiting. A file appears whole or not at all (SpoolWriter); the flusher
// makes it durable soon after, and the state does not wait for that.
enum class SpoolFileState {
  Waiting,   // on disk, may go to the link now
  InFlight,  // handed to the link: queued, or written and awaiting its reply
  Deferred,  // turned away or not answered: waits out its retry delay
  Settled,   // left alone for the rest of the run
};

// One spool file read for the link: its command, its payload and the file itself,
// which stays on disk until the server acknowledges the block that carries it.
struct SpoolPacket {
  std::int32_t command = 0;
  Bytes payload;
  std::filesystem::path file;
};

// Delivery's one way to its spool files (.dd8): every event is in a file from the
// moment it is raised until the server acknowledges its own block. The spool
// writes the files (through SpoolWriter, keeping in memory what the disk refuses),
// knows where each file is in its life (SpoolFileState), hands the link the next
// file to send and deletes a file when its acknowledgement comes.
//
// Order of TakeNext: the file least recently handed over goes first, the oldest
// (by time of writing) among those never handed over, so one file the server never
// acknowledges cannot hold back the rest; each take costs O(log n) whatever the
// number of files waiting. The folder is listed at start-up and again every
// kRescanMs (Maintain), which finds files copied in by hand and forgets files
// removed behind the program's back.
//
// A file that is not a regular file, is shorter than 4 bytes or longer than 64 KiB,
// cannot be read three tries in a row, or holds an event whose record is not 19
// bytes, is renamed aside (".bad") and reported once; it is never deleted.
//
// Threads: the window thread appends, claims, retries kept events and reports the
// backlog; the link worker takes, acknowledges, refuses and releases. The states
// sit under one mutex that is never held while the disk is asked, and the worker's
// own writes (AppendFromLink) hold the writer's lock only to pick a name, so the
// window thread never waits for the worker's disk work.
class Spool {
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
  static constexpr std::uint64_t kMinFileSize = kSpoolCommandSize;
  static constexpr std::uint64_t kMaxFileSize = 64 * 1024;
  static constexpr int kReadFailuresToSetAside = 3;
  // Files tried per call of TakeNext before it gives up for the step.
  static constexpr int kFilesPerTake = 8;
  // How often the folder is listed again for files copied in by hand.
  static constexpr std::uint32_t kRescanMs = 60000;

  // flusher: makes written files durable off the caller's thread; null: each file
  // is flushed before Append returns.
  Spool(SpoolLocation location, FileSystem& files, const Clock& clock, OperatorLog& log,
        GroupFlusher* flusher = nullptr);
  Spool(const Spool&) = delete;
  Spool& operator=(const Spool&) = delete;

  const SpoolLocation& Location() const { return writer_.Location(); }

  // --- start-up and upkeep ---
  // Once, before the first Append: temporary files a crash left are completed or
  // set aside (SpoolWriter::RecoverAtStartup), then the folder is listed.
  void Recover();
  // Lists the folder now and brings the states in line with it: new spool files
  // become Waiting (oldest first by modification time, then name), files that are
  // gone are forgotten unless in flight. Files that became known while the listing
  // ran are kept. False when the folder could not be listed (nothing changes).
  bool Rescan();
  // Lists the folder again when kRescanMs have passed since the last listing (the
  // worker, every step).
  void Maintain();

  // --- the window thread ---
  // A new event: its file is written and Waiting; its final name is returned.
  // Nothing when the disk refused it: kept in memory (never dropped) until
  // RetryPending writes it. Kept events are written first, so files appear in the
  // order the events came.
  std::optional<std::filesystem::path> Append(std::int32_t command, ByteView payload);
  // A live hand-over of a file just appended: Waiting (or Deferred) -> InFlight.
  // False when it is not waiting (in flight already, settled or unknown): the
  // caller must not offer it then.
  bool Claim(const std::filesystem::path& file);
  // Every tick: events kept in memory go on, oldest first: to the link when it is
  // online and takes the packet, otherwise to a file. link may be null.
  void RetryPending(LinkPort* link);
  // Every tick: tells the operator when a backlog begins and when it has cleared
  // (how many events the server took meanwhile, how long it lasted).
  void ReportBacklog();

  // --- the link worker ---
  // The next file to send at the clock's tick, read and checked: Waiting ->
  // InFlight. Nothing when no file may go now. Bad files met on the way are set
  // aside; a file that cannot be read is deferred (3 s), or set aside at the third
  // failure in a row.
  std::optional<SpoolPacket> TakeNext();
  // Handed over but not queued after all: InFlight -> Waiting.
  void Release(const std::filesystem::path& file);
  // Its block got no answer: InFlight -> Deferred, 3 s after tick `from`.
  void RetryLater(const std::filesystem::path& file, std::uint32_t from);
  // The server turned it away at tick `from`: InFlight -> Deferred for 3 s the
  // first time, twice the last each time after, up to 5 min. The operator is told
  // the first time for this file (returns true then).
  bool Refused(const std::filesystem::path& file, std::uint32_t from);
  // The link went down holding these files (queued or awaiting a reply): each is
  // Waiting again.
  void LinkDown(const std::vector<std::filesystem::path>& held);

  enum class AckOutcome {
    Deleted,           // the file was deleted and forgotten
    Missing,           // no such file any more; forgotten
    NotTheSameFile,    // a file of that name holds other content now; left alone
    Undeletable,       // could not be deleted: Settled, the operator told (once
                       // per file)
    AlreadyDelivered,  // an earlier acknowledgement settled it already
  };
  // The server acknowledged the block that carried `file` with this command and
  // payload: deleted only when the file still holds them, then forgotten.
  AckOutcome Acknowledged(const std::filesystem::path& file, std::int32_t command,
                          ByteView payload);
  // An event of the link's own that has no file (the disk refused it when it was
  // raised) and was not delivered: written to a file on the worker's thread, no
  // lock the window thread takes being held across the disk work; kept in memory
  // behind events kept already (RetryPending writes them in order).
  void AppendFromLink(std::int32_t command, ByteView payload);

  // --- counts (any thread) ---
  // Files on disk not yet acknowledged (Settled ones excepted).
  std::size_t Waiting() const;
  // Of those, the ones not in flight: the backlog.
  std::size_t Backlog() const;
  // How long until TakeNext may give a file at tick `now`: 0 when one may go now,
  // nothing when none waits (deferred files wait out their delay).
  std::optional<std::uint32_t> NextDueInMs(std::uint32_t now) const;
  // Files acknowledged and deleted (or settled undeletable) since start-up.
  std::uint64_t Delivered() const;
  // Events kept in memory, waiting for RetryPending.
  std::size_t PendingCount() const { return writer_.PendingCount(); }
  // Events that could not be written when raised, since start-up.
  std::uint64_t WriteFailures() const { return writer_.WriteFailures(); }
  // One line per event kept in memory, naming it (for the log at the end).
  std::vector<std::string> PendingDescriptions() const { return writer_.PendingDescriptions(); }
  // How long the oldest file not yet acknowledged has waited (monotonic tick);
  // nothing when none waits. Files found at start-up count from the start.
  std::optional<std::uint32_t> OldestWaitingMs() const;
  // Where the file is; nothing when the spool does not know it.
  std::optional<SpoolFileState> StateOf(const std::filesystem::path& file) const;

 private:
  struct Entry {
    SpoolFileState state = SpoolFileState::Waiting;
    std::uint64_t order = 0;  // last hand-over; 0: never handed over
    std::uint64_t seq = 0;    // when it became known, in the order of writing
    std::uint64_t generation = 0;
    int refusals = 0;            // times turned away: picks the retry delay
    std::uint64_t deferral = 0;  // the current deferral's number
    int readFailures = 0;
  };
  using Entries = std::map<std::filesystem::path, Entry>;
  using Key = std::tuple<std::uint64_t, std::uint64_t, std::filesystem::path>;
  static Key KeyOf(const std::filesystem::path& file, const Entry& e) {
    return {e.order, e.seq, file};
  }
  // Files turned away, one list per retry delay, each in the order of the answers
  // (so in tick order, and in order of falling due).
  struct Deferral {
    std::uint32_t from;
    std::filesystem::path file;
    std::uint64_t seq;       // the entry's seq and deferral number at deferral: a
    std::uint64_t deferral;  // stale deferral is skipped
  };

  // A file the writer has just completed (under the writer's lock).
  void Added(const std::filesystem::path& file);
  void SetAside(const std::filesystem::path& file, const std::string& reasonUtf8);
  std::optional<std::filesystem::path> TakeNextAt(std::uint32_t now);
  int NoteReadFailure(const std::filesystem::path& file);
  void NoteReadSuccess(const std::filesystem::path& file);
  void Forget(const std::filesystem::path& file);
  void Settle(const std::filesystem::path& file);

  // Each of these expects mutex_ to be held.
  Entry& AddLocked(const std::filesystem::path& file);
  void EraseLocked(Entries::iterator it);
  void SetStateLocked(const std::filesystem::path& file, Entry& e, SpoolFileState to);
  void DeferLocked(const std::filesystem::path& file, Entry& e, std::uint32_t from, int level);
  void PromoteDueLocked(std::uint32_t now);
  bool GoneLocked(const std::filesystem::path& file) const;

  FileSystem& files_;
  const Clock& clock_;
  OperatorLog& log_;
  SpoolWriter writer_;

  mutable std::mutex mutex_;
  Entries entries_;
  std::set<Key> ready_;  // Waiting, in the order of TakeNext
  std::array<std::deque<Deferral>, kDelayLevels> deferred_;
  std::uint64_t nextOrder_ = 1;
  std::uint64_t nextSeq_ = 1;
  std::uint64_t nextDeferral_ = 1;
  std::uint64_t generation_ = 0;
  std::size_t settledCount_ = 0;
  std::size_t inFlightCount_ = 0;
  std::uint64_t delivered_ = 0;
  // Files in the order they were written, with the tick of writing; the front is
  // dropped once it is no longer waiting (acknowledged, gone or settled).
  mutable std::deque<std::pair<std::uint32_t, std::filesystem::path>> written_;
  // While files found at start-up may still wait: the tick of the start.
  mutable std::optional<std::uint32_t> startBacklogTick_;

  std::mutex rescanMutex_;
  std::uint32_t lastRescan_ = 0;

  // Backlog report (window thread only).
  bool backlogShown_ = false;
  std::uint32_t backlogSince_ = 0;
  std::uint64_t deliveredBefore_ = 0;
  std::size_t backlogPeak_ = 0;
};

}  // namespace kestrel
