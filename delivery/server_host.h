#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace kestrel {

class FileSystem;

// Where the message server is: section ServerHost of drvkestrel.ini.
struct ServerHost {
  static constexpr const char* kDefaultAddress = "127.0.0.1";
  static constexpr std::int32_t kDefaultPort = 12543;

  std::string address = kDefaultAddress;  // Windows-1251 text as written in the file
  std::int32_t port = kDefaultPort;       // as written; may lie outside 1..65535

  bool PortValid() const { return port >= 1 && port <= 65535; }
};

// Reads Address and Port from the settings file in workDir through `files`, afresh
// on every call (a missing file, section or key gives the default; an unreadable
// file too).
ServerHost ReadServerHost(FileSystem& files, const std::filesystem::path& workDir);

}  // namespace kestrel
