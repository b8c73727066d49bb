#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <vector>

#include "platform/file_system.h"

namespace kestrel::test {

// Passes every operation on to another file system. Tests derive from it and
// override the one or two operations they meddle with.
class ForwardingFileSystem : public FileSystem {
 public:
  explicit ForwardingFileSystem(FileSystem& inner) : inner_(inner) {}

  bool Exists(const std::filesystem::path& p) noexcept override { return inner_.Exists(p); }
  bool IsRegularFile(const std::filesystem::path& p) noexcept override {
    return inner_.IsRegularFile(p);
  }
  std::optional<Bytes> ReadAll(const std::filesystem::path& p) noexcept override {
    return inner_.ReadAll(p);
  }
  bool Append(const std::filesystem::path& p, ByteView d) noexcept override {
    return inner_.Append(p, d);
  }
  bool WriteAt(const std::filesystem::path& p, std::uint64_t o, ByteView d,
               bool durable) noexcept override {
    return inner_.WriteAt(p, o, d, durable);
  }
  bool Truncate(const std::filesystem::path& p, std::uint64_t s) noexcept override {
    return inner_.Truncate(p, s);
  }
  bool WriteNew(const std::filesystem::path& p, ByteView d, bool durable) noexcept override {
    return inner_.WriteNew(p, d, durable);
  }
  bool Replace(const std::filesystem::path& p, ByteView d) noexcept override {
    return inner_.Replace(p, d);
  }
  bool RenameNoReplace(const std::filesystem::path& from,
                       const std::filesystem::path& to) noexcept override {
    return inner_.RenameNoReplace(from, to);
  }
  bool RenameNoFlush(const std::filesystem::path& from,
                     const std::filesystem::path& to) noexcept override {
    return inner_.RenameNoFlush(from, to);
  }
  bool FlushFile(const std::filesystem::path& p) noexcept override { return inner_.FlushFile(p); }
  bool FlushFolder(const std::filesystem::path& d) noexcept override {
    return inner_.FlushFolder(d);
  }
  std::unique_ptr<UpdatableFile> OpenForUpdate(const std::filesystem::path& p) noexcept override {
    return inner_.OpenForUpdate(p);
  }
  bool Remove(const std::filesystem::path& p) noexcept override { return inner_.Remove(p); }
  bool CreateDirectories(const std::filesystem::path& d) noexcept override {
    return inner_.CreateDirectories(d);
  }
  std::vector<DirEntry> List(const std::filesystem::path& d) noexcept override {
    return inner_.List(d);
  }

 private:
  FileSystem& inner_;
};

}  // namespace kestrel::test
