#include "delivery/spool_drain.h"

#include <algorithm>
#include <optional>
#include <set>
#include <tuple>
#include <utility>
#include <vector>

#include "delivery/commands.h"
#include "delivery/event_record.h"
#include "delivery/spool_file_format.h"
#include "platform/rename_aside.h"

namespace kestrel {

namespace {

constexpr int kSetAsideNames = 1000;

std::string Display(const std::filesystem::path& p) { return p.filename().string(); }

}  // namespace

SpoolDrain::SpoolDrain(SpoolLocation location, FileSystem& files, const Clock& clock,
                       OperatorLog& log, SpoolBookkeeping& bookkeeping)
    : location_(std::move(location)),
      files_(files),
      clock_(clock),
      log_(log),
      bookkeeping_(bookkeeping) {}

void SpoolDrain::DrainSpool() {
  if (link_ == nullptr || !link_->IsOnline()) return;
  const std::uint32_t now = clock_.TickMs();
  if (const auto last = bookkeeping_.LastSpoolSend();
      last && static_cast<std::uint32_t>(now - *last) <= kPaceMs) {
    return;
  }

  struct Candidate {
    std::uint64_t order;
    std::filesystem::file_time_type modified;
    std::string name;
    const DirEntry* entry;
  };
  const std::vector<DirEntry> entries = files_.List(location_.dir);
  std::vector<Candidate> candidates;
  std::set<std::filesystem::path> present;
  for (const DirEntry& e : entries) {
    if (!location_.IsSpoolName(e.name)) continue;
    const auto path = location_.dir / e.name;
    present.insert(path);
    if (bookkeeping_.IsSettled(path)) continue;
    candidates.push_back({bookkeeping_.HandOverOrder(path), e.modified, e.name, &e});
  }
  if (!present.empty()) bookkeeping_.ForgetAllBut(present);
  if (candidates.empty()) return;

  const auto first = std::min_element(
      candidates.begin(), candidates.end(), [](const Candidate& a, const Candidate& b) {
        return std::tie(a.order, a.modified, a.name) < std::tie(b.order, b.modified, b.name);
      });
  const DirEntry& entry = *first->entry;
  const auto path = location_.dir / entry.name;

  if (!entry.regular) {
    SetAside(path, "не обычный файл");
    return;
  }
  if (entry.size < kMinFileSize || entry.size > kMaxFileSize) {
    SetAside(path, "размер " + std::to_string(entry.size) + " байт");
    return;
  }
  const std::optional<Bytes> content = files_.ReadAll(path);
  if (!content) {
    if (bookkeeping_.NoteReadFailure(path) >= kReadFailuresToSetAside) {
      SetAside(path, "файл не читается");
    }
    return;
  }
  bookkeeping_.NoteReadSuccess(path);
  if (content->size() < kMinFileSize || content->size() > kMaxFileSize) {
    SetAside(path, "размер " + std::to_string(content->size()) + " байт");
    return;
  }
  const std::optional<SpoolFileContent> file = DecodeSpoolFile(*content);
  if (!file) {
    SetAside(path, "размер " + std::to_string(content->size()) + " байт");
    return;
  }
  const std::int32_t command = file->command;
  const ByteView payload = file->payload;
  if (command == cmdEvent && payload.size() != kEventRecordSize) {
    SetAside(path, "длина события " + std::to_string(payload.size()) + " байт");
    return;
  }

  // Recorded before the packet is queued, so its acknowledgement finds it; put
  // back when the link refuses the packet, so the file is offered again.
  const auto handOver = bookkeeping_.BeginHandOver(path, now);
  if (!link_->AddSpoolPacket(command, payload, path)) bookkeeping_.UndoHandOver(handOver);
}

void SpoolDrain::SetAside(const std::filesystem::path& file, const std::string& reasonUtf8) {
  bookkeeping_.NoteSetAside(file);
  const AsideResult r = RenameAside(files_, file, {".bad", "", 1, kSetAsideNames});
  if (r.outcome == AsideResult::Outcome::Renamed) {
    log_.Report("Файл очереди " + Display(file) + " не отправлен на сервер (" + reasonUtf8 +
                ") и отложен как " + Display(r.aside) + ".");
  } else {
    log_.Report("Файл очереди " + Display(file) + " не отправлен на сервер (" + reasonUtf8 +
                ") и не может быть переименован; он пропускается до перезапуска.");
  }
}

}  // namespace kestrel
