#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kestrel {

// The receiver's serial port as reception sees it. The real one (window/ComPort)
// tells its owner when bytes are waiting; the owner then hands the count to
// Reception, which reads them here. Tests hand in a port of their own.
// Used on one thread (the window thread), except IsOpenAnyThread.
class SerialPort {
 public:
  virtual ~SerialPort() = default;

  // The name the operator knows (COM1..COM32, UTF-8). Renaming an open port
  // closes it and opens the port of the new name.
  virtual void SetName(const std::string& name) = 0;
  virtual std::string Name() const = 0;
  virtual void SetBaudRate(int baud) = 0;

  // True when the port is open afterwards; opening an open port does nothing.
  virtual bool Open() = 0;
  // Closes the port when it is open; no notification follows.
  virtual void Close() = 0;
  virtual bool IsOpen() const = 0;
  // The open state, safe to read from any thread (the link worker's handshake).
  virtual bool IsOpenAnyThread() const = 0;

  // Reads up to max of the bytes waiting into buf; how many it read (0: none, or a
  // failure).
  virtual std::size_t Read(std::uint8_t* buf, std::size_t max) = 0;
};

}  // namespace kestrel
