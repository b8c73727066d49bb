#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/bytes.h"

namespace kestrel {

struct DirEntry {
  std::string name;  // file name only, UTF-8 (PathFromUtf8 makes it a path again)
  std::uint64_t size = 0;
  bool regular = false;
  std::filesystem::file_time_type modified{};
};

// A file kept open for repeated writes at byte offsets. Closed when the object goes.
// Like the file system, it reports failure by its results, never by throwing.
class UpdatableFile {
 public:
  virtual ~UpdatableFile() = default;
  // Writes all of data at the offset (the file grows when needed); not yet durable.
  virtual bool WriteAt(std::uint64_t offset, ByteView data) noexcept = 0;
  // Flushes the file's data to stable storage.
  virtual bool Sync() noexcept = 0;
  // The current size, or nullopt when it cannot be told.
  virtual std::optional<std::uint64_t> Size() noexcept = 0;
  // True when the name still leads to this very file, itself (not through a link):
  // false once it was removed, renamed away or replaced by another file.
  virtual bool IsStillAt(const std::filesystem::path& p) noexcept = 0;
};

// The file operations the receiver and delivery layers need. Passed in, so tests
// can make any one of them fail (full disk, no rights) without touching the disk's
// real state. Every operation reports failure by its result, never by throwing.
// Only regular files are read or written: a folder, FIFO or device where a file is
// expected makes the operation fail at once, never wait. Symbolic links are never
// followed: a link where a file is expected is refused like a folder, so nothing
// outside the folders the driver was given is ever read or written through one.
class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // True when anything has the name: a file, a folder, a link (even one that leads
  // nowhere). Links are not followed, so a name that is taken is seen as taken.
  virtual bool Exists(const std::filesystem::path& p) noexcept = 0;
  // True when the name is a regular file itself: not a link (even to a file), not a
  // folder, FIFO or device.
  virtual bool IsRegularFile(const std::filesystem::path& p) noexcept = 0;
  // The whole content; nullopt when the file is missing or cannot be read.
  virtual std::optional<Bytes> ReadAll(const std::filesystem::path& p) noexcept = 0;
  // Appends to the end, creating the file when missing. Other processes may have
  // the file open meanwhile.
  virtual bool Append(const std::filesystem::path& p, ByteView data) noexcept = 0;
  // Writes at a byte offset, creating the file when missing; never truncates.
  // With durable set, the data is flushed to the disk before returning.
  virtual bool WriteAt(const std::filesystem::path& p, std::uint64_t offset, ByteView data,
                       bool durable) noexcept = 0;
  // Cuts the file to the given size.
  virtual bool Truncate(const std::filesystem::path& p, std::uint64_t size) noexcept = 0;
  // Creates a file that must not exist yet, writes all of data, and with durable
  // set flushes it to the disk. On failure no file of that name is left behind.
  virtual bool WriteNew(const std::filesystem::path& p, ByteView data, bool durable) noexcept = 0;
  // Replaces the file's whole content safely: a temporary file beside it, flushed,
  // then renamed over it. A crash leaves the old content or the new, never a mix.
  // A link of that name is replaced by the file, never written through; a folder
  // or anything else that is not a file is left alone (the call fails).
  virtual bool Replace(const std::filesystem::path& p, ByteView data) noexcept = 0;
  // Renames; fails when `to` exists already.
  virtual bool RenameNoReplace(const std::filesystem::path& from,
                               const std::filesystem::path& to) noexcept = 0;
  // Removes a file (or an empty folder); false when it could not be removed,
  // including when it does not exist.
  virtual bool Remove(const std::filesystem::path& p) noexcept = 0;
  // Creates the folder and any missing parents; true when the folder exists afterwards.
  virtual bool CreateDirectories(const std::filesystem::path& dir) noexcept = 0;
  // Entries of a folder (not recursive), sorted by name; empty when it cannot be
  // listed. Size and time are filled for regular files; a link is not one (not followed).
  virtual std::vector<DirEntry> List(const std::filesystem::path& dir) noexcept = 0;

  // Renames without replacing, like RenameNoReplace, but leaves the folder unflushed:
  // the new name is durable only after FlushFolder of both folders.
  virtual bool RenameNoFlush(const std::filesystem::path& from,
                             const std::filesystem::path& to) noexcept = 0;
  // Flushes an existing file's data to stable storage; false when the file is
  // missing or the flush failed.
  virtual bool FlushFile(const std::filesystem::path& p) noexcept = 0;
  // Makes the names created, renamed or removed in the folder durable.
  virtual bool FlushFolder(const std::filesystem::path& dir) noexcept = 0;
  // Opens an existing file for writing at offsets; null when it is missing or
  // cannot be opened. Never creates a file.
  virtual std::unique_ptr<UpdatableFile> OpenForUpdate(const std::filesystem::path& p) noexcept = 0;
};

// Words for why the last failed operation of the real disk on this thread failed,
// for the operator ("диск заполнен", "диск только для чтения", "нет прав"); empty
// when the reason is none of the known ones.
std::string LastDiskFailureText();

// The real disk.
class DiskFileSystem final : public FileSystem {
 public:
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
};

}  // namespace kestrel
