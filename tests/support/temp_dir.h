#pragma once

#include <filesystem>
#include <string>

#include "platform/bytes.h"

namespace kestrel::test {

// A fresh folder under the system's temporary folder, removed with its content
// when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
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
