#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>

#include "platform/after_durable_queue.h"
#include "platform/bytes.h"
#include "platform/clock.h"
#include "platform/date_time.h"
#include "platform/file_system.h"
#include "platform/operator_log.h"
#include "receiver/receiver_frame.h"
#include "receiver/transmitter_record.h"

namespace kestrel {

// A record's position is its byte offset in the image (16 × its index).
using TablePosition = std::size_t;

// Told of every change of a table's image, once it has been made, on the table's
// thread. Must not change the table from inside a call.
class TableObserver {
 public:
  virtual ~TableObserver() = default;
  // The image was read anew (LoadTable): any record may have changed.
  virtual void TableLoaded() = 0;
  // The record at `position` was stored (WriteBack; `before` is what it held) or
  // appended (FindOrAdd; no `before`).
  virtual void RecordStored(TablePosition position, const TransmitterRecord* before,
                            const TransmitterRecord& after) = 0;
};

struct FoundTransmitter {
  TransmitterRecord record;
  TablePosition position = 0;
  bool added = false;  // true when this call appended the record
};

class TableFileWriter;

// Every transmitter ever heard, in the order first heard: the in-memory image of
// num.mmm, byte for byte. Lookups go through an index (first record of an id
// wins), and saves write only what changed, on the file kept open, so the cost of
// one report does not grow with the table. Used on the window thread only.
//
// Write-behind: given an AfterDurableQueue, the changed records reach num.mmm as
// that queue's jobs, after the event files handed over before them, and are then
// flushed; the window thread never waits for the disk, and num.mmm on stable
// storage never claims a status whose events could still be lost. A record added
// by FindOrAdd goes with the next WriteBack (the report's own, after its events).
// Without a queue each change is written at once on the caller's thread, unflushed.
class TransmitterTable {
 public:
  TransmitterTable(std::filesystem::path file, FileSystem& fs, const Clock& clock, OperatorLog& log,
                   AfterDurableQueue* writeBehind = nullptr);
  ~TransmitterTable();
  TransmitterTable(const TransmitterTable&) = delete;
  TransmitterTable& operator=(const TransmitterTable&) = delete;

  // Reads num.mmm once at start-up. Missing: the table stays empty. A length that
  // is not a multiple of 16 keeps the whole records. A file that cannot be read is
  // renamed aside (num.mmm.unreadable) and the table starts empty. Both are reported.
  void LoadTable();

  // Finds the first record of the id, or appends a new one (initial values:
  // Status1 0, Status2 132, LastHeard now, NoTestFlag 0, SerialNo one more than the
  // last record's, modulo 65536, 1 in an empty table) and saves it. A failed save
  // is reported and retried with the next change and on the tick (RetryFailedSave);
  // the record is returned all the same.
  FoundTransmitter FindOrAdd(TransmitterId id);

  // Stores the record at its position and saves the change. A failed save is
  // handled as in FindOrAdd. Throws std::out_of_range when the position is not that
  // of a record in the table (a fault of the caller).
  void WriteBack(TablePosition position, const TransmitterRecord& record);

  std::size_t Count() const { return image_.size() / kTransmitterRecordSize; }
  // The record at a position (16 × its index). Records may be visited in image
  // order by index 0..Count()-1, with WriteBack allowed in between. Throws
  // std::out_of_range for a position that is not that of a record.
  TransmitterRecord RecordAt(TablePosition position) const;
  static TablePosition PositionOf(std::size_t index) { return index * kTransmitterRecordSize; }
  // The position FindOrAdd would return for the id, if any.
  std::optional<TablePosition> Find(TransmitterId id) const;
  const Bytes& Image() const { return image_; }
  const std::filesystem::path& File() const { return file_; }
  // True from a failed save until the next successful one. With write-behind, as
  // far as the saves that have run tell.
  bool SaveFailing() const;
  // Every tick: after a failed save the whole table is written again (with
  // write-behind, as one job of that queue, never more than one waiting).
  void RetryFailedSave();
  // At stop, once the write-behind queue has run dry: a failed save is tried once
  // more on the caller's thread. False (and reported) when the table is not saved.
  bool SaveAtStop();
  // One observer at most; nullptr removes it.
  void SetObserver(TableObserver* observer) { observer_ = observer; }

 private:
  void ReadImage();
  void CheckPosition(TablePosition position) const;
  void RebuildIndex();
  // Brings the file up to date after the 16 bytes at `position` changed: at once,
  // or (write-behind) with the next scheduled save when `schedule` is false.
  void SaveChange(TablePosition position, bool schedule = true);
  bool MoveUnreadableAside();
  std::string FileName() const;

  std::filesystem::path file_;
  FileSystem& fs_;
  const Clock& clock_;
  OperatorLog& log_;
  AfterDurableQueue* writeBehind_;
  Bytes image_;
  std::unordered_map<TransmitterId, TablePosition> index_;
  // num.mmm could not be read at start-up and is still to be renamed aside; nothing
  // is saved over it until that has been done.
  bool unreadablePending_ = false;
  // Writes num.mmm; shared with the jobs that the write-behind queue holds.
  std::shared_ptr<TableFileWriter> writer_;
  TableObserver* observer_ = nullptr;
};

}  // namespace kestrel
