#include "delivery/server_host.h"

#include "platform/ini_file.h"
#include "platform/paths.h"

namespace kestrel {

ServerHost ReadServerHost(FileSystem& files, const std::filesystem::path& workDir) {
  ServerHost host;
  try {
    const IniFile ini(SettingsFilePath(workDir), files);
    host.address = ini.ReadString("ServerHost", "Address", ServerHost::kDefaultAddress);
    host.port = ini.ReadInteger("ServerHost", "Port", ServerHost::kDefaultPort);
  } catch (...) {
    // An unreadable settings file gives the defaults, like a missing one.
    host = ServerHost{};
  }
  return host;
}

}  // namespace kestrel
