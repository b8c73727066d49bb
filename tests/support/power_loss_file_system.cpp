#include "tests/support/power_loss_file_system.h"

#include <algorithm>

namespace kestrel::test {

namespace fs = std::filesystem;

class PowerLossFileSystem::File final : public UpdatableFile {
 public:
  File(PowerLossFileSystem& owner, std::shared_ptr<Inode> inode)
      : owner_(owner), inode_(std::move(inode)) {}
  bool WriteAt(std::uint64_t offset, ByteView data) noexcept override {
    std::lock_guard lock(owner_.mutex_);
    if (owner_.off_) return false;
    Bytes& d = inode_->data;
    if (d.size() < offset + data.size()) d.resize(offset + data.size());
    std::copy(data.begin(), data.end(), d.begin() + static_cast<std::ptrdiff_t>(offset));
    return true;
  }
  bool Sync() noexcept override {
    std::lock_guard lock(owner_.mutex_);
    if (owner_.off_) return false;
    inode_->durable = inode_->data;
    ++owner_.fileFlushes_;
    return true;
  }
  std::optional<std::uint64_t> Size() noexcept override {
    std::lock_guard lock(owner_.mutex_);
    if (owner_.off_) return std::nullopt;
    return inode_->data.size();
  }
  bool IsStillAt(const std::filesystem::path& p) noexcept override {
    std::lock_guard lock(owner_.mutex_);
    return !owner_.off_ && owner_.Find(p) == inode_;
  }

 private:
  PowerLossFileSystem& owner_;
  std::shared_ptr<Inode> inode_;
};

std::string PowerLossFileSystem::Folder(const fs::path& p) {
  fs::path parent = p.lexically_normal().parent_path();
  return parent.empty() ? std::string(".") : parent.string();
}

std::string PowerLossFileSystem::Name(const fs::path& p) {
  return p.lexically_normal().filename().string();
}

std::shared_ptr<PowerLossFileSystem::Inode> PowerLossFileSystem::Find(const fs::path& p) const {
  const auto folder = current_.find(Folder(p));
  if (folder == current_.end()) return nullptr;
  const auto it = folder->second.find(Name(p));
  return it == folder->second.end() ? nullptr : it->second;
}

std::shared_ptr<PowerLossFileSystem::Inode> PowerLossFileSystem::Create(const fs::path& p) {
  if (folders_.count(Folder(p)) == 0) return nullptr;
  auto inode = std::make_shared<Inode>();
  current_[Folder(p)][Name(p)] = inode;
  inodes_.push_back(inode);
  return inode;
}

void PowerLossFileSystem::FlushFolderLocked(const std::string& folder) {
  durable_[folder] = current_[folder];
  ++folderFlushes_;
}

bool PowerLossFileSystem::MoveLocked(const fs::path& from, const fs::path& to) {
  std::shared_ptr<Inode> inode = Find(from);
  if (!inode || Find(to) || folders_.count(Folder(to)) == 0) return false;
  current_[Folder(from)].erase(Name(from));
  current_[Folder(to)][Name(to)] = inode;
  return true;
}

void PowerLossFileSystem::PowerOn() {
  std::lock_guard lock(mutex_);
  off_ = false;
}

void PowerLossFileSystem::PowerLoss() {
  std::lock_guard lock(mutex_);
  off_ = true;
  current_ = durable_;
  for (const std::weak_ptr<Inode>& weak : inodes_) {
    if (auto inode = weak.lock()) inode->data = inode->durable;
  }
}

int PowerLossFileSystem::FileFlushes() const {
  std::lock_guard lock(mutex_);
  return fileFlushes_;
}

int PowerLossFileSystem::FolderFlushes() const {
  std::lock_guard lock(mutex_);
  return folderFlushes_;
}

bool PowerLossFileSystem::Exists(const fs::path& p) noexcept {
  std::lock_guard lock(mutex_);
  if (off_) return false;
  return Find(p) != nullptr || folders_.count(p.lexically_normal().string()) != 0;
}

bool PowerLossFileSystem::IsRegularFile(const fs::path& p) noexcept {
  std::lock_guard lock(mutex_);
  return !off_ && Find(p) != nullptr;
}

std::optional<Bytes> PowerLossFileSystem::ReadAll(const fs::path& p) noexcept {
  std::lock_guard lock(mutex_);
  if (off_) return std::nullopt;
  const auto inode = Find(p);
  if (!inode) return std::nullopt;
  return inode->data;
}

bool PowerLossFileSystem::Append(const fs::path& p, ByteView data) noexcept {
  std::lock_guard lock(mutex_);
  if (off_) return false;
  auto inode = Find(p);
  if (!inode) inode = Create(p);
  if (!inode) return false;
  inode->data.insert(inode->data.end(), data.begin(), data.end());
  return true;
}

bool PowerLossFileSystem::WriteAt(const fs::path& p, std::uint64_t offset, ByteView data,
                                  bool durable) noexcept {
  std::lock_guard lock(mutex_);
  if (off_) return false;
  auto inode = Find(p);
  const bool created = !inode;
  if (created) inode = Create(p);
  if (!inode) return false;
  Bytes& d = inode->data;
  if (d.size() < offset + data.size()) d.resize(offset + data.size());
  std::copy(data.begin(), data.end(), d.begin() + static_cast<std::ptrdiff_t>(offset));
  if (durable) {
    inode->durable = d;
    if (created) FlushFolderLocked(Folder(p));
  }
  return true;
}

bool PowerLossFileSystem::Truncate(const fs::path& p, std::uint64_t size) noexcept {
  std::lock_guard lock(mutex_);
  if (off_) return false;
  auto inode = Find(p);
  if (!inode) return false;
  inode->data.resize(size);
  inode->durable = inode->data;
  return true;
}

bool PowerLossFileSystem::WriteNew(const fs::path& p, ByteView data, bool durable) noexcept {
  std::lock_guard lock(mutex_);
  if (off_) return false;
  if (Find(p)) return false;
  auto inode = Create(p);
  if (!inode) return false;
  inode->data.assign(data.begin(), data.end());
  if (durable) {
    inode->durable = inode->data;
    FlushFolderLocked(Folder(p));
  }
  return true;
}

bool PowerLossFileSystem::Replace(const fs::path& p, ByteView data) noexcept {
  std::lock_guard lock(mutex_);
  if (off_) return false;
  if (folders_.count(Folder(p)) == 0) return false;
  auto inode = std::make_shared<Inode>();
  inode->data.assign(data.begin(), data.end());
  inode->durable = inode->data;
  inodes_.push_back(inode);
  current_[Folder(p)][Name(p)] = inode;
  FlushFolderLocked(Folder(p));
  return true;
}

bool PowerLossFileSystem::RenameNoReplace(const fs::path& from, const fs::path& to) noexcept {
  std::lock_guard lock(mutex_);
  if (off_) return false;
  if (!MoveLocked(from, to)) return false;
  FlushFolderLocked(Folder(to));
  if (Folder(from) != Folder(to)) FlushFolderLocked(Folder(from));
  return true;
}

bool PowerLossFileSystem::RenameNoFlush(const fs::path& from, const fs::path& to) noexcept {
  std::lock_guard lock(mutex_);
  if (off_) return false;
  return MoveLocked(from, to);
}

bool PowerLossFileSystem::Remove(const fs::path& p) noexcept {
  std::lock_guard lock(mutex_);
  if (off_) return false;
  const auto folder = current_.find(Folder(p));
  return folder != current_.end() && folder->second.erase(Name(p)) == 1;
}

bool PowerLossFileSystem::CreateDirectories(const fs::path& dir) noexcept {
  std::lock_guard lock(mutex_);
  if (off_) return false;
  for (fs::path d = dir.lexically_normal(); !d.empty(); d = d.parent_path()) {
    folders_.insert(d.string());
    if (d == d.parent_path()) break;
  }
  folders_.insert(".");
  return true;
}

std::vector<DirEntry> PowerLossFileSystem::List(const fs::path& dir) noexcept {
  std::lock_guard lock(mutex_);
  if (off_) return {};
  std::vector<DirEntry> out;
  const auto folder = current_.find(dir.lexically_normal().string());
  if (folder == current_.end()) return out;
  for (const auto& [name, inode] : folder->second) {
    DirEntry e;
    e.name = name;
    e.size = inode->data.size();
    e.regular = true;
    out.push_back(e);
  }
  return out;  // std::map keeps them sorted by name
}

bool PowerLossFileSystem::FlushFile(const fs::path& p) noexcept {
  std::lock_guard lock(mutex_);
  if (off_) return false;
  auto inode = Find(p);
  if (!inode) return false;
  inode->durable = inode->data;
  ++fileFlushes_;
  return true;
}

bool PowerLossFileSystem::FlushFolder(const fs::path& dir) noexcept {
  std::lock_guard lock(mutex_);
  if (off_) return false;
  const std::string folder = dir.lexically_normal().string();
  if (folders_.count(folder) == 0) return false;
  FlushFolderLocked(folder);
  return true;
}

std::unique_ptr<UpdatableFile> PowerLossFileSystem::OpenForUpdate(const fs::path& p) noexcept {
  std::lock_guard lock(mutex_);
  if (off_) return nullptr;
  auto inode = Find(p);
  if (!inode) return nullptr;
  return std::make_unique<File>(*this, std::move(inode));
}

}  // namespace kestrel::test
