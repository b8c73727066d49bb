#include "platform/serial_name.h"

#include <system_error>

namespace kestrel {

std::string WindowsSerialDeviceName(const std::string& name) {
  if (name.size() < 5) return name;  // "COM" and at least two digits
  const auto upper = [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; };
  if (upper(name[0]) != 'C' || upper(name[1]) != 'O' || upper(name[2]) != 'M') return name;
  if (name[3] == '0') return name;  // "COM01" is no port number Windows knows
  for (std::size_t i = 3; i < name.size(); ++i) {
    if (name[i] < '0' || name[i] > '9') return name;
  }
  return "\\\\.\\" + name;
}

std::string ResolveSerialPortName(const std::filesystem::path& workDir, const std::string& name) {
#ifdef _WIN32
  (void)workDir;
  return WindowsSerialDeviceName(name);
#else
  // Only a plain name is looked up in ports/: a path (absolute or with folders)
  // names the device itself.
  if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos) {
    return name;
  }
  const std::filesystem::path entry = workDir / "ports" / name;
  std::error_code ec;
  // The entry counts even when it is a link to a device that is gone: opening it
  // then reports the missing device under the name the operator chose.
  if (std::filesystem::exists(std::filesystem::symlink_status(entry, ec))) return entry.string();
  return name;
#endif
}

}  // namespace kestrel
