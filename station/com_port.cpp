#include "station/com_port.h"

#include <cerrno>

#include "platform/serial_name.h"

#ifndef _WIN32
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#endif

namespace kestrel {

namespace {
constexpr qint64 kDriverBufferSize = 2048;

#ifndef _WIN32
// One driver per port: the device itself is locked (whatever name led to it), and
// marked for exclusive use. A lock held elsewhere refuses the port, also to root,
// whom the exclusive-use mark alone does not stop.
bool LockDevice(int fd) {
  if (fd < 0) return true;
  int rc;
  do {
    rc = ::flock(fd, LOCK_EX | LOCK_NB);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) return false;
  ::ioctl(fd, TIOCEXCL);  // best effort: not every device takes it
  return true;
}
#endif
}  // namespace

ComPort::ComPort(std::filesystem::path workDir, QObject* parent)
    : QObject(parent), workDir_(std::move(workDir)) {
  connect(&port_, &QSerialPort::errorOccurred, this, &ComPort::OnError);
  connect(&port_, &QSerialPort::readyRead, this, &ComPort::OnReadyRead);
}

ComPort::~ComPort() { Close(); }

void ComPort::SetName(const std::string& name) {
  const bool wasOpen = IsOpen();
  if (wasOpen) Close();
  name_ = name;
  if (wasOpen) Open();
}

void ComPort::SetBaudRate(int baud) {
  baud_ = baud;
  if (IsOpen()) port_.setBaudRate(baud_);
}

bool ComPort::Open() {
  if (IsOpen()) return true;
  lastError_.clear();
  if (name_.empty()) {
    lastError_ = QStringLiteral("no port name");
    return false;
  }
  port_.setPortName(QString::fromStdString(ResolveSerialPortName(workDir_, name_)));
  port_.setBaudRate(baud_);
  port_.setDataBits(QSerialPort::Data8);
  port_.setParity(QSerialPort::NoParity);
  port_.setStopBits(QSerialPort::OneStop);
  port_.setFlowControl(QSerialPort::NoFlowControl);
  port_.setReadBufferSize(kDriverBufferSize);
  if (!port_.open(QIODevice::ReadWrite)) {
    lastError_ = port_.errorString();
    port_.clearError();
    return false;
  }
#ifndef _WIN32
  if (!LockDevice(static_cast<int>(port_.handle()))) {
    port_.close();
    port_.clearError();
    lastError_ = QStringLiteral("the port is in use by another program");
    return false;
  }
#endif
  // Devices without modem lines (pseudo-terminals) refuse these: harmless.
  if (!port_.setDataTerminalReady(true)) port_.clearError();
  if (!port_.setRequestToSend(true)) port_.clearError();
  open_.store(true);
  return true;
}

void ComPort::Close() {
  if (!port_.isOpen()) return;
  open_.store(false);
  port_.close();
  port_.clearError();
}

std::size_t ComPort::Read(std::uint8_t* buf, std::size_t max) {
  if (!IsOpen() || max == 0) return 0;
  const qint64 n = port_.read(reinterpret_cast<char*>(buf), static_cast<qint64>(max));
  return n > 0 ? static_cast<std::size_t>(n) : 0;
}

void ComPort::OnError(QSerialPort::SerialPortError error) {
  if (error != QSerialPort::ReadError && error != QSerialPort::ResourceError) {
    // Unsupported modem lines and the like: the port keeps working.
    if (error != QSerialPort::NoError && port_.isOpen()) port_.clearError();
    return;
  }
  if (!port_.isOpen()) return;
  const QString reason = port_.errorString();
  Close();
  emit Failed(reason);
}

void ComPort::OnReadyRead() {
  const qint64 waiting = port_.bytesAvailable();
  if (waiting > 0) emit RxChar(static_cast<int>(waiting));
}

}  // namespace kestrel
