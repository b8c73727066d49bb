#include "platform/file_system.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <string>
#include <system_error>

#include "platform/folder_listing.h"
#include "platform/no_throw.h"

namespace kestrel {
namespace fs = std::filesystem;
namespace {

// An open file descriptor, closed when the object goes.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  Fd(Fd&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  Fd& operator=(Fd&& other) noexcept {
    if (this != &other) {
      if (fd_ >= 0) ::close(fd_);
      fd_ = other.fd_;
      other.fd_ = -1;
    }
    return *this;
  }

  int Get() const { return fd_; }
  bool Valid() const { return fd_ >= 0; }
  // Closes now and tells whether the close succeeded (some file systems report
  // write errors only here). The descriptor is gone either way.
  bool Close() {
    if (fd_ < 0) return true;
    const int rc = ::close(fd_);
    fd_ = -1;
    return rc == 0 || errno == EINTR;  // on Linux the descriptor is released even on EINTR
  }

 private:
  int fd_;
};

// Never through a symbolic link: a link in place of a file fails with ELOOP.
int OpenRetry(const char* name, int flags, mode_t mode = 0666) {
  int fd;
  do {
    fd = ::open(name, flags | O_CLOEXEC | O_NOFOLLOW, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// Opens a file that exists already, for reading or writing it. Without blocking: a
// FIFO or a device in place of the file must never hold the caller up (a FIFO
// opened for reading waits for a writer otherwise). Anything but a regular file
// is refused, so it is never read from or written to.
Fd OpenExistingRegular(const fs::path& p, int flags) {
  Fd fd(OpenRetry(p.c_str(), flags | O_NONBLOCK));
  if (!fd.Valid()) return fd;
  struct stat st {};
  if (::fstat(fd.Get(), &st) == 0 && S_ISREG(st.st_mode)) return fd;
  fd.Close();
  errno = EINVAL;  // there, but not a file we may use
  return Fd();
}

bool WriteAll(int fd, ByteView data) {
  const std::uint8_t* p = data.data();
  std::size_t left = data.size();
  while (left > 0) {
    const ssize_t n = ::write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) return false;  // no progress: treat as a full device
    p += n;
    left -= static_cast<std::size_t>(n);
  }
  return true;
}

bool PWriteAll(int fd, std::uint64_t offset, ByteView data) {
  const std::uint8_t* p = data.data();
  std::size_t left = data.size();
  while (left > 0) {
    const ssize_t n = ::pwrite(fd, p, left, static_cast<off_t>(offset));
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) return false;
    p += n;
    left -= static_cast<std::size_t>(n);
    offset += static_cast<std::uint64_t>(n);
  }
  return true;
}

bool Sync(int fd) {
  int rc;
  do {
    rc = ::fsync(fd);
  } while (rc != 0 && errno == EINTR);
  return rc == 0;
}

fs::path ParentOf(const fs::path& p) {
  fs::path parent = p.parent_path();
  return parent.empty() ? fs::path(".") : parent;
}

// Makes a new name, a rename or a removal in the folder durable.
bool SyncDirectoryOf(const fs::path& p) noexcept {
  return NoThrow([&] {
    // A folder may be reached through a link (the administrator's choice of place).
    Fd dir(::open(ParentOf(p).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir.Valid()) return false;
    // Some file systems cannot flush a folder (EINVAL); the data itself is safe then.
    return Sync(dir.Get()) || errno == EINVAL;
  });
}

void RemoveQuietly(const fs::path& p) { ::unlink(p.c_str()); }

// A name beside `target` that no other writer uses at the same time.
fs::path TemporaryNameBeside(const fs::path& target) {
  static std::atomic<unsigned> counter{0};
  fs::path name = target;
  name += ".tmp" + std::to_string(::getpid()) + "-" + std::to_string(counter.fetch_add(1));
  return name;
}

}  // namespace

std::string LastDiskFailureText() {
  switch (errno) {
    case ENOSPC:
      return "диск заполнен";
    case EDQUOT:
      return "превышена квота диска";
    case EROFS:
      return "диск только для чтения";
    case EACCES:
    case EPERM:
      return "нет прав";
    case EIO:
      return "ошибка ввода-вывода";
    default:
      return {};
  }
}

// Questions only: the reason of an earlier failure (errno) stays as it was.
bool DiskFileSystem::Exists(const fs::path& p) noexcept {
  const int saved = errno;
  struct stat st {};
  const bool there = ::lstat(p.c_str(), &st) == 0;
  errno = saved;
  return there;
}

bool DiskFileSystem::IsRegularFile(const fs::path& p) noexcept {
  const int saved = errno;
  struct stat st {};
  const bool file = ::lstat(p.c_str(), &st) == 0 && S_ISREG(st.st_mode);
  errno = saved;
  return file;
}

std::optional<Bytes> DiskFileSystem::ReadAll(const fs::path& p) noexcept {
  Fd fd = OpenExistingRegular(p, O_RDONLY);
  if (!fd.Valid()) return std::nullopt;
  struct stat st {};
  if (::fstat(fd.Get(), &st) != 0) return std::nullopt;
  return NoThrow([&]() -> std::optional<Bytes> {
    Bytes out;
    if (st.st_size > 0) out.reserve(static_cast<std::size_t>(st.st_size));
    std::uint8_t buf[65536];
    for (;;) {
      const ssize_t n = ::read(fd.Get(), buf, sizeof buf);
      if (n < 0) {
        if (errno == EINTR) continue;
        return std::nullopt;
      }
      if (n == 0) break;
      out.insert(out.end(), buf, buf + n);
    }
    return out;
  });
}

bool DiskFileSystem::Append(const fs::path& p, ByteView data) noexcept {
  // Made new when missing (nothing else can be there then); an existing name must
  // be a regular file. Another process may remove or make the file in between:
  // a few turns settle that.
  Fd fd;
  for (int attempt = 0; attempt < 8 && !fd.Valid(); ++attempt) {
    fd = Fd(OpenRetry(p.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_APPEND));
    if (fd.Valid() || errno != EEXIST) break;
    fd = OpenExistingRegular(p, O_WRONLY | O_APPEND);
    if (!fd.Valid() && errno != ENOENT) break;
  }
  if (!fd.Valid()) return false;
  const bool ok = WriteAll(fd.Get(), data);
  return fd.Close() && ok;
}

bool DiskFileSystem::WriteAt(const fs::path& p, std::uint64_t offset, ByteView data,
                             bool durable) noexcept {
  bool created = true;
  Fd fd(OpenRetry(p.c_str(), O_WRONLY | O_CREAT | O_EXCL));
  if (!fd.Valid() && errno == EEXIST) {
    created = false;
    fd = OpenExistingRegular(p, O_WRONLY);
  }
  if (!fd.Valid()) return false;
  bool ok = PWriteAll(fd.Get(), offset, data);
  if (ok && durable) ok = Sync(fd.Get());
  ok = fd.Close() && ok;
  if (ok && durable && created) ok = SyncDirectoryOf(p);
  return ok;
}

bool DiskFileSystem::Truncate(const fs::path& p, std::uint64_t size) noexcept {
  Fd fd = OpenExistingRegular(p, O_WRONLY);
  if (!fd.Valid()) return false;
  int rc;
  do {
    rc = ::ftruncate(fd.Get(), static_cast<off_t>(size));
  } while (rc != 0 && errno == EINTR);
  const bool ok = rc == 0 && Sync(fd.Get());
  return fd.Close() && ok;
}

bool DiskFileSystem::WriteNew(const fs::path& p, ByteView data, bool durable) noexcept {
  Fd fd(OpenRetry(p.c_str(), O_WRONLY | O_CREAT | O_EXCL));
  if (!fd.Valid()) return false;  // exists already, or cannot be made: nothing of ours to remove
  bool ok = WriteAll(fd.Get(), data);
  if (ok && durable) ok = Sync(fd.Get());
  ok = fd.Close() && ok;
  if (ok && durable) ok = SyncDirectoryOf(p);
  if (!ok) RemoveQuietly(p);
  return ok;
}

bool DiskFileSystem::Replace(const fs::path& p, ByteView data) noexcept {
  return NoThrow([&] {
    // A link of the name is replaced by the file itself, never written through, so
    // nothing it leads to is touched. A folder or anything else stays as it is.
    struct stat st {};
    const bool existed = ::lstat(p.c_str(), &st) == 0;
    if (existed && !S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode)) return false;
    const bool keepMode = existed && S_ISREG(st.st_mode);  // the rights of the file replaced

    fs::path temp;
    Fd fd;
    for (int attempt = 0; attempt < 100 && !fd.Valid(); ++attempt) {
      temp = TemporaryNameBeside(p);
      fd = Fd(OpenRetry(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL, keepMode ? 0600 : 0666));
      if (!fd.Valid() && errno != EEXIST) return false;
    }
    if (!fd.Valid()) return false;
    bool ok = WriteAll(fd.Get(), data);
    if (ok && keepMode) ::fchmod(fd.Get(), st.st_mode & 07777);  // best effort: else 0600
    if (ok) ok = Sync(fd.Get());
    ok = fd.Close() && ok;
    if (ok) ok = ::rename(temp.c_str(), p.c_str()) == 0;
    if (!ok) {
      RemoveQuietly(temp);
      return false;
    }
    SyncDirectoryOf(p);  // the new content is in place; this only hardens the rename
    return true;
  });
}

bool DiskFileSystem::RenameNoReplace(const fs::path& from, const fs::path& to) noexcept {
  int rc = ::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE);
  if (rc != 0 && (errno == EINVAL || errno == ENOSYS)) {
    // The file system cannot do it in one step: a hard link fails when `to`
    // exists, so nothing is ever replaced.
    if (::link(from.c_str(), to.c_str()) != 0) return false;
    if (::unlink(from.c_str()) != 0) {
      ::unlink(to.c_str());
      return false;
    }
    rc = 0;
  }
  if (rc != 0) return false;
  SyncDirectoryOf(to);
  // The rename is done; a failure here only leaves it less hardened.
  NoThrow([&] { return ParentOf(from) != ParentOf(to) && SyncDirectoryOf(from); });
  return true;
}

bool DiskFileSystem::Remove(const fs::path& p) noexcept { return ::remove(p.c_str()) == 0; }

bool DiskFileSystem::CreateDirectories(const fs::path& dir) noexcept {
  return NoThrow([&] {
    std::error_code ec;
    fs::create_directories(dir, ec);
    return fs::is_directory(dir, ec) && !ec;
  });
}

std::vector<DirEntry> DiskFileSystem::List(const fs::path& dir) noexcept { return ListFolder(dir); }

}  // namespace kestrel

// Flushing and positioned updates: used by the group flusher and the transmitter
// table, which keep flushes off the window thread.
namespace kestrel {
namespace {

bool DataSync(int fd) {
  int rc;
  do {
    rc = ::fdatasync(fd);
  } while (rc != 0 && errno == EINTR);
  return rc == 0;
}

class DiskUpdatableFile final : public UpdatableFile {
 public:
  explicit DiskUpdatableFile(int fd) : fd_(fd) {}
  ~DiskUpdatableFile() override { ::close(fd_); }
  DiskUpdatableFile(const DiskUpdatableFile&) = delete;
  DiskUpdatableFile& operator=(const DiskUpdatableFile&) = delete;

  bool WriteAt(std::uint64_t offset, ByteView data) noexcept override {
    return PWriteAll(fd_, offset, data);
  }
  bool Sync() noexcept override { return DataSync(fd_); }
  std::optional<std::uint64_t> Size() noexcept override {
    struct stat st {};
    if (::fstat(fd_, &st) != 0) return std::nullopt;
    return static_cast<std::uint64_t>(st.st_size);
  }
  bool IsStillAt(const fs::path& p) noexcept override {
    struct stat mine {};
    struct stat named {};
    if (::fstat(fd_, &mine) != 0 || ::lstat(p.c_str(), &named) != 0) return false;
    return S_ISREG(named.st_mode) && mine.st_dev == named.st_dev && mine.st_ino == named.st_ino;
  }

 private:
  int fd_;
};

int OpenNoIntr(const char* name, int flags) {
  int fd;
  do {
    fd = ::open(name, flags | O_CLOEXEC | O_NOFOLLOW);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

}  // namespace

bool DiskFileSystem::RenameNoFlush(const fs::path& from, const fs::path& to) noexcept {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
    return true;
  }
  if (errno != EINVAL && errno != ENOSYS) return false;
  // No one-step rename here: a hard link fails when `to` exists, so nothing is replaced.
  if (::link(from.c_str(), to.c_str()) != 0) return false;
  if (::unlink(from.c_str()) != 0) {
    ::unlink(to.c_str());
    return false;
  }
  return true;
}

bool DiskFileSystem::FlushFile(const fs::path& p) noexcept {
  Fd fd = OpenExistingRegular(p, O_RDONLY);
  if (!fd.Valid()) return false;
  const bool ok = DataSync(fd.Get());
  return fd.Close() && ok;
}

bool DiskFileSystem::FlushFolder(const fs::path& dir) noexcept {
  // A folder may be reached through a link (the administrator's choice of place).
  const int fd = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  int rc;
  do {
    rc = ::fsync(fd);
  } while (rc != 0 && errno == EINTR);
  // Some file systems cannot flush a folder (EINVAL); their names need no flush.
  const bool ok = rc == 0 || errno == EINVAL;
  ::close(fd);
  return ok;
}

std::unique_ptr<UpdatableFile> DiskFileSystem::OpenForUpdate(const fs::path& p) noexcept {
  const int fd = OpenNoIntr(p.c_str(), O_RDWR | O_NONBLOCK);
  if (fd < 0) return nullptr;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return nullptr;
  }
  auto file = NoThrow(
      [&]() -> std::unique_ptr<UpdatableFile> { return std::make_unique<DiskUpdatableFile>(fd); });
  if (!file) ::close(fd);
  return file;
}

}  // namespace kestrel
