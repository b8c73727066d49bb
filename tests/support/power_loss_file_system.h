#pragma once

#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/file_system.h"

namespace kestrel::test {

// A file system in memory that models what a power cut keeps. Written data stays
// "volatile" until flushed: a file's content until FlushFile (or Sync of a file
// opened for update, or an operation that flushes by itself: a durable WriteNew or
// WriteAt, Truncate, Replace); a folder's names (files created, renamed, removed)
// until FlushFolder of that folder (or an operation that flushes it by itself:
// durable WriteNew, RenameNoReplace, Replace). PowerLoss drops everything not yet
// flushed: each folder goes back to its flushed names, each file to its flushed
// content; a name whose file's data was never flushed comes back empty.
//
// Folders are made durable at once. Thread-safe.
class PowerLossFileSystem final : public FileSystem {
 public:
  // Drops everything not flushed, as a power cut at this instant would. From then
  // on every operation fails (the machine is off) until PowerOn.
  void PowerLoss();
  void PowerOn();
  // How often each was called.
  int FileFlushes() const;
  int FolderFlushes() const;

  bool Exists(const std::filesystem::path& p) noexcept override;
  bool IsRegularFile(const std::filesystem::path& p) noexcept override;
  std::optional<Bytes> ReadAll(const std::filesystem::path& p) noexcept override;
  bool Append(const std::filesystem::path& p, ByteView data) noexcept override;
  bool WriteAt(const std::filesystem::path& p, std::uint64_t offset, ByteView data,
               bool durable) noexcept override;
  bool Truncate(const std::filesystem::path& p, std::uint64_t size) noexcept override;
  bool WriteNew(const std::filesystem::path& p, ByteView data, bool durable) noexcept override;
  bool Replace(const std::filesystem::path& p, ByteView data) noexcept override;
  bool RenameNoReplace(const std::filesystem::path& from,
                       const std::filesystem::path& to) noexcept override;
  bool Remove(const std::filesystem::path& p) noexcept override;
  bool CreateDirectories(const std::filesystem::path& dir) noexcept override;
  std::vector<DirEntry> List(const std::filesystem::path& dir) noexcept override;
  bool RenameNoFlush(const std::filesystem::path& from,
                     const std::filesystem::path& to) noexcept override;
  bool FlushFile(const std::filesystem::path& p) noexcept override;
  bool FlushFolder(const std::filesystem::path& dir) noexcept override;
  std::unique_ptr<UpdatableFile> OpenForUpdate(const std::filesystem::path& p) noexcept override;

 private:
  struct Inode {
    Bytes data;     // what a reader sees now
    Bytes durable;  // what a power cut leaves
  };
  using Names = std::map<std::string, std::shared_ptr<Inode>>;
  class File;

  static std::string Folder(const std::filesystem::path& p);
  static std::string Name(const std::filesystem::path& p);
  // Each expects mutex_ to be held.
  std::shared_ptr<Inode> Find(const std::filesystem::path& p) const;
  std::shared_ptr<Inode> Create(const std::filesystem::path& p);
  void FlushFolderLocked(const std::string& folder);
  bool MoveLocked(const std::filesystem::path& from, const std::filesystem::path& to);

  mutable std::mutex mutex_;
  std::set<std::string> folders_;
  std::map<std::string, Names> current_;  // folder -> names as seen now
  std::map<std::string, Names> durable_;  // folder -> names a power cut leaves
  std::vector<std::weak_ptr<Inode>> inodes_;
  int fileFlushes_ = 0;
  int folderFlushes_ = 0;
  bool off_ = false;
};

}  // namespace kestrel::test
