#include "tests/support/faulty_file_system.h"

#include <cerrno>

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
      errno = ENOSPC;  // the reason a full disk gives
      return true;
    }
  }
  return false;
}

bool FaultyFileSystem::Exists(const std::filesystem::path& p) noexcept {
  return !Fails(Op::Exists, p) && disk_.Exists(p);
}
bool FaultyFileSystem::IsRegularFile(const std::filesystem::path& p) noexcept {
  return !Fails(Op::Exists, p) && disk_.IsRegularFile(p);
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

class FaultyFileSystem::File final : public UpdatableFile {
 public:
  File(FaultyFileSystem& owner, std::filesystem::path path, std::unique_ptr<UpdatableFile> real)
      : owner_(owner), path_(std::move(path)), real_(std::move(real)) {}
  bool WriteAt(std::uint64_t offset, ByteView data) noexcept override {
    return !owner_.Fails(Op::WriteAt, path_) && real_->WriteAt(offset, data);
  }
  bool Sync() noexcept override { return !owner_.Fails(Op::FlushFile, path_) && real_->Sync(); }
  std::optional<std::uint64_t> Size() noexcept override { return real_->Size(); }
  bool IsStillAt(const std::filesystem::path& p) noexcept override { return real_->IsStillAt(p); }

 private:
  FaultyFileSystem& owner_;
  std::filesystem::path path_;
  std::unique_ptr<UpdatableFile> real_;
};

bool FaultyFileSystem::RenameNoFlush(const std::filesystem::path& from,
                                     const std::filesystem::path& to) noexcept {
  return !Fails(Op::Rename, to) && !Fails(Op::Rename, from) && disk_.RenameNoFlush(from, to);
}
bool FaultyFileSystem::FlushFile(const std::filesystem::path& p) noexcept {
  return !Fails(Op::FlushFile, p) && disk_.FlushFile(p);
}
bool FaultyFileSystem::FlushFolder(const std::filesystem::path& dir) noexcept {
  return !Fails(Op::FlushFolder, dir) && disk_.FlushFolder(dir);
}
std::unique_ptr<UpdatableFile> FaultyFileSystem::OpenForUpdate(
    const std::filesystem::path& p) noexcept {
  if (Fails(Op::OpenForUpdate, p)) return nullptr;
  std::unique_ptr<UpdatableFile> real = disk_.OpenForUpdate(p);
  if (!real) return nullptr;
  return std::make_unique<File>(*this, p, std::move(real));
}

}  // namespace kestrel::test
