#pragma once

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "tests/support/forwarding_file_system.h"

namespace kestrel::test {

// A disk that is slow for everybody but one thread: each operation made on any
// other thread takes `delay` longer. The fast thread is the one that made the
// object (a test's own thread, standing for the window thread).
class SlowFileSystem final : public ForwardingFileSystem {
 public:
  SlowFileSystem(FileSystem& inner, std::chrono::milliseconds delay)
      : ForwardingFileSystem(inner), delay_(delay), fast_(std::this_thread::get_id()) {}

  bool Exists(const std::filesystem::path& p) noexcept override {
    return Slow(), ForwardingFileSystem::Exists(p);
  }
  bool IsRegularFile(const std::filesystem::path& p) noexcept override {
    return Slow(), ForwardingFileSystem::IsRegularFile(p);
  }
  std::optional<Bytes> ReadAll(const std::filesystem::path& p) noexcept override {
    return Slow(), ForwardingFileSystem::ReadAll(p);
  }
  bool WriteNew(const std::filesystem::path& p, ByteView d, bool durable) noexcept override {
    return Slow(), ForwardingFileSystem::WriteNew(p, d, durable);
  }
  bool RenameNoReplace(const std::filesystem::path& from,
                       const std::filesystem::path& to) noexcept override {
    return Slow(), ForwardingFileSystem::RenameNoReplace(from, to);
  }
  bool RenameNoFlush(const std::filesystem::path& from,
                     const std::filesystem::path& to) noexcept override {
    return Slow(), ForwardingFileSystem::RenameNoFlush(from, to);
  }
  bool FlushFile(const std::filesystem::path& p) noexcept override {
    return Slow(), ForwardingFileSystem::FlushFile(p);
  }
  bool FlushFolder(const std::filesystem::path& d) noexcept override {
    return Slow(), ForwardingFileSystem::FlushFolder(d);
  }
  bool Remove(const std::filesystem::path& p) noexcept override {
    return Slow(), ForwardingFileSystem::Remove(p);
  }
  bool CreateDirectories(const std::filesystem::path& d) noexcept override {
    return Slow(), ForwardingFileSystem::CreateDirectories(d);
  }
  std::vector<DirEntry> List(const std::filesystem::path& d) noexcept override {
    return Slow(), ForwardingFileSystem::List(d);
  }

 private:
  void Slow() const noexcept {
    if (std::this_thread::get_id() != fast_) std::this_thread::sleep_for(delay_);
  }

  std::chrono::milliseconds delay_;
  std::thread::id fast_;
};

}  // namespace kestrel::test
