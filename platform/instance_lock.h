#pragma once

#include <filesystem>
#include <memory>
#include <string>

namespace kestrel {

// The lock file of a working folder: one driver per folder.
inline constexpr char kInstanceLockFileName[] = "drvkestrel.lock";

// An exclusive lock on a file, held for the life of the object and released by the
// operating system when the process ends in any way (so a crash leaves no stale
// lock behind). Not inherited by child processes.
class InstanceLock {
 public:
  ~InstanceLock();
  InstanceLock(const InstanceLock&) = delete;
  InstanceLock& operator=(const InstanceLock&) = delete;

  // Takes the lock on `path`, creating the file when missing, without waiting.
  // On success the file holds this process's id as text. nullptr when another
  // process holds it or the file cannot be opened; `why` then says which (and,
  // when known, the holder's process id).
  static std::unique_ptr<InstanceLock> TryAcquire(const std::filesystem::path& path,
                                                  std::string& why);

 private:
  struct Handle;
  explicit InstanceLock(std::unique_ptr<Handle> handle);
  std::unique_ptr<Handle> handle_;
};

}  // namespace kestrel
