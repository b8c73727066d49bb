#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace kestrel {

class FileSystem;

// Where the message server is, and how the link talks to it: section ServerHost of
// drvkestrel.ini.
struct ServerHost {
  static constexpr const char* kDefaultAddress = "127.0.0.1";
  static constexpr std::int32_t kDefaultPort = 12543;
  static constexpr std::int32_t kDefaultBlockGapMs = 20;
  static constexpr std::int32_t kMaxBlockGapMs = 1000;
  static constexpr std::int32_t kDefaultFailoverAfterS = 15;
  static constexpr std::int32_t kDefaultFailbackAfterS = 60;
  static constexpr std::int32_t kMaxSwitchDelayS = 86400;

  std::string address = kDefaultAddress;  // Windows-1251 text as written in the file
  std::int32_t port = kDefaultPort;       // as written; may lie outside 1..65535

  // Least time between the start of one block and the next (0..1000; values outside
  // are brought to the nearer end).
  std::int32_t blockGapMs = kDefaultBlockGapMs;

  // The standby server: present when BackupAddress or BackupPort is written (the
  // one not written is the primary's). Absent, or the same as the primary: none.
  bool standbyWritten = false;
  std::string backupAddress;
  std::int32_t backupPort = 0;  // as written; may lie outside 1..65535
  // Seconds without a working connection to the primary before the standby is
  // taken, and between tries of the primary while on the standby (1..86400).
  std::int32_t failoverAfterS = kDefaultFailoverAfterS;
  std::int32_t failbackAfterS = kDefaultFailbackAfterS;

  bool PortValid() const { return port >= 1 && port <= 65535; }
  bool BackupPortValid() const { return backupPort >= 1 && backupPort <= 65535; }
  // A standby the link may use: written, with a valid port, and not the primary.
  bool HasStandby() const {
    return standbyWritten && BackupPortValid() && !(backupAddress == address && backupPort == port);
  }
};

// Reads the section through `files`, afresh on every call (a missing file, section
// or key gives the default; an unreadable file too).
ServerHost ReadServerHost(FileSystem& files, const std::filesystem::path& workDir);

}  // namespace kestrel
