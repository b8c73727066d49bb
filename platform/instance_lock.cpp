#include "platform/instance_lock.h"

#include <cstring>
#include <string>
#include <utility>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace kestrel {

#ifdef _WIN32

struct InstanceLock::Handle {
  HANDLE file = INVALID_HANDLE_VALUE;
  ~Handle() {
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  }
};

std::unique_ptr<InstanceLock> InstanceLock::TryAcquire(const std::filesystem::path& path,
                                                       std::string& why) {
  auto h = std::make_unique<Handle>();
  // No sharing: a second open of the file fails while this handle lives.
  // The name itself: a link is opened as what it is (never followed), then refused.
  h->file =
      CreateFileW(path.wstring().c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h->file == INVALID_HANDLE_VALUE) {
    const DWORD err = GetLastError();
    why = err == ERROR_SHARING_VIOLATION ? "another drvkestrel already runs in this folder"
                                         : "cannot open " + path.string();
    return nullptr;
  }
  BY_HANDLE_FILE_INFORMATION info{};
  if (GetFileType(h->file) != FILE_TYPE_DISK || !GetFileInformationByHandle(h->file, &info) ||
      (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
    why = "cannot use " + path.string() + ": not a regular file";
    return nullptr;
  }
  const std::string pid = std::to_string(GetCurrentProcessId()) + "\n";
  DWORD written = 0;
  SetEndOfFile(h->file);
  WriteFile(h->file, pid.data(), static_cast<DWORD>(pid.size()), &written, nullptr);
  return std::unique_ptr<InstanceLock>(new InstanceLock(std::move(h)));
}

#else

struct InstanceLock::Handle {
  int fd = -1;
  ~Handle() {
    if (fd >= 0) ::close(fd);
  }
};

namespace {

std::string ReadHolder(int fd) {
  char buf[32] = {};
  const ssize_t n = ::pread(fd, buf, sizeof buf - 1, 0);
  if (n <= 0) return {};
  std::string text(buf, static_cast<std::size_t>(n));
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  for (char c : text)
    if (c < '0' || c > '9') return {};
  return text;
}

}  // namespace

std::unique_ptr<InstanceLock> InstanceLock::TryAcquire(const std::filesystem::path& path,
                                                       std::string& why) {
  auto h = std::make_unique<Handle>();
  // Never through a link, and never anything but a plain file: the lock file is
  // truncated and written, which must not reach whatever a link leads to.
  // A link planted under the name is removed (it is no lock of ours), once.
  for (int attempt = 0; attempt < 2; ++attempt) {
    h->fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0644);
    if (h->fd >= 0 || errno != ELOOP || ::unlink(path.c_str()) != 0) break;
  }
  if (h->fd < 0) {
    why = "cannot open " + path.string() + ": " + std::strerror(errno);
    return nullptr;
  }
  struct stat st {};
  if (::fstat(h->fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    why = "cannot use " + path.string() + ": not a regular file";
    return nullptr;
  }
  if (::flock(h->fd, LOCK_EX | LOCK_NB) != 0) {
    const int err = errno;
    if (err == EWOULDBLOCK) {
      const std::string holder = ReadHolder(h->fd);
      why = "another drvkestrel already runs in this folder" +
            (holder.empty() ? std::string() : " (process " + holder + ")");
    } else {
      why = "cannot lock " + path.string() + ": " + std::strerror(err);
    }
    return nullptr;
  }
  // The holder's id, for the message of a second instance; a failure here does
  // not matter for the lock itself.
  const std::string pid = std::to_string(::getpid()) + "\n";
  if (::ftruncate(h->fd, 0) == 0) {
    [[maybe_unused]] const ssize_t n = ::pwrite(h->fd, pid.data(), pid.size(), 0);
  }
  return std::unique_ptr<InstanceLock>(new InstanceLock(std::move(h)));
}

#endif

InstanceLock::InstanceLock(std::unique_ptr<Handle> handle) : handle_(std::move(handle)) {}
InstanceLock::~InstanceLock() = default;

}  // namespace kestrel
