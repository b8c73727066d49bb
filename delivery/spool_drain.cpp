#include "delivery/spool_drain.h"

#include <utility>

#include "delivery/commands.h"
#include "delivery/event_record.h"
#include "delivery/spool_file_format.h"
#include "platform/rename_aside.h"

namespace kestrel {

namespace {

constexpr int kSetAsideNames = 1000;

std::string Display(const std::filesystem::path& p) { return p.filename().string(); }

}  // namespace

SpoolDrain::SpoolDrain(SpoolIndex& index, FileSystem& files, const Clock& clock, OperatorLog& log)
    : index_(index), files_(files), clock_(clock), log_(log) {}

void SpoolDrain::Rescan() {
  std::lock_guard lock(rescanMutex_);
  lastRescan_ = clock_.TickMs();
  index_.Rescan(files_);
}

void SpoolDrain::Maintain() {
  {
    std::lock_guard lock(rescanMutex_);
    if (static_cast<std::uint32_t>(clock_.TickMs() - lastRescan_) < kRescanMs) return;
  }
  Rescan();
}

std::optional<SpoolPacket> SpoolDrain::TakeNext() {
  for (int tries = 0; tries < kFilesPerTake; ++tries) {
    const std::uint32_t now = clock_.TickMs();
    const std::optional<std::filesystem::path> next = index_.TakeNext(now);
    if (!next) return std::nullopt;
    const std::filesystem::path& path = *next;

    const std::optional<Bytes> content = files_.ReadAll(path);
    if (!content) {
      if (!files_.Exists(path)) {
        index_.Forget(path);  // gone behind our back
      } else if (!files_.IsRegularFile(path)) {
        // A link, a folder or anything else the driver never writes: never read
        // through, never sent.
        SetAside(path, "не файл");
      } else if (index_.NoteReadFailure(path) >= kReadFailuresToSetAside) {
        SetAside(path, "файл не читается");
      } else {
        index_.Release(path, now);  // tried again later
      }
      continue;
    }
    index_.NoteReadSuccess(path);
    if (content->size() < kMinFileSize || content->size() > kMaxFileSize) {
      // A folder, or anything else that is not a plain file, reads as nothing too.
      SetAside(path, "размер " + std::to_string(content->size()) + " байт");
      continue;
    }
    SpoolPacket packet;
    packet.command = static_cast<std::int32_t>(GetU32(content->data()));
    packet.payload.assign(content->begin() + 4, content->end());
    packet.file = path;
    if (packet.command == cmdEvent && packet.payload.size() != kEventRecordSize) {
      SetAside(path, "длина события " + std::to_string(packet.payload.size()) + " байт");
      continue;
    }
    return packet;
  }
  return std::nullopt;
}

void SpoolDrain::SetAside(const std::filesystem::path& file, const std::string& reasonUtf8) {
  const AsideResult r = RenameAside(files_, file, {".bad", "", 1, kSetAsideNames});
  if (r.outcome == AsideResult::Outcome::Renamed) {
    index_.Forget(file);
    Report("Файл очереди " + Display(file) + " не отправлен на сервер (" + reasonUtf8 +
           ") и отложен как " + Display(r.aside) + ".");
  } else {
    index_.Settle(file);
    Report("Файл очереди " + Display(file) + " не отправлен на сервер (" + reasonUtf8 +
           ") и не может быть переименован; он пропускается до перезапуска.");
  }
}

void SpoolDrain::DrainSpool() {
  const std::size_t backlog = index_.Backlog();
  const std::uint32_t now = clock_.TickMs();
  if (!backlogShown_) {
    if (backlog == 0) return;
    backlogShown_ = true;
    backlogSince_ = now;
    deliveredBefore_ = index_.Delivered();
    backlogPeak_ = backlog;
    Tell("События ждут отправки на сервер в файлах на диске: " + std::to_string(backlog) + ".");
    return;
  }
  if (backlog > backlogPeak_) backlogPeak_ = backlog;
  if (backlog > 0) return;
  backlogShown_ = false;
  const std::uint64_t sent = index_.Delivered() - deliveredBefore_;
  const std::uint32_t seconds = static_cast<std::uint32_t>(now - backlogSince_) / 1000;
  Tell("События с диска переданы на сервер: " + std::to_string(sent) + " за " +
       std::to_string(seconds) + " с (наибольшая очередь " + std::to_string(backlogPeak_) + ").");
}

void SpoolDrain::Tell(const std::string& line) {
  try {
    log_.Notice(line);  // a change of state, not a failure
  } catch (...) {
  }
}

void SpoolDrain::Report(const std::string& line) {
  try {
    log_.Report(line);
  } catch (...) {
  }
}

}  // namespace kestrel
