#include "delivery/spool_index.h"

#include <algorithm>
#include <utility>

#include "platform/paths.h"

namespace kestrel {

// The last list holds the longest delay, and only it.
static_assert(SpoolIndex::RetryDelayMs(SpoolIndex::kDelayLevels) == SpoolIndex::kLongestRetryMs &&
              SpoolIndex::RetryDelayMs(SpoolIndex::kDelayLevels - 1) < SpoolIndex::kLongestRetryMs);

SpoolIndex::SpoolIndex(SpoolLocation location) : location_(std::move(location)) {}

bool SpoolIndex::Rescan(FileSystem& files) {
  std::uint64_t startGeneration = 0;
  {
    std::lock_guard lock(mutex_);
    startGeneration = ++generation_;
  }
  // Listed without the lock: the writer and the worker go on meanwhile.
  std::vector<DirEntry> listed = files.List(location_.dir);
  if (listed.empty() && !files.Exists(location_.dir)) return false;
  std::erase_if(listed, [&](const DirEntry& e) { return !location_.IsSpoolName(e.name); });
  std::sort(listed.begin(), listed.end(), [](const DirEntry& a, const DirEntry& b) {
    return std::tie(a.modified, a.name) < std::tie(b.modified, b.name);
  });
  std::set<std::filesystem::path> present;
  for (const DirEntry& e : listed) present.insert(location_.dir / PathFromUtf8(e.name));

  // Kept: files still there, files in flight (their answer settles them), and
  // files that became known after the listing began.
  const auto forgettable = [&](const Entry& e) {
    return !e.inFlight && e.generation < startGeneration;
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
  std::erase_if(absent, [&](const std::filesystem::path& p) { return files.Exists(p); });

  std::lock_guard lock(mutex_);
  for (const std::filesystem::path& p : absent) {
    if (const auto it = entries_.find(p); it != entries_.end() && forgettable(it->second)) {
      EraseLocked(it);
    }
  }
  for (const DirEntry& e : listed) {
    const auto path = location_.dir / PathFromUtf8(e.name);
    if (!entries_.contains(path)) AddLocked(path);
  }
  return true;
}

void SpoolIndex::Add(const std::filesystem::path& file) {
  std::lock_guard lock(mutex_);
  if (const auto it = entries_.find(file); it != entries_.end()) EraseLocked(it);
  AddLocked(file);
}

void SpoolIndex::AddLocked(const std::filesystem::path& file) {
  Entry& e = entries_[file];
  e = Entry{};
  e.seq = nextSeq_++;
  e.generation = generation_;
  ready_.insert(KeyOf(file, e));
}

void SpoolIndex::EraseLocked(std::map<std::filesystem::path, Entry>::iterator it) {
  const Entry& e = it->second;
  if (e.settled) --settledCount_;
  if (e.inFlight) --inFlightCount_;
  ready_.erase(KeyOf(it->first, e));
  entries_.erase(it);
}

void SpoolIndex::MakeReadyLocked(const std::filesystem::path& file, Entry& e) {
  e.deferred = false;
  if (!e.settled && !e.inFlight) ready_.insert(KeyOf(file, e));
}

bool SpoolIndex::Claim(const std::filesystem::path& file) {
  std::lock_guard lock(mutex_);
  const auto it = entries_.find(file);
  if (it == entries_.end()) return false;
  Entry& e = it->second;
  if (e.inFlight || e.settled) return false;
  ready_.erase(KeyOf(file, e));
  e.deferred = false;
  e.inFlight = true;
  ++inFlightCount_;
  e.order = nextOrder_++;
  return true;
}

void SpoolIndex::PromoteDueLocked(std::uint32_t now) {
  for (int level = 0; level < kDelayLevels; ++level) {
    auto& list = deferred_[static_cast<std::size_t>(level)];
    const std::uint32_t delay = RetryDelayMs(level + 1);
    while (!list.empty()) {
      const Deferral& d = list.front();
      if (static_cast<std::uint32_t>(now - d.from) <= delay) break;
      if (const auto it = entries_.find(d.file); it != entries_.end() && it->second.deferred &&
                                                 it->second.seq == d.seq &&
                                                 it->second.deferral == d.deferral) {
        MakeReadyLocked(it->first, it->second);
      }
      list.pop_front();
    }
  }
}

std::optional<std::filesystem::path> SpoolIndex::TakeNext(std::uint32_t now) {
  std::lock_guard lock(mutex_);
  PromoteDueLocked(now);
  if (ready_.empty()) return std::nullopt;
  const auto first = ready_.begin();
  std::filesystem::path file = std::get<2>(*first);
  ready_.erase(first);
  Entry& e = entries_.at(file);
  e.inFlight = true;
  ++inFlightCount_;
  e.order = nextOrder_++;
  return file;
}

void SpoolIndex::Release(const std::filesystem::path& file,
                         std::optional<std::uint32_t> retryFrom) {
  std::lock_guard lock(mutex_);
  const auto it = entries_.find(file);
  if (it == entries_.end() || !it->second.inFlight) return;
  Entry& e = it->second;
  e.inFlight = false;
  --inFlightCount_;
  if (retryFrom) {
    DeferLocked(file, e, *retryFrom, 0);
  } else if (!e.deferred) {
    MakeReadyLocked(file, e);
  }
}

void SpoolIndex::DeferLocked(const std::filesystem::path& file, Entry& e, std::uint32_t from,
                             int level) {
  e.deferred = true;
  e.deferral = nextDeferral_++;
  deferred_[static_cast<std::size_t>(level)].push_back({from, file, e.seq, e.deferral});
}

bool SpoolIndex::Refuse(const std::filesystem::path& file, std::uint32_t from) {
  std::lock_guard lock(mutex_);
  const auto it = entries_.find(file);
  if (it == entries_.end() || !it->second.inFlight) return false;
  Entry& e = it->second;
  e.inFlight = false;
  --inFlightCount_;
  if (e.refusals < kDelayLevels) ++e.refusals;
  DeferLocked(file, e, from, e.refusals - 1);
  return e.refusals == 1;
}

void SpoolIndex::ReleaseAll() {
  std::lock_guard lock(mutex_);
  if (inFlightCount_ == 0) return;
  for (auto& [file, e] : entries_) {
    if (!e.inFlight) continue;
    e.inFlight = false;
    if (!e.deferred) MakeReadyLocked(file, e);
  }
  inFlightCount_ = 0;
}

SpoolIndex::AckOutcome SpoolIndex::Acknowledge(FileSystem& files, const std::filesystem::path& file,
                                               ByteView content) {
  // The disk is asked without the lock, so the writer (adding and claiming files on
  // the window thread) never waits for the worker's reads and deletes. The entry
  // is known by the number it got when it became known: a name that comes back as
  // another file meanwhile is a new entry, left alone.
  std::optional<std::uint64_t> seq;
  {
    std::lock_guard lock(mutex_);
    const auto it = entries_.find(file);
    if (it != entries_.end()) {
      if (it->second.settled) return AckOutcome::AlreadyDelivered;
      seq = it->second.seq;
    }
  }
  const auto same = [&](std::map<std::filesystem::path, Entry>::iterator it) {
    return it != entries_.end() && seq && it->second.seq == *seq;
  };

  // A name can come back with another event in it (names repeat); only the file
  // that was sent is deleted. An unreadable file is taken to be the one sent.
  const std::optional<Bytes> now = files.ReadAll(file);
  if (!now && !files.Exists(file)) {
    std::lock_guard lock(mutex_);
    if (const auto it = entries_.find(file); same(it)) EraseLocked(it);
    return AckOutcome::Missing;
  }
  if (now && !std::equal(now->begin(), now->end(), content.begin(), content.end())) {
    // What the name holds now was never answered: it goes (again) like any other.
    std::lock_guard lock(mutex_);
    if (const auto it = entries_.find(file); same(it) && it->second.inFlight) {
      it->second.inFlight = false;
      --inFlightCount_;
      if (!it->second.deferred) MakeReadyLocked(file, it->second);
    }
    return AckOutcome::NotTheSameFile;
  }
  if (files.Remove(file)) {
    std::lock_guard lock(mutex_);
    if (const auto it = entries_.find(file); same(it)) EraseLocked(it);
    ++delivered_;
    return AckOutcome::Deleted;
  }
  std::lock_guard lock(mutex_);
  auto it = entries_.find(file);
  if (it == entries_.end()) {
    AddLocked(file);
    it = entries_.find(file);
  }
  Entry& e = it->second;
  if (e.settled) return AckOutcome::AlreadyDelivered;
  ready_.erase(KeyOf(file, e));
  if (e.inFlight) --inFlightCount_;
  e.inFlight = false;
  e.settled = true;
  ++settledCount_;
  ++delivered_;
  return AckOutcome::Undeletable;
}

void SpoolIndex::Forget(const std::filesystem::path& file) {
  std::lock_guard lock(mutex_);
  if (const auto it = entries_.find(file); it != entries_.end()) EraseLocked(it);
}

void SpoolIndex::Settle(const std::filesystem::path& file) {
  std::lock_guard lock(mutex_);
  auto it = entries_.find(file);
  if (it == entries_.end()) {
    AddLocked(file);
    it = entries_.find(file);
  }
  Entry& e = it->second;
  if (e.settled) return;
  ready_.erase(KeyOf(file, e));
  if (e.inFlight) --inFlightCount_;
  e.inFlight = false;
  e.settled = true;
  ++settledCount_;
}

int SpoolIndex::NoteReadFailure(const std::filesystem::path& file) {
  std::lock_guard lock(mutex_);
  const auto it = entries_.find(file);
  return it == entries_.end() ? 0 : ++it->second.readFailures;
}

void SpoolIndex::NoteReadSuccess(const std::filesystem::path& file) {
  std::lock_guard lock(mutex_);
  if (const auto it = entries_.find(file); it != entries_.end()) it->second.readFailures = 0;
}

std::size_t SpoolIndex::Waiting() const {
  std::lock_guard lock(mutex_);
  return entries_.size() - settledCount_;
}

std::optional<std::uint32_t> SpoolIndex::NextDueInMs(std::uint32_t now) const {
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

std::size_t SpoolIndex::Backlog() const {
  std::lock_guard lock(mutex_);
  return entries_.size() - settledCount_ - inFlightCount_;
}

std::uint64_t SpoolIndex::Delivered() const {
  std::lock_guard lock(mutex_);
  return delivered_;
}

bool SpoolIndex::Knows(const std::filesystem::path& file) const {
  std::lock_guard lock(mutex_);
  return entries_.contains(file);
}

bool SpoolIndex::InFlight(const std::filesystem::path& file) const {
  std::lock_guard lock(mutex_);
  const auto it = entries_.find(file);
  return it != entries_.end() && it->second.inFlight;
}

bool SpoolIndex::IsSettled(const std::filesystem::path& file) const {
  std::lock_guard lock(mutex_);
  const auto it = entries_.find(file);
  return it != entries_.end() && it->second.settled;
}

}  // namespace kestrel
