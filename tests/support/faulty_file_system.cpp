#include "tests/support/faulty_file_system.h"

namespace kestrel::test {

void FaultyFileSystem::Fail(Op op, const std::string& fragment) {
  std::lock_guard lock(mutex_);
  failing_.insert({op, fragment});
}

void FaultyFileSystem::Heal(Op op) {
  std::lock_guard lock(mutex_);
  for (auto it = failing_.begin(); it != failing_.end();) {
    it = it->first == op ? failing_.erase(it) : std::next(it);
  }
}

void FaultyFileSystem::HealAll() {
  std::lock_guard lock(mutex_);
  failing_.clear();
}

int FaultyFileSystem::Calls(Op op) const {
  std::lock_guard lock(mutex_);
  return calls_[static_cast<int>(op)];
}

bool FaultyFileSystem::Fails(Op op, const std::filesystem::path& p) {
  std::lock_guard lock(mutex_);
  ++calls_[static_cast<int>(op)];
  const std::string text = p.string();
  for (const auto& [failingOp, fragment] : failing_) {
    if (failingOp == op && (fragment.empty() || text.find(fragment) != std::string::npos)) {
      return true;
    }
  }
  return false;
}

bool FaultyFileSystem::Exists(const std::filesystem::path& p) noexcept {
  return !Fails(Op::Exists, p) && disk_.Exists(p);
}
std::optional<Bytes> FaultyFileSystem::ReadAll(const std::filesystem::path& p) noexcept {
  if (Fails(Op::ReadAll, p)) return std::nullopt;
  return disk_.ReadAll(p);
}
bool FaultyFileSystem::Append(const std::filesystem::path& p, ByteView data) noexcept {
  return !Fails(Op::Append, p) && disk_.Append(p, data);
}
bool FaultyFileSystem::WriteAt(const std::filesystem::path& p, std::uint64_t offset, ByteView data,
                               bool durable) noexcept {
  return !Fails(Op::WriteAt, p) && disk_.WriteAt(p, offset, data, durable);
}
bool FaultyFileSystem::Truncate(const std::filesystem::path& p, std::uint64_t size) noexcept {
  return !Fails(Op::Truncate, p) && disk_.Truncate(p, size);
}
bool FaultyFileSystem::WriteNew(const std::filesystem::path& p, ByteView data,
                                bool durable) noexcept {
  return !Fails(Op::WriteNew, p) && disk_.WriteNew(p, data, durable);
}
bool FaultyFileSystem::Replace(const std::filesystem::path& p, ByteView data) noexcept {
  return !Fails(Op::Replace, p) && disk_.Replace(p, data);
}
bool FaultyFileSystem::RenameNoReplace(const std::filesystem::path& from,
                                       const std::filesystem::path& to) noexcept {
  return !Fails(Op::Rename, to) && !Fails(Op::Rename, from) && disk_.RenameNoReplace(from, to);
}
bool FaultyFileSystem::Remove(const std::filesystem::path& p) noexcept {
  return !Fails(Op::Remove, p) && disk_.Remove(p);
}
bool FaultyFileSystem::CreateDirectories(const std::filesystem::path& dir) noexcept {
  return !Fails(Op::CreateDirectories, dir) && disk_.CreateDirectories(dir);
}
std::vector<DirEntry> FaultyFileSystem::List(const std::filesystem::path& dir) noexcept {
  if (Fails(Op::List, dir)) return {};
  return disk_.List(dir);
}

}  // namespace kestrel::test
