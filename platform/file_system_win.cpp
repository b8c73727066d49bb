// The disk on Windows (the POSIX version is file_system.cpp). Paths are handed to the
// wide-character functions, so any name the file system can hold can be used.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <string>
#include <system_error>

#include "platform/file_system.h"
#include "platform/folder_listing.h"
#include "platform/no_throw.h"
#include "platform/paths.h"

namespace kestrel {
namespace fs = std::filesystem;
namespace {

// Everything but exclusive use: the raw log and the table may be open elsewhere,
// and a file being read may be renamed or deleted meanwhile.
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// An open file handle, closed when the object goes.
class Handle {
 public:
  explicit Handle(HANDLE h = INVALID_HANDLE_VALUE) : h_(h) {}
  ~Handle() {
    if (Valid()) ::CloseHandle(h_);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  Handle(Handle&& other) noexcept : h_(other.h_) { other.h_ = INVALID_HANDLE_VALUE; }

  HANDLE Get() const { return h_; }
  bool Valid() const { return h_ != INVALID_HANDLE_VALUE && h_ != nullptr; }
  bool Close() {
    if (!Valid()) return true;
    const bool ok = ::CloseHandle(h_) != 0;
    h_ = INVALID_HANDLE_VALUE;
    return ok;
  }

 private:
  HANDLE h_;
};

// True when the name is an existing plain disk file: not a folder, not a device
// (CON, NUL, COM1, ...), not a pipe, not a link (a reparse point is never followed).
// Asked before opening, so that opening never reaches a device (opening a serial
// port alone changes its lines) or waits on one.
bool IsPlainFileName(const fs::path& p) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!::GetFileAttributesExW(p.c_str(), GetFileExInfoStandard, &data)) return false;
  return (data.dwFileAttributes &
          (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
}

// True when the open handle is a file on a disk (the name may still have led
// elsewhere, for example through a link).
bool IsDiskFile(HANDLE h) {
  if (::GetFileType(h) != FILE_TYPE_DISK) return false;
  BY_HANDLE_FILE_INFORMATION info{};
  if (!::GetFileInformationByHandle(h, &info)) return false;
  return (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
}

// Opens the name itself: a link (reparse point) is opened as what it is, never
// followed, and then refused as no plain file.
Handle Open(const fs::path& p, DWORD access, DWORD disposition) {
  return Handle(::CreateFileW(p.c_str(), access, kShareAll, nullptr, disposition,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
}

// Opens an existing or new disk file; an invalid handle for anything else.
Handle OpenDiskFile(const fs::path& p, DWORD access, DWORD disposition) {
  if (disposition != CREATE_NEW && ::GetFileAttributesW(p.c_str()) != INVALID_FILE_ATTRIBUTES &&
      !IsPlainFileName(p)) {
    return Handle();
  }
  Handle h = Open(p, access, disposition);
  if (h.Valid() && !IsDiskFile(h.Get())) return Handle();
  return h;
}

constexpr DWORD kMaxChunk = 1u << 30;
// The offset that stands for "at the end of the file as it is at the time of the write".
constexpr std::uint64_t kEndOfFile = ~std::uint64_t{0};

// Writes all of data at the handle's position, or at `offset` when given.
bool WriteAll(HANDLE h, ByteView data, const std::uint64_t* offset = nullptr) {
  const std::uint8_t* p = data.data();
  std::size_t left = data.size();
  std::uint64_t at = offset ? *offset : 0;
  while (left > 0) {
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(left, kMaxChunk));
    DWORD written = 0;
    OVERLAPPED where{};
    where.Offset = static_cast<DWORD>(at & 0xFFFFFFFFu);
    where.OffsetHigh = static_cast<DWORD>(at >> 32);
    if (!::WriteFile(h, p, chunk, &written, offset ? &where : nullptr)) return false;
    if (written == 0) return false;  // no progress: treat as a full device
    p += written;
    left -= written;
    if (at != kEndOfFile) at += written;
  }
  return true;
}

// Data and the file's own metadata to the disk. On NTFS this also commits the
// journal up to the file's creation, so a new file's name is durable with it.
bool Flush(HANDLE h) { return ::FlushFileBuffers(h) != 0; }

void RemoveQuietly(const fs::path& p) { ::DeleteFileW(p.c_str()); }

// A name beside `target` that no other writer uses at the same time.
fs::path TemporaryNameBeside(const fs::path& target) {
  static std::atomic<unsigned> counter{0};
  fs::path name = target;
  name +=
      ".tmp" + std::to_string(::GetCurrentProcessId()) + "-" + std::to_string(counter.fetch_add(1));
  return name;
}

// Makes a fresh temporary file beside `target`, holding all of data, flushed when
// asked. Returns its name, or an empty path (and leaves nothing) on failure.
fs::path WriteTemporaryBeside(const fs::path& target, ByteView data, bool durable) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    const fs::path temp = TemporaryNameBeside(target);
    Handle h = Open(temp, GENERIC_WRITE, CREATE_NEW);
    if (!h.Valid()) {
      const DWORD error = ::GetLastError();
      if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) continue;
      return {};
    }
    bool ok = WriteAll(h.Get(), data);
    if (ok && durable) ok = Flush(h.Get());
    ok = h.Close() && ok;
    if (ok) return temp;
    RemoveQuietly(temp);
    return {};
  }
  return {};
}

}  // namespace

std::string LastDiskFailureText() {
  switch (::GetLastError()) {
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return "диск заполнен";
    case ERROR_WRITE_PROTECT:
      return "диск только для чтения";
    case ERROR_ACCESS_DENIED:
      return "нет прав";
    default:
      return {};
  }
}

bool DiskFileSystem::Exists(const fs::path& p) noexcept {
  // The attributes of the name itself: a link that leads nowhere is there too.
  return ::GetFileAttributesW(p.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool DiskFileSystem::IsRegularFile(const fs::path& p) noexcept { return IsPlainFileName(p); }

std::optional<Bytes> DiskFileSystem::ReadAll(const fs::path& p) noexcept {
  return NoThrow([&]() -> std::optional<Bytes> {
    if (!IsPlainFileName(p)) return std::nullopt;
    Handle h = OpenDiskFile(p, GENERIC_READ, OPEN_EXISTING);
    if (!h.Valid()) return std::nullopt;
    Bytes out;
    LARGE_INTEGER size{};
    if (::GetFileSizeEx(h.Get(), &size) && size.QuadPart > 0) {
      out.reserve(static_cast<std::size_t>(size.QuadPart));
    }
    std::uint8_t buf[65536];
    for (;;) {
      DWORD n = 0;
      if (!::ReadFile(h.Get(), buf, sizeof buf, &n, nullptr)) return std::nullopt;
      if (n == 0) break;
      out.insert(out.end(), buf, buf + n);
    }
    return out;
  });
}

bool DiskFileSystem::Append(const fs::path& p, ByteView data) noexcept {
  // With append access only, every write goes to the end of the file as it is then,
  // whoever else appends meanwhile. Not every implementation of the Windows API makes
  // that one step (Wine finds the end, then writes there), so the appends of this
  // process also take turns.
  static std::mutex appending;
  const std::lock_guard<std::mutex> turn(appending);
  Handle h = OpenDiskFile(p, FILE_APPEND_DATA | SYNCHRONIZE, OPEN_ALWAYS);
  if (!h.Valid()) return false;
  const bool ok = WriteAll(h.Get(), data, &kEndOfFile);
  return h.Close() && ok;
}

bool DiskFileSystem::WriteAt(const fs::path& p, std::uint64_t offset, ByteView data,
                             bool durable) noexcept {
  Handle h = OpenDiskFile(p, GENERIC_WRITE, OPEN_ALWAYS);
  if (!h.Valid()) return false;
  bool ok = WriteAll(h.Get(), data, &offset);
  if (ok && durable) ok = Flush(h.Get());
  return h.Close() && ok;
}

bool DiskFileSystem::Truncate(const fs::path& p, std::uint64_t size) noexcept {
  Handle h = OpenDiskFile(p, GENERIC_WRITE, OPEN_EXISTING);
  if (!h.Valid()) return false;
  FILE_END_OF_FILE_INFO end{};
  end.EndOfFile.QuadPart = static_cast<LONGLONG>(size);
  const bool ok =
      ::SetFileInformationByHandle(h.Get(), FileEndOfFileInfo, &end, sizeof end) && Flush(h.Get());
  return h.Close() && ok;
}

bool DiskFileSystem::WriteNew(const fs::path& p, ByteView data, bool durable) noexcept {
  return NoThrow([&]() -> bool {
    // Written in full beside the name first, then renamed without replacing: the file
    // appears whole or not at all, and an existing one is never touched.
    if (::GetFileAttributesW(p.c_str()) != INVALID_FILE_ATTRIBUTES) return false;
    const fs::path temp = WriteTemporaryBeside(p, data, durable);
    if (temp.empty()) return false;
    const DWORD flags = durable ? MOVEFILE_WRITE_THROUGH : 0;
    if (!::MoveFileExW(temp.c_str(), p.c_str(), flags)) {
      RemoveQuietly(temp);
      return false;
    }
    return true;
  });
}

bool DiskFileSystem::Replace(const fs::path& p, ByteView data) noexcept {
  return NoThrow([&]() -> bool {
    // A plain file, or a link of the name (replaced itself, never written through);
    // never a folder or a device.
    const fs::path& target = p;
    const DWORD attributes = ::GetFileAttributesW(target.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && !IsPlainFileName(target) &&
        ((attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0 ||
         (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0)) {
      return false;
    }
    const fs::path temp = WriteTemporaryBeside(target, data, true);
    if (temp.empty()) return false;
    // Write-through: the call returns once the rename is on the disk.
    if (!::MoveFileExW(temp.c_str(), target.c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      RemoveQuietly(temp);
      return false;
    }
    return true;
  });
}

bool DiskFileSystem::RenameNoReplace(const fs::path& from, const fs::path& to) noexcept {
  // Without MOVEFILE_REPLACE_EXISTING the move fails when `to` exists.
  return ::MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_WRITE_THROUGH) != 0;
}

bool DiskFileSystem::Remove(const fs::path& p) noexcept {
  if (::DeleteFileW(p.c_str())) return true;
  const DWORD attributes = ::GetFileAttributesW(p.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
         ::RemoveDirectoryW(p.c_str());
}

bool DiskFileSystem::CreateDirectories(const fs::path& dir) noexcept {
  return NoThrow([&]() -> bool {
    std::error_code ec;
    fs::create_directories(dir, ec);
    return fs::is_directory(dir, ec) && !ec;
  });
}

std::vector<DirEntry> DiskFileSystem::List(const fs::path& dir) noexcept { return ListFolder(dir); }

// Flushing and positioned updates: used by the group flusher and the transmitter
// table, which keep flushes off the window thread.
namespace {

class DiskUpdatableFile final : public UpdatableFile {
 public:
  explicit DiskUpdatableFile(Handle h) : h_(std::move(h)) {}
  bool WriteAt(std::uint64_t offset, ByteView data) noexcept override {
    return WriteAll(h_.Get(), data, &offset);
  }
  bool Sync() noexcept override { return Flush(h_.Get()); }
  std::optional<std::uint64_t> Size() noexcept override {
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(h_.Get(), &size)) return std::nullopt;
    return static_cast<std::uint64_t>(size.QuadPart);
  }
  bool IsStillAt(const fs::path& p) noexcept override {
    if (!IsPlainFileName(p)) return false;
    Handle named(::CreateFileW(p.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                               FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    BY_HANDLE_FILE_INFORMATION mine{};
    BY_HANDLE_FILE_INFORMATION theirs{};
    if (!named.Valid() || !::GetFileInformationByHandle(h_.Get(), &mine) ||
        !::GetFileInformationByHandle(named.Get(), &theirs)) {
      return false;
    }
    return mine.dwVolumeSerialNumber == theirs.dwVolumeSerialNumber &&
           mine.nFileIndexHigh == theirs.nFileIndexHigh &&
           mine.nFileIndexLow == theirs.nFileIndexLow;
  }

 private:
  Handle h_;
};

}  // namespace

bool DiskFileSystem::RenameNoFlush(const fs::path& from, const fs::path& to) noexcept {
  // Without MOVEFILE_REPLACE_EXISTING the move fails when `to` exists; without
  // MOVEFILE_WRITE_THROUGH it returns before the rename is on the disk.
  return ::MoveFileExW(from.c_str(), to.c_str(), 0) != 0;
}

bool DiskFileSystem::FlushFile(const fs::path& p) noexcept {
  // FlushFileBuffers needs write access. NTFS commits its journal with it, which
  // makes the file's name durable too.
  Handle h = OpenDiskFile(p, GENERIC_WRITE, OPEN_EXISTING);
  if (!h.Valid()) return false;
  const bool ok = Flush(h.Get());
  return h.Close() && ok;
}

bool DiskFileSystem::FlushFolder(const fs::path& dir) noexcept {
  // A folder opened with backup semantics can be flushed on NTFS (the journal up
  // to now: names created, renamed and removed in it). Where the file system
  // refuses (FAT, network shares, no right to open the folder for writing), there
  // is nothing more to do: FlushFile has already committed what NTFS can.
  const fs::path folder = dir.empty() ? fs::path(L".") : dir;
  Handle h(::CreateFileW(folder.c_str(), GENERIC_READ | GENERIC_WRITE, kShareAll, nullptr,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!h.Valid()) {
    const DWORD attributes = ::GetFileAttributesW(folder.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
  }
  const bool ok = Flush(h.Get()) || ::GetLastError() == ERROR_INVALID_FUNCTION ||
                  ::GetLastError() == ERROR_ACCESS_DENIED;
  h.Close();
  return ok;
}

std::unique_ptr<UpdatableFile> DiskFileSystem::OpenForUpdate(const fs::path& p) noexcept {
  Handle h = OpenDiskFile(p, GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING);
  if (!h.Valid()) return nullptr;
  return NoThrow([&]() -> std::unique_ptr<UpdatableFile> {
    return std::make_unique<DiskUpdatableFile>(std::move(h));
  });
}

}  // namespace kestrel
