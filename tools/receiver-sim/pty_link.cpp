#include "tools/receiver-sim/pty_link.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <system_error>

namespace kestrel::sim {

SerialEnd::~SerialEnd() {
  if (ownsLink_) {
    std::error_code ec;
    std::filesystem::remove(path_, ec);
  }
  if (slaveFd_ >= 0) ::close(slaveFd_);
  if (writeFd_ >= 0) ::close(writeFd_);
}

bool SerialEnd::OpenPty(const std::filesystem::path& link, std::string& error) {
  writeFd_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (writeFd_ < 0 || ::grantpt(writeFd_) != 0 || ::unlockpt(writeFd_) != 0) {
    error = std::string("cannot create a pseudo-terminal: ") + std::strerror(errno);
    return false;
  }
  const char* slaveName = ::ptsname(writeFd_);
  if (slaveName == nullptr) {
    error = "ptsname failed";
    return false;
  }
  const std::string slave = slaveName;
  slaveFd_ = ::open(slave.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (slaveFd_ < 0) {
    error = "cannot open " + slave + ": " + std::strerror(errno);
    return false;
  }
  // Raw mode, so no byte is translated (CR stays CR) or echoed back before the driver
  // opens the port and sets its own mode.
  termios tio{};
  if (::tcgetattr(slaveFd_, &tio) == 0) {
    ::cfmakeraw(&tio);
    ::cfsetispeed(&tio, B9600);
    ::cfsetospeed(&tio, B9600);
    ::tcsetattr(slaveFd_, TCSANOW, &tio);
  }
  std::error_code ec;
  std::filesystem::create_directories(link.parent_path(), ec);
  std::filesystem::remove(link, ec);
  std::filesystem::create_symlink(slave, link, ec);
  if (ec) {
    error = "cannot link " + link.string() + ": " + ec.message();
    return false;
  }
  path_ = link;
  ownsLink_ = true;
  return true;
}

bool SerialEnd::OpenDevice(const std::filesystem::path& device, std::string& error) {
  writeFd_ = ::open(device.c_str(), O_WRONLY | O_NOCTTY | O_NONBLOCK);
  if (writeFd_ < 0) {
    error = "cannot open " + device.string() + ": " + std::strerror(errno);
    return false;
  }
  path_ = device;
  return true;
}

bool SerialEnd::Write(const std::string& bytes, int timeoutMs) {
  std::size_t done = 0;
  int waited = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(writeFd_, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return false;
    if (waited >= timeoutMs) return false;
    pollfd p{writeFd_, POLLOUT, 0};
    ::poll(&p, 1, 10);
    waited += 10;
  }
  return true;
}

int SerialEnd::Pending() const {
  if (slaveFd_ < 0) return 0;
  int n = 0;
  if (::ioctl(slaveFd_, FIONREAD, &n) != 0) return 0;
  return n;
}

}  // namespace kestrel::sim
