#include "receiver/transmitter_table.h"

#include <stdexcept>
#include <utility>

#include "platform/rename_aside.h"

namespace kestrel {

namespace {

constexpr TransmitterId kIdMask = 0xFFFFFF;
constexpr std::uint8_t kInitialStatus2 = 132;
// How many names num.mmm.unreadable, num.mmm.unreadable.2, ... are tried.
constexpr int kAsideNames = 100;

}  // namespace

TransmitterTable::TransmitterTable(std::filesystem::path file, FileSystem& fs, const Clock& clock,
                                   OperatorLog& log)
    : file_(std::move(file)), fs_(fs), clock_(clock), log_(log) {}

std::string TransmitterTable::FileName() const { return file_.filename().string(); }

void TransmitterTable::LoadTable() {
  ReadImage();
  if (observer_ != nullptr) observer_->TableLoaded();
}

void TransmitterTable::ReadImage() {
  image_.clear();
  index_.clear();
  needsFullSave_ = false;
  unreadablePending_ = false;
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
    if (!fs_.Truncate(file_, image_.size())) needsFullSave_ = true;
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
  SaveChange(position);
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

void TransmitterTable::SaveChange(TablePosition position) {
  bool ok = true;
  if (unreadablePending_) ok = MoveUnreadableAside();
  if (ok) {
    // Only the 16 changed bytes are written, in place (a new record at the end is a
    // whole-record position too). A killed process therefore leaves every complete
    // record valid. After a failure, or when the file has gone, the whole image
    // replaces the file through a temporary file.
    if (needsFullSave_ || !fs_.Exists(file_)) {
      ok = fs_.Replace(file_, image_);
    } else {
      ok = fs_.WriteAt(file_, position, ByteView(image_.data() + position, kTransmitterRecordSize),
                       /*durable=*/false);
    }
  }
  if (ok) {
    needsFullSave_ = false;
    if (saveFailing_) {
      saveFailing_ = false;
      log_.Report("Таблица передатчиков (" + FileName() + ") снова сохраняется.");
    }
    return;
  }
  needsFullSave_ = true;
  if (!saveFailing_) {
    saveFailing_ = true;
    log_.Report("Не удалось сохранить таблицу передатчиков (" + FileName() + ").");
  }
}

}  // namespace kestrel
