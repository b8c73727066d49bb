#pragma once

// Small pieces the benchmarks share: a scratch folder on the real disk and an
// operator log that keeps nothing.

#include <filesystem>
#include <random>
#include <string>
#include <system_error>

#include "platform/operator_log.h"

namespace kestrel::bench {

class ScratchDir {
 public:
  ScratchDir() {
    std::random_device rd;
    path_ = std::filesystem::temp_directory_path() /
            ("kestrel-bench-" + std::to_string(rd()) + "-" + std::to_string(rd()));
    std::filesystem::create_directories(path_);
  }
  ~ScratchDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::filesystem::path& Path() const { return path_; }

 private:
  std::filesystem::path path_;
};

class SilentLog final : public OperatorLog {
 public:
  void Report(const std::string&) override {}
};

}  // namespace kestrel::bench
