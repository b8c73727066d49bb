#include "tests/support/pty_port.h"

#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

namespace kestrel::test {

PtyPort::PtyPort() {
  char name[256] = {};
  if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0) {
    master_ = slave_ = -1;
    return;
  }
  slavePath_ = name;
  termios t{};
  if (tcgetattr(slave_, &t) == 0) {
    cfmakeraw(&t);
    tcsetattr(slave_, TCSANOW, &t);
  }
}

PtyPort::~PtyPort() {
  CloseMaster();
  if (slave_ >= 0) close(slave_);
}

void PtyPort::LinkAs(const std::filesystem::path& link) const {
  std::filesystem::create_directories(link.parent_path());
  std::filesystem::remove(link);
  std::filesystem::create_symlink(slavePath_, link);
}

bool PtyPort::Write(const std::string& bytes) const {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(master_, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

void PtyPort::CloseMaster() {
  if (master_ >= 0) close(master_);
  master_ = -1;
}

}  // namespace kestrel::test
