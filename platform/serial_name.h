#pragma once

#include <filesystem>
#include <string>

namespace kestrel {

// Resolves a serial port name as the operator knows it (COM1, COM5, ...) to what
// the platform's serial service opens.
// On Linux, a name X resolves to `ports/X` in the working directory when that entry
// exists (typically a symbolic link to /dev/ttyUSB0 or to a pseudo-terminal);
// otherwise the name stays as it is (an absolute path stays a path; a plain name is
// left to the serial service).
// On Windows, the name becomes the device name Windows opens (WindowsSerialDeviceName).
std::string ResolveSerialPortName(const std::filesystem::path& workDir, const std::string& name);

// The name Windows opens for a serial port name: COM10 and above exist only in the
// device namespace, as \\.\COM10; COM1 to COM9 and every other name stay as they are.
std::string WindowsSerialDeviceName(const std::string& name);

}  // namespace kestrel
