#include "delivery/spool.h"

#include <algorithm>
#include <utility>

#include "delivery/commands.h"
#include "delivery/event_record.h"
#include "platform/paths.h"
#include "platform/rename_aside.h"

namespace kestrel {

namespace {

constexpr int kSetAsideNames = 1000;

std::string Display(const std::filesystem::path& p) { return p.filename().string(); }

}  // namespace

// The last list holds the longest delay, and only it.
static_assert(Spool::RetryDelayMs(Spool::kDelayLevels) == Spool::kLongestRetryMs &&
              Spool::RetryDelayMs(Spool::kDelayLevels - 1) < Spool::kLongestRetryMs);

Spool::Spool(SpoolLocation location, FileSystem& files, const Clock& clock, OperatorLog& log,
             GroupFlusher* flusher)
    : files_(files), clock_(clock), log_(log), writer_(std::move(location), files, clock, log) {
  writer_.SetFlusher(flusher);
  writer_.SetOnWritten([this](const std::filesystem::path& file) { Added(file); });
}

// ---------------------------------------------------------------- start-up, upkeep

void Spool::Recover() {
  writer_.RecoverAtStartup();
  Rescan();
  std::lock_guard lock(mutex_);
  if (entries_.size() > settledCount_) startBacklogTick_ = clock_.TickMs();
}

bool Spool::Rescan() {
  std::lock_guard rescan(rescanMutex_);
  lastRescan_ = clock_.TickMs();
  const SpoolLocation& location = Location();
  std::uint64_t startGeneration = 0;
  {
    std::lock_guard lock(mutex_);
    startGeneration = ++generation_;
  }
  // Listed without the lock: the window thread and the worker go on meanwhile.
  std::vector<DirEntry> listed = files_.List(location.dir);
  if (listed.empty() && !files_.Exists(location.dir)) return false;
  std::erase_if(listed, [&](const DirEntry& e) { return !location.IsSpoolName(e.name); });
  std::sort(listed.begin(), listed.end(), [](const DirEntry& a, const DirEntry& b) {
    return std::tie(a.modified, a.name) < std::tie(b.modified, b.name);
  });
  std::set<std::filesystem::path> present;
  for (const DirEntry& e : listed) present.insert(location.dir / PathFromUtf8(e.name));

  // Kept: files still there, files in flight (their answer decides), and files
  // that became known after the listing began.
  const auto forgettable = [&](const Entry& e) {
    return e.state != SpoolFileState::InFlight && e.generation < startGeneration;
  };
  std::vector<std::filesystem::path> absent;
  {
    std::lock_guard lock(mutex_);
    for (const auto& [path, e] : entries_) {
      if (!present.contains(path) && forgettable(e)) absent.push_back(path);
    }
  }
  // A listing can fail part of the way (no file handle left, a folder briefly
  // unreadable): a file missing from it is forgotten only when it is really gone.
  std::erase_if(absent, [&](const std::filesystem::path& p) { return files_.Exists(p); });

  std::lock_guard lock(mutex_);
  for (const std::filesystem::path& p : absent) {
    if (const auto it = entries_.find(p); it != entries_.end() && forgettable(it->second)) {
      EraseLocked(it);
    }
  }
  for (const DirEntry& e : listed) {
    const auto path = location.dir / PathFromUtf8(e.name);
    if (!entries_.contains(path)) AddLocked(path);
  }
  return true;
}

void Spool::Maintain() {
  {
    std::lock_guard lock(rescanMutex_);
    if (static_cast<std::uint32_t>(clock_.TickMs() - lastRescan_) < kRescanMs) return;
  }
  Rescan();
}

// ---------------------------------------------------------------- window thread

std::optional<std::filesystem::path> Spool::Append(std::int32_t command, ByteView payload) {
  return writer_.Write(command, payload);
}

void Spool::Added(const std::filesystem::path& file) {
  const std::uint32_t now = clock_.TickMs();
  std::lock_guard lock(mutex_);
  // A known name is a new file under a name used before: it starts afresh.
  if (const auto it = entries_.find(file); it != entries_.end()) EraseLocked(it);
  AddLocked(file);
  written_.emplace_back(now, file);
}

bool Spool::Claim(const std::filesystem::path& file) {
  std::lock_guard lock(mutex_);
  const auto it = entries_.find(file);
  if (it == entries_.end()) return false;
  Entry& e = it->second;
  if (e.state == SpoolFileState::InFlight || e.state == SpoolFileState::Settled) return false;
  SetStateLocked(file, e, SpoolFileState::InFlight);
  return true;
}

void Spool::RetryPending(LinkPort* link) { writer_.RetryPending(link); }

void Spool::ReportBacklog() {
  const std::size_t backlog = Backlog();
  const std::uint32_t now = clock_.TickMs();
  if (!backlogShown_) {
    if (backlog == 0) return;
    backlogShown_ = true;
    backlogSince_ = now;
    deliveredBefore_ = Delivered();
    backlogPeak_ = backlog;
    // A change of state, not a failure.
    log_.Notice("События ждут отправки на сервер в файлах на диске: " + std::to_string(backlog) +
                ".");
    return;
  }
  if (backlog > backlogPeak_) backlogPeak_ = backlog;
  if (backlog > 0) return;
  backlogShown_ = false;
  const std::uint64_t sent = Delivered() - deliveredBefore_;
  const std::uint32_t seconds = static_cast<std::uint32_t>(now - backlogSince_) / 1000;
  log_.Notice("События с диска переданы на сервер: " + std::to_string(sent) + " за " +
              std::to_string(seconds) + " с (наибольшая очередь " + std::to_string(backlogPeak_) +
              ").");
}

// ---------------------------------------------------------------- link worker

std::optional<SpoolPacket> Spool::TakeNext() {
  for (int tries = 0; tries < kFilesPerTake; ++tries) {
    const std::uint32_t now = clock_.TickMs();
    const std::optional<std::filesystem::path> next = TakeNextAt(now);
    if (!next) return std::nullopt;
    const std::filesystem::path& path = *next;

    // Read without the lock.
    const std::optional<Bytes> content = files_.ReadAll(path);
    if (!content) {
      if (!files_.Exists(path)) {
        Forget(path);  // gone behind our back
      } else if (!files_.IsRegularFile(path)) {
        // A link, a folder or anything else the driver never writes: never read
        // through, never sent.
        SetAside(path, "не файл");
      } else if (NoteReadFailure(path) >= kReadFailuresToSetAside) {
        SetAside(path, "файл не читается");
      } else {
        RetryLater(path, now);
      }
      continue;
    }
    NoteReadSuccess(path);
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

std::optional<std::filesystem::path> Spool::TakeNextAt(std::uint32_t now) {
  std::lock_guard lock(mutex_);
  PromoteDueLocked(now);
  if (ready_.empty()) return std::nullopt;
  std::filesystem::path file = std::get<2>(*ready_.begin());
  SetStateLocked(file, entries_.at(file), SpoolFileState::InFlight);
  return file;
}

void Spool::Release(const std::filesystem::path& file) {
  std::lock_guard lock(mutex_);
  const auto it = entries_.find(file);
  if (it == entries_.end() || it->second.state != SpoolFileState::InFlight) return;
  SetStateLocked(file, it->second, SpoolFileState::Waiting);
}

void Spool::RetryLater(const std::filesystem::path& file, std::uint32_t from) {
  std::lock_guard lock(mutex_);
  const auto it = entries_.find(file);
  if (it == entries_.end() || it->second.state != SpoolFileState::InFlight) return;
  DeferLocked(file, it->second, from, 0);
}

bool Spool::Refused(const std::filesystem::path& file, std::uint32_t from) {
  {
    std::lock_guard lock(mutex_);
    const auto it = entries_.find(file);
    if (it == entries_.end() || it->second.state != SpoolFileState::InFlight) return false;
    Entry& e = it->second;
    if (e.refusals < kDelayLevels) ++e.refusals;
    DeferLocked(file, e, from, e.refusals - 1);
    if (e.refusals != 1) return false;
  }
  log_.Report("Сервер не принял событие из файла " + PathToUtf8(file.filename()) +
              "; оно будет отправлено снова (через 3 с, затем реже, до 5 мин).");
  return true;
}

void Spool::LinkDown(const std::vector<std::filesystem::path>& held) {
  for (const std::filesystem::path& file : held) Release(file);
}

Spool::AckOutcome Spool::Acknowledged(const std::filesystem::path& file, std::int32_t command,
                                      ByteView payload) {
  const Bytes content = EncodeSpoolFile(command, payload);
  // The disk is asked without the lock, so the window thread (appending and
  // claiming files) never waits for these reads and deletes. The entry is known by
  // the number it got when it became known: a name that comes back as another file
  // meanwhile is a new entry, left alone.
  std::optional<std::uint64_t> seq;
  {
    std::lock_guard lock(mutex_);
    const auto it = entries_.find(file);
    if (it != entries_.end()) {
      if (it->second.state == SpoolFileState::Settled) return AckOutcome::AlreadyDelivered;
      seq = it->second.seq;
    }
  }
  const auto same = [&](Entries::iterator it) {
    return it != entries_.end() && seq && it->second.seq == *seq;
  };

  // A name can come back with another event in it (names repeat); only the file
  // that was sent is deleted. An unreadable file is taken to be the one sent.
  const std::optional<Bytes> now = files_.ReadAll(file);
  if (!now && !files_.Exists(file)) {
    std::lock_guard lock(mutex_);
    if (const auto it = entries_.find(file); same(it)) EraseLocked(it);
    return AckOutcome::Missing;
  }
  if (now && !std::equal(now->begin(), now->end(), content.begin(), content.end())) {
    // What the name holds now was never answered: it goes (again) like any other.
    std::lock_guard lock(mutex_);
    if (const auto it = entries_.find(file);
        same(it) && it->second.state == SpoolFileState::InFlight) {
      SetStateLocked(file, it->second, SpoolFileState::Waiting);
    }
    return AckOutcome::NotTheSameFile;
  }
  if (files_.Remove(file)) {
    std::lock_guard lock(mutex_);
    if (const auto it = entries_.find(file); same(it)) EraseLocked(it);
    ++delivered_;
    return AckOutcome::Deleted;
  }
  {
    std::lock_guard lock(mutex_);
    auto it = entries_.find(file);
    Entry& e = it == entries_.end() ? AddLocked(file) : it->second;
    if (e.state == SpoolFileState::Settled) return AckOutcome::AlreadyDelivered;
    SetStateLocked(file, e, SpoolFileState::Settled);
    ++delivered_;
  }
  log_.Report("Не удалось удалить доставленный файл очереди " + file.string() +
              "; до перезапуска он больше не отправляется.");
  return AckOutcome::Undeletable;
}

void Spool::AppendFromLink(std::int32_t command, ByteView payload) {
  writer_.WriteOffLock(command, payload);
}

void Spool::SetAside(const std::filesystem::path& file, const std::string& reasonUtf8) {
  const AsideResult r = RenameAside(files_, file, {".bad", "", 1, kSetAsideNames});
  if (r.outcome == AsideResult::Outcome::Renamed) {
    Forget(file);
    log_.Report("Файл очереди " + Display(file) + " не отправлен на сервер (" + reasonUtf8 +
                ") и отложен как " + Display(r.aside) + ".");
  } else {
    Settle(file);
    log_.Report("Файл очереди " + Display(file) + " не отправлен на сервер (" + reasonUtf8 +
                ") и не может быть переименован; он пропускается до перезапуска.");
  }
}

int Spool::NoteReadFailure(const std::filesystem::path& file) {
  std::lock_guard lock(mutex_);
  const auto it = entries_.find(file);
  return it == entries_.end() ? 0 : ++it->second.readFailures;
}

void Spool::NoteReadSuccess(const std::filesystem::path& file) {
  std::lock_guard lock(mutex_);
  if (const auto it = entries_.find(file); it != entries_.end()) it->second.readFailures = 0;
}

void Spool::Forget(const std::filesystem::path& file) {
  std::lock_guard lock(mutex_);
  if (const auto it = entries_.find(file); it != entries_.end()) EraseLocked(it);
}

void Spool::Settle(const std::filesystem::path& file) {
  std::lock_guard lock(mutex_);
  const auto it = entries_.find(file);
  Entry& e = it == entries_.end() ? AddLocked(file) : it->second;
  SetStateLocked(file, e, SpoolFileState::Settled);
}

// ---------------------------------------------------------------- states

Spool::Entry& Spool::AddLocked(const std::filesystem::path& file) {
  Entry& e = entries_[file];
  e = Entry{};
  e.seq = nextSeq_++;
  e.generation = generation_;
  ready_.insert(KeyOf(file, e));
  return e;
}

void Spool::EraseLocked(Entries::iterator it) {
  const Entry& e = it->second;
  if (e.state == SpoolFileState::Settled) --settledCount_;
  if (e.state == SpoolFileState::InFlight) --inFlightCount_;
  if (e.state == SpoolFileState::Waiting) ready_.erase(KeyOf(it->first, e));
  entries_.erase(it);
}

// The one place a state changes: the counts and the ready set follow it.
void Spool::SetStateLocked(const std::filesystem::path& file, Entry& e, SpoolFileState to) {
  const SpoolFileState from = e.state;
  if (from == to) return;
  if (from == SpoolFileState::Waiting) ready_.erase(KeyOf(file, e));
  if (from == SpoolFileState::InFlight) --inFlightCount_;
  if (from == SpoolFileState::Settled) --settledCount_;
  e.state = to;
  switch (to) {
    case SpoolFileState::Waiting:
      ready_.insert(KeyOf(file, e));
      break;
    case SpoolFileState::InFlight:
      ++inFlightCount_;
      e.order = nextOrder_++;  // least recently handed over goes first
      break;
    case SpoolFileState::Settled:
      ++settledCount_;
      break;
    case SpoolFileState::Deferred:
      break;
  }
}

void Spool::DeferLocked(const std::filesystem::path& file, Entry& e, std::uint32_t from,
                        int level) {
  SetStateLocked(file, e, SpoolFileState::Deferred);
  e.deferral = nextDeferral_++;
  deferred_[static_cast<std::size_t>(level)].push_back({from, file, e.seq, e.deferral});
}

void Spool::PromoteDueLocked(std::uint32_t now) {
  for (int level = 0; level < kDelayLevels; ++level) {
    auto& list = deferred_[static_cast<std::size_t>(level)];
    const std::uint32_t delay = RetryDelayMs(level + 1);
    while (!list.empty()) {
      const Deferral& d = list.front();
      if (static_cast<std::uint32_t>(now - d.from) <= delay) break;
      if (const auto it = entries_.find(d.file);
          it != entries_.end() && it->second.state == SpoolFileState::Deferred &&
          it->second.seq == d.seq && it->second.deferral == d.deferral) {
        SetStateLocked(it->first, it->second, SpoolFileState::Waiting);
      }
      list.pop_front();
    }
  }
}

// ---------------------------------------------------------------- counts

std::size_t Spool::Waiting() const {
  std::lock_guard lock(mutex_);
  return entries_.size() - settledCount_;
}

std::size_t Spool::Backlog() const {
  std::lock_guard lock(mutex_);
  return entries_.size() - settledCount_ - inFlightCount_;
}

std::optional<std::uint32_t> Spool::NextDueInMs(std::uint32_t now) const {
  std::lock_guard lock(mutex_);
  if (!ready_.empty()) return 0;
  // The oldest deferral of each delay falls due first (a stale one only wakes the
  // link early).
  std::optional<std::uint32_t> due;
  for (int level = 0; level < kDelayLevels; ++level) {
    const auto& list = deferred_[static_cast<std::size_t>(level)];
    if (list.empty()) continue;
    const std::uint32_t delay = RetryDelayMs(level + 1);
    const std::uint32_t gone = now - list.front().from;
    const std::uint32_t left = gone > delay ? 0 : delay + 1 - gone;
    due = due ? std::min(*due, left) : left;
  }
  return due;
}

std::uint64_t Spool::Delivered() const {
  std::lock_guard lock(mutex_);
  return delivered_;
}

std::optional<SpoolFileState> Spool::StateOf(const std::filesystem::path& file) const {
  std::lock_guard lock(mutex_);
  const auto it = entries_.find(file);
  if (it == entries_.end()) return std::nullopt;
  return it->second.state;
}

bool Spool::GoneLocked(const std::filesystem::path& file) const {
  const auto it = entries_.find(file);
  return it == entries_.end() || it->second.state == SpoolFileState::Settled;
}

std::optional<std::uint32_t> Spool::OldestWaitingMs() const {
  const std::uint32_t now = clock_.TickMs();
  std::lock_guard lock(mutex_);
  const std::size_t waiting = entries_.size() - settledCount_;
  if (waiting == 0) {
    // Nothing waits: whatever is remembered has gone, the start-up files too.
    written_.clear();
    startBacklogTick_.reset();
    return std::nullopt;
  }
  const auto gone = [this](const std::pair<std::uint32_t, std::filesystem::path>& w) {
    return GoneLocked(w.second);
  };
  while (!written_.empty() && gone(written_.front())) written_.pop_front();
  // A front file that stays (a server that keeps refusing it) must not make the
  // list grow with every file after it: those delivered meanwhile are dropped.
  if (written_.size() > 2 * waiting + 1024) std::erase_if(written_, gone);
  if (startBacklogTick_) return now - *startBacklogTick_;
  if (written_.empty()) return std::nullopt;
  return now - written_.front().first;
}

}  // namespace kestrel
