#pragma once

#include <QObject>
#include <QSerialPort>
#include <QString>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

#include "platform/serial_port.h"

namespace kestrel {

// The serial port `ComPort1` (QSerialPort behind the SerialPort interface): addressed by the name
// the operator knows (COM1..COM32, the configured name, what is typed), resolved through ports/ in
// the working directory; 8 data bits, no parity, 1 stop bit, DTR and RTS on, no flow control,
// 2048-byte read buffer.
//
// While open, RxChar(count) reports the bytes waiting, on the thread that owns the
// port (the window thread). A port that fails while open (device gone: read or
// resource error) is closed at once, so the error cannot repeat, and Failed tells
// why. DTR/RTS not supported by a device (pseudo-terminals) is no failure.
class ComPort final : public QObject, public SerialPort {
  Q_OBJECT
 public:
  explicit ComPort(std::filesystem::path workDir, QObject* parent = nullptr);
  ~ComPort() override;

  // Sets the name (UTF-8). Changing the name of an open port closes it and opens
  // the port of the new name.
  void SetName(const std::string& name) override;
  std::string Name() const override { return name_; }
  void SetBaudRate(int baud) override;
  int BaudRate() const { return baud_; }

  // Opens the port; true when it is open afterwards. Opening an open port does
  // nothing. A failure leaves the port closed, with the reason in LastError().
  bool Open() override;
  // Closes the port when it is open; no notification follows.
  void Close() override;
  bool IsOpen() const override { return port_.isOpen(); }
  // The open state, safe to read from any thread (the link worker's handshake).
  bool IsOpenAnyThread() const override { return open_.load(); }
  QString LastError() const { return lastError_; }

  // Reads up to max of the bytes waiting; 0 on a failure.
  std::size_t Read(std::uint8_t* buf, std::size_t max) override;

 signals:
  void RxChar(int count);
  void Failed(const QString& reason);

 private:
  void OnError(QSerialPort::SerialPortError error);
  void OnReadyRead();

  std::filesystem::path workDir_;
  std::string name_;
  int baud_ = 2400;
  QSerialPort port_;
  std::atomic<bool> open_{false};
  QString lastError_;
};

}  // namespace kestrel
