#include "platform/serial_name.h"

#include <system_error>

namespace kestrel {

std::string ResolveSerialPortName(const std::filesystem::path& workDir, const std::string& name) {
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
}

}  // namespace kestrel
