#pragma once

#include <filesystem>
#include <string>

namespace kestrel::sim {

// The receiver's end of the serial line: either a pseudo-terminal whose slave is
// linked as <workdir>/ports/<name>, or a device given by path. The simulator keeps
// the slave open itself (in raw mode), so bytes written before the driver opens the
// port are kept for it and the driver closing the port never hangs up the line.
class SerialEnd {
 public:
  SerialEnd() = default;
  ~SerialEnd();
  SerialEnd(const SerialEnd&) = delete;
  SerialEnd& operator=(const SerialEnd&) = delete;

  // Creates the pseudo-terminal and the link (replacing a stale link). False with `error`.
  bool OpenPty(const std::filesystem::path& link, std::string& error);
  // Opens an existing device for writing. False with `error`.
  bool OpenDevice(const std::filesystem::path& device, std::string& error);

  // Writes all bytes, waiting at most timeoutMs for room. False when they could not go out.
  bool Write(const std::string& bytes, int timeoutMs);
  // Bytes written but not yet read by the other side (pseudo-terminal only; 0 otherwise).
  int Pending() const;
  // What the ready line names: the link, or the device.
  const std::filesystem::path& Path() const { return path_; }

 private:
  int writeFd_ = -1;
  int slaveFd_ = -1;
  std::filesystem::path path_;
  bool ownsLink_ = false;
};

}  // namespace kestrel::sim
