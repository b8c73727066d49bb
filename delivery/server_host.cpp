#include "delivery/server_host.h"

#include <algorithm>

#include "platform/ini_file.h"
#include "platform/paths.h"

namespace kestrel {

namespace {

constexpr const char* kSection = "ServerHost";

}  // namespace

ServerHost ReadServerHost(FileSystem& files, const std::filesystem::path& workDir) {
  ServerHost host;
  try {
    const IniFile ini(SettingsFilePath(workDir), files);
    host.address = ini.ReadString(kSection, "Address", ServerHost::kDefaultAddress);
    host.port = ini.ReadInteger(kSection, "Port", ServerHost::kDefaultPort);
    host.blockGapMs =
        std::clamp(ini.ReadInteger(kSection, "BlockGapMs", ServerHost::kDefaultBlockGapMs), 0,
                   ServerHost::kMaxBlockGapMs);

    // An empty value counts as not written: the key is there only as a reminder.
    const std::string backupAddress = ini.ReadString(kSection, "BackupAddress", "");
    const std::string backupPort = ini.ReadString(kSection, "BackupPort", "");
    host.standbyWritten = !backupAddress.empty() || !backupPort.empty();
    host.backupAddress = backupAddress.empty() ? host.address : backupAddress;
    host.backupPort = backupPort.empty() ? host.port : ini.ReadInteger(kSection, "BackupPort", 0);
    host.failoverAfterS =
        std::clamp(ini.ReadInteger(kSection, "FailoverAfter", ServerHost::kDefaultFailoverAfterS),
                   1, ServerHost::kMaxSwitchDelayS);
    host.failbackAfterS =
        std::clamp(ini.ReadInteger(kSection, "FailbackAfter", ServerHost::kDefaultFailbackAfterS),
                   1, ServerHost::kMaxSwitchDelayS);
  } catch (...) {
    // An unreadable settings file gives the defaults, like a missing one.
    host = ServerHost{};
  }
  return host;
}

}  // namespace kestrel
