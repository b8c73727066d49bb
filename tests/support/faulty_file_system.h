#pragma once

#include <filesystem>
#include <mutex>
#include <set>
#include <string>

#include "platform/file_system.h"

namespace kestrel::test {

// The real disk, except for the operations a test tells to fail. Each operation
// can be made to fail always, or for paths whose text contains a given fragment.
// Stands in for a full disk or a folder without rights (tests run as root, so
// permissions cannot be used for that).
class FaultyFileSystem final : public FileSystem {
 public:
  enum class Op {
    Exists,
    ReadAll,
    Append,
    WriteAt,
    Truncate,
    WriteNew,
    Replace,
    Rename,
    Remove,
    CreateDirectories,
    List,
    FlushFile,  // also Sync of a file opened for update
    FlushFolder,
    OpenForUpdate,
    Count  // not an operation: how many there are
  };

  // Fails `op` for every path containing `fragment` (empty: every path).
  void Fail(Op op, const std::string& fragment = "");
  void Heal(Op op);
  void HealAll();
  // How many times `op` was called (failed or not).
  int Calls(Op op) const;

  bool Exists(const std::filesystem::path& p) noexcept override;
  // Fails with Op::Exists.
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
  // RenameNoFlush fails with Op::Rename; a file opened for update fails its writes
  // with Op::WriteAt and its Sync with Op::FlushFile, checked at every call.
  bool RenameNoFlush(const std::filesystem::path& from,
                     const std::filesystem::path& to) noexcept override;
  bool FlushFile(const std::filesystem::path& p) noexcept override;
  bool FlushFolder(const std::filesystem::path& dir) noexcept override;
  std::unique_ptr<UpdatableFile> OpenForUpdate(const std::filesystem::path& p) noexcept override;

 private:
  class File;

  bool Fails(Op op, const std::filesystem::path& p);

  mutable std::mutex mutex_;
  std::multiset<std::pair<Op, std::string>> failing_;
  int calls_[static_cast<int>(Op::Count)] = {};
  DiskFileSystem disk_;
};

}  // namespace kestrel::test
