#include "delivery/spool_bookkeeping.h"

#include <algorithm>

namespace kestrel {

std::optional<std::uint32_t> SpoolBookkeeping::LastSpoolSend() const {
  std::lock_guard lock(mutex_);
  return lastSpoolSend_;
}

std::filesystem::path SpoolBookkeeping::LastSpoolFile() const {
  std::lock_guard lock(mutex_);
  return lastSpoolFile_;
}

void SpoolBookkeeping::ResetLastSpoolSend() {
  std::lock_guard lock(mutex_);
  lastSpoolSend_.reset();
}

SpoolBookkeeping::AckOutcome SpoolBookkeeping::Acknowledge(FileSystem& files,
                                                           const std::filesystem::path& file,
                                                           ByteView content) {
  std::lock_guard lock(mutex_);
  if (settled_.contains(file)) return AckOutcome::AlreadyDelivered;
  if (!files.Exists(file)) {
    memo_.erase(file);
    return AckOutcome::Missing;
  }
  // A name can come back with another event in it (names repeat); only the file
  // that was sent is deleted. An unreadable file is taken to be the one sent.
  if (const auto now = files.ReadAll(file);
      now && !std::equal(now->begin(), now->end(), content.begin(), content.end())) {
    return AckOutcome::NotTheSameFile;
  }
  lastSpoolSend_.reset();
  memo_.erase(file);
  if (files.Remove(file)) return AckOutcome::Deleted;
  settled_.insert(file);
  return AckOutcome::Undeletable;
}

std::uint64_t SpoolBookkeeping::HandOverOrder(const std::filesystem::path& file) const {
  std::lock_guard lock(mutex_);
  const auto it = memo_.find(file);
  return it == memo_.end() ? 0 : it->second.order;
}

bool SpoolBookkeeping::IsSettled(const std::filesystem::path& file) const {
  std::lock_guard lock(mutex_);
  return settled_.contains(file);
}

int SpoolBookkeeping::NoteReadFailure(const std::filesystem::path& file) {
  std::lock_guard lock(mutex_);
  return ++memo_[file].readFailures;
}

void SpoolBookkeeping::NoteReadSuccess(const std::filesystem::path& file) {
  std::lock_guard lock(mutex_);
  if (const auto it = memo_.find(file); it != memo_.end()) it->second.readFailures = 0;
}

void SpoolBookkeeping::NoteSetAside(const std::filesystem::path& file) {
  std::lock_guard lock(mutex_);
  memo_.erase(file);
  settled_.insert(file);
}

SpoolBookkeeping::HandOver SpoolBookkeeping::BeginHandOver(const std::filesystem::path& file,
                                                           std::uint32_t tick) {
  std::lock_guard lock(mutex_);
  HandOver h{file, lastSpoolSend_, lastSpoolFile_, 0};
  auto& memo = memo_[file];
  h.previousOrder = memo.order;
  memo.order = nextOrder_++;
  lastSpoolFile_ = file;
  lastSpoolSend_ = tick;
  return h;
}

void SpoolBookkeeping::UndoHandOver(const HandOver& h) {
  std::lock_guard lock(mutex_);
  lastSpoolSend_ = h.previousSend;
  lastSpoolFile_ = h.previousFile;
  if (const auto it = memo_.find(h.file); it != memo_.end()) it->second.order = h.previousOrder;
}

void SpoolBookkeeping::ForgetAllBut(const std::set<std::filesystem::path>& present) {
  std::lock_guard lock(mutex_);
  std::erase_if(memo_, [&](const auto& kv) { return !present.contains(kv.first); });
  std::erase_if(settled_, [&](const auto& p) { return !present.contains(p); });
}

}  // namespace kestrel
