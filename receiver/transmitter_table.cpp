#include "receiver/transmitter_table.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <mutex>
#include <stdexcept>
#include <utility>
#include <vector>

#include "platform/rename_aside.h"

namespace kestrel {

namespace {

constexpr TransmitterId kIdMask = 0xFFFFFF;
constexpr std::uint8_t kInitialStatus2 = 132;
// How many names num.mmm.unreadable, num.mmm.unreadable.2, ... are tried.
constexpr int kAsideNames = 100;

}  // namespace

// Keeps num.mmm in step with the table. The window thread stages each changed
// record (a copy of its 16 bytes, numbered); a save, on whatever thread runs it,
// applies the staged records up to a number to its own copy of the image and
// writes them in place on the file it keeps open, then flushes the data. A save
// that fails, a file removed, replaced or cut short behind the driver's back (told
// by the name no longer leading to the open file, or by a size other than the one
// last written) or a file that was not trusted is replaced whole from that copy
// through a temporary file: never written with holes. Staging never waits for a
// save.
class TableFileWriter {
 public:
  TableFileWriter(std::filesystem::path file, FileSystem& fs, OperatorLog& log, bool flush)
      : file_(std::move(file)),
        name_(file_.filename().string()),
        fs_(fs),
        log_(log),
        flush_(flush) {}

  // At load, before any save: the image the file holds.
  void Reset(const Bytes& image, bool needsFullSave) {
    std::lock_guard write(writeMutex_);
    {
      std::lock_guard stage(stageMutex_);
      staged_.clear();
    }
    copy_ = image;
    fileSize_ = image.size();
    openFile_.reset();
    needsFullSave_ = needsFullSave;
    lastMayWrite_ = true;
    // Held open from now on: a file put in its place later is told by its identity.
    if (!needsFullSave_) openFile_ = fs_.OpenForUpdate(file_);
  }

  // mayWrite false: num.mmm is not ours to write yet (unreadable, not set aside).
  std::uint64_t Stage(TablePosition position, const std::uint8_t* record, bool mayWrite) {
    Change c;
    c.position = position;
    std::copy_n(record, kTransmitterRecordSize, c.bytes.begin());
    c.mayWrite = mayWrite;
    std::lock_guard stage(stageMutex_);
    c.seq = nextSeq_++;
    staged_.push_back(c);
    return c.seq;
  }

  void SaveUpTo(std::uint64_t seq) {
    std::lock_guard write(writeMutex_);
    // The staged list is taken whole (the window thread never waits for a copy);
    // changes staged after `seq` go back in front of any staged meanwhile.
    std::vector<Change> changes;
    {
      std::lock_guard stage(stageMutex_);
      changes.swap(staged_);
    }
    const auto later = std::find_if(changes.begin(), changes.end(),
                                    [seq](const Change& c) { return c.seq > seq; });
    if (later != changes.end()) {
      std::lock_guard stage(stageMutex_);
      staged_.insert(staged_.begin(), later, changes.end());
      changes.erase(later, changes.end());
    }
    if (changes.empty()) return;
    std::vector<TablePosition> dirty;
    dirty.reserve(changes.size());
    for (const Change& c : changes) {
      if (copy_.size() < c.position + kTransmitterRecordSize) {
        copy_.resize(c.position + kTransmitterRecordSize);
      }
      std::copy(c.bytes.begin(), c.bytes.end(), copy_.begin() + c.position);
      dirty.push_back(c.position);
    }
    lastMayWrite_ = changes.back().mayWrite;
    bool ok = lastMayWrite_;
    if (ok) ok = Write(dirty);
    if (!ok) {
      needsFullSave_ = true;
      openFile_.reset();
    } else {
      needsFullSave_ = false;
    }
    Outcome(ok);
  }

  bool Failing() const {
    std::lock_guard lock(stateMutex_);
    return failing_;
  }

  // After a failed save: the whole copy is written again. Nothing is done while
  // saves succeed, or while the file is not ours to write.
  void RetryFailed() {
    std::lock_guard write(writeMutex_);
    retryQueued_.store(false);
    if (!Failing() || !lastMayWrite_) return;
    std::vector<TablePosition> none;
    needsFullSave_ = true;
    const bool ok = Write(none);
    needsFullSave_ = !ok;
    if (!ok) openFile_.reset();
    Outcome(ok);
  }

  // True when the caller is to queue a retry: none waits yet.
  bool MarkRetryQueued() { return !retryQueued_.exchange(true); }
  const void* RetryKey() const { return &retryQueued_; }

 private:
  struct Change {
    std::uint64_t seq = 0;
    TablePosition position = 0;
    std::array<std::uint8_t, kTransmitterRecordSize> bytes{};
    bool mayWrite = true;
  };

  bool Write(std::vector<TablePosition>& dirty) noexcept {
    if (!needsFullSave_) {
      if (!openFile_) openFile_ = fs_.OpenForUpdate(file_);
      // One look per save (not per record): the name must still lead to the open
      // file, and the file must be as long as it was left.
      if (!openFile_) {
        needsFullSave_ = true;  // missing, or no file we may write
      } else if (!openFile_->IsStillAt(file_) ||
                 openFile_->Size() != std::optional<std::uint64_t>(fileSize_)) {
        TellChangedOutside();
        needsFullSave_ = true;
      }
    }
    if (needsFullSave_) {
      openFile_.reset();
      if (!fs_.Replace(file_, copy_)) return false;  // Replace flushes by itself
      fileSize_ = copy_.size();
      openFile_ = fs_.OpenForUpdate(file_);  // none: the next save replaces again
      return true;
    }
    std::sort(dirty.begin(), dirty.end());
    dirty.erase(std::unique(dirty.begin(), dirty.end()), dirty.end());
    for (const TablePosition pos : dirty) {
      if (!openFile_->WriteAt(pos, ByteView(copy_.data() + pos, kTransmitterRecordSize))) {
        return false;
      }
    }
    fileSize_ = copy_.size();
    return !flush_ || openFile_->Sync();
  }

  void TellChangedOutside() noexcept {
    ReportJoined(log_, {"Файл таблицы передатчиков (", name_,
                        ") заменён, укорочен или удалён не драйвером; он записывается заново "
                        "из таблицы в памяти."});
  }

  void Outcome(bool ok) noexcept {
    bool tellFailure = false;
    bool tellRecovery = false;
    {
      std::lock_guard lock(stateMutex_);
      tellFailure = !ok && !failing_;
      tellRecovery = ok && failing_;
      failing_ = !ok;
    }
    if (tellFailure)
      ReportJoined(log_, {"Не удалось сохранить таблицу передатчиков (", name_, ")."});
    if (tellRecovery) ReportJoined(log_, {"Таблица передатчиков (", name_, ") снова сохраняется."});
  }

  const std::filesystem::path file_;
  const std::string name_;  // of the file, for the operator
  FileSystem& fs_;
  OperatorLog& log_;
  const bool flush_;

  std::mutex stageMutex_;  // held only for moments: the window thread takes it
  std::vector<Change> staged_;
  std::uint64_t nextSeq_ = 1;

  std::mutex writeMutex_;  // one save at a time; guards the members below
  Bytes copy_;             // the image as of the last change applied
  std::unique_ptr<UpdatableFile> openFile_;
  std::uint64_t fileSize_ = 0;  // the file's length as last written (or read)
  bool needsFullSave_ = false;
  bool lastMayWrite_ = true;
  std::atomic<bool> retryQueued_{false};

  mutable std::mutex stateMutex_;
  bool failing_ = false;
};

TransmitterTable::TransmitterTable(std::filesystem::path file, FileSystem& fs, const Clock& clock,
                                   OperatorLog& log, AfterDurableQueue* writeBehind)
    : file_(std::move(file)),
      fs_(fs),
      clock_(clock),
      log_(log),
      writeBehind_(writeBehind),
      writer_(std::make_shared<TableFileWriter>(file_, fs, log, writeBehind != nullptr)) {}

TransmitterTable::~TransmitterTable() = default;

bool TransmitterTable::SaveFailing() const { return writer_->Failing(); }

void TransmitterTable::RetryFailedSave() {
  if (!writer_->Failing()) return;
  if (writeBehind_ == nullptr) {
    writer_->RetryFailed();
    return;
  }
  // One retry waits in the queue at most; it follows the event files before it.
  if (!writer_->MarkRetryQueued()) return;
  std::shared_ptr<TableFileWriter> writer = writer_;
  writeBehind_->AfterDurable(writer->RetryKey(), [writer] { writer->RetryFailed(); });
}

bool TransmitterTable::SaveAtStop() {
  writer_->RetryFailed();
  if (!writer_->Failing()) return true;
  log_.Report("Таблица передатчиков (" + FileName() + ") не сохранена при остановке: " +
              std::to_string(Count()) + " передатчиков в памяти не записаны на диск.");
  return false;
}

std::string TransmitterTable::FileName() const { return file_.filename().string(); }

void TransmitterTable::LoadTable() {
  ReadImage();
  if (observer_ != nullptr) observer_->TableLoaded();
}

void TransmitterTable::ReadImage() {
  image_.clear();
  index_.clear();
  unreadablePending_ = false;
  // Until the file has been read, nothing of it is trusted: a first save writes it whole.
  writer_->Reset(image_, true);
  if (!fs_.Exists(file_)) return;

  std::optional<Bytes> content = fs_.ReadAll(file_);
  if (!content) {
    // Never save over a table that could not be read: it goes aside first.
    unreadablePending_ = true;
    if (!MoveUnreadableAside()) {
      log_.Report("Не удалось прочитать файл таблицы передатчиков (" + FileName() +
                  ") и переименовать его. Таблица не будет сохраняться, пока файл не "
                  "удастся переименовать.");
    }
    return;
  }

  image_ = std::move(*content);
  const std::size_t extra = image_.size() % kTransmitterRecordSize;
  if (extra != 0) {
    // The tail of a record that was never completely written: keep the whole records,
    // and cut the file to match so later records land at whole-record positions.
    image_.resize(image_.size() - extra);
    log_.Report("Длина таблицы передатчиков (" + FileName() + ") не кратна " +
                std::to_string(kTransmitterRecordSize) + " байтам: последние " +
                std::to_string(extra) + " байт отброшены.");
    writer_->Reset(image_, !fs_.Truncate(file_, image_.size()));
  } else {
    writer_->Reset(image_, false);
  }
  RebuildIndex();
}

bool TransmitterTable::MoveUnreadableAside() {
  const AsideResult r = RenameAside(fs_, file_, {".unreadable", ".", 2, kAsideNames});
  switch (r.outcome) {
    case AsideResult::Outcome::Renamed:
      unreadablePending_ = false;
      log_.Report("Не удалось прочитать таблицу передатчиков (" + FileName() +
                  "). Файл переименован в " + r.aside.filename().string() +
                  ", таблица начата заново.");
      return true;
    case AsideResult::Outcome::SourceGone:
      // Gone meanwhile: nothing is left to protect.
      unreadablePending_ = false;
      return true;
    case AsideResult::Outcome::Failed:
      break;
  }
  return false;
}

void TransmitterTable::RebuildIndex() {
  index_.clear();
  index_.reserve(Count());
  for (std::size_t pos = 0; pos < image_.size(); pos += kTransmitterRecordSize) {
    const TransmitterRecord r = DecodeTransmitterRecord(image_.data() + pos);
    index_.emplace(r.Id(), pos);  // the first record of an id wins
  }
}

void TransmitterTable::CheckPosition(TablePosition position) const {
  if (position % kTransmitterRecordSize != 0 || position >= image_.size()) {
    throw std::out_of_range("transmitter table: no record at position " + std::to_string(position));
  }
}

TransmitterRecord TransmitterTable::RecordAt(TablePosition position) const {
  CheckPosition(position);
  return DecodeTransmitterRecord(image_.data() + position);
}

std::optional<TablePosition> TransmitterTable::Find(TransmitterId id) const {
  const auto it = index_.find(id & kIdMask);
  if (it == index_.end()) return std::nullopt;
  return it->second;
}

FoundTransmitter TransmitterTable::FindOrAdd(TransmitterId id) {
  id &= kIdMask;
  if (const auto it = index_.find(id); it != index_.end()) {
    return {RecordAt(it->second), it->second, false};
  }

  TransmitterRecord r;
  r.IdLow = static_cast<std::uint8_t>(id);
  r.IdMid = static_cast<std::uint8_t>(id >> 8);
  r.IdHigh = static_cast<std::uint8_t>(id >> 16);
  r.SerialNo = 1;
  if (!image_.empty()) {
    const std::uint16_t last =
        RecordSerialNo(image_.data() + image_.size() - kTransmitterRecordSize);
    r.SerialNo = static_cast<std::uint16_t>(last + 1);  // 65535 is followed by 0
  }
  r.Status1 = 0;
  r.Status2 = kInitialStatus2;
  r.LastHeard = clock_.Now();
  r.NoTestFlag = 0;

  const TablePosition position = image_.size();
  image_.resize(position + kTransmitterRecordSize);
  EncodeTransmitterRecord(r, image_.data() + position);
  index_.emplace(id, position);
  // With write-behind the new record waits for the report's WriteBack, which comes
  // after the report's events.
  SaveChange(position, /*schedule=*/false);
  if (observer_ != nullptr) observer_->RecordStored(position, nullptr, r);
  return {r, position, true};
}

void TransmitterTable::WriteBack(TablePosition position, const TransmitterRecord& record) {
  CheckPosition(position);
  const TransmitterRecord before = DecodeTransmitterRecord(image_.data() + position);
  EncodeTransmitterRecord(record, image_.data() + position);
  // The event rules write back the record they were given, so its id stays. Should
  // it change all the same, the index is built afresh to stay true to the image.
  if (record.Id() != before.Id()) RebuildIndex();
  SaveChange(position);
  if (observer_ != nullptr) observer_->RecordStored(position, &before, record);
}

void TransmitterTable::SaveChange(TablePosition position, bool schedule) {
  bool mayWrite = true;
  if (unreadablePending_) mayWrite = MoveUnreadableAside();
  const std::uint64_t seq = writer_->Stage(position, image_.data() + position, mayWrite);
  if (writeBehind_ == nullptr) {
    writer_->SaveUpTo(seq);
    return;
  }
  if (!schedule) return;
  // A later job of the table covers every change staged before it.
  std::shared_ptr<TableFileWriter> writer = writer_;
  writeBehind_->AfterDurable(writer.get(), [writer, seq] { writer->SaveUpTo(seq); });
}

}  // namespace kestrel
