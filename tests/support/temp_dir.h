#pragma once

#include <atomic>
#include <filesystem>
#include <random>
#include <stdexcept>
#include <string>
#include <system_error>

#include "platform/bytes.h"

namespace kestrel::test {

// A fresh folder under the system's temporary folder, removed with its content
// when the object goes. The tests' and the benchmarks' scratch folder; defined
// here in full, so the benchmarks use it without linking the test support.
class TempDir {
 public:
  // The folder's name starts with `prefix`.
  explicit TempDir(const std::string& prefix = "kestrel-test") {
    static std::atomic<unsigned> counter{0};
    std::random_device rd;
    const auto base = std::filesystem::temp_directory_path();
    for (int attempt = 0; attempt < 100; ++attempt) {
      auto candidate =
          base / (prefix + "-" + std::to_string(rd()) + "-" + std::to_string(counter.fetch_add(1)));
      std::error_code ec;
      if (std::filesystem::create_directory(candidate, ec)) {
        path_ = candidate;
        return;
      }
    }
    throw std::runtime_error("cannot make a temporary folder");
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& Path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

// Small file helpers for assertions.
Bytes ReadFileBytes(const std::filesystem::path& p);
void WriteFileBytes(const std::filesystem::path& p, const Bytes& data);
void WriteFileText(const std::filesystem::path& p, const std::string& text);
std::string ReadFileText(const std::filesystem::path& p);

}  // namespace kestrel::test
