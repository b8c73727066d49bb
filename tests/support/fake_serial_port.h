#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

#include "platform/serial_port.h"

namespace kestrel::test {

// A serial port in memory: the test (or benchmark) puts bytes in as the receiver
// would send them, and the port hands them out on Read. Opening fails while
// `refuseOpen` is set; a read can be cut to `readLimit` bytes. Header only, so
// the benchmarks can use it too.
class FakeSerialPort final : public SerialPort {
 public:
  void SetName(const std::string& name) override {
    const bool wasOpen = open_.load();
    if (wasOpen) Close();
    name_ = name;
    if (wasOpen) Open();
  }
  std::string Name() const override { return name_; }
  void SetBaudRate(int baud) override { baud_ = baud; }
  int BaudRate() const { return baud_; }

  bool Open() override {
    if (refuseOpen) return false;
    open_.store(true);
    return true;
  }
  void Close() override { open_.store(false); }
  bool IsOpen() const override { return open_.load(); }
  bool IsOpenAnyThread() const override { return open_.load(); }

  std::size_t Read(std::uint8_t* buf, std::size_t max) override {
    const std::size_t n = std::min({max, waiting_.size(), readLimit});
    std::copy_n(waiting_.begin(), n, buf);
    waiting_.erase(waiting_.begin(), waiting_.begin() + static_cast<std::ptrdiff_t>(n));
    return n;
  }

  // Bytes arrive; returns how many are waiting now (what the port reports).
  int Arrive(const std::string& bytes) {
    waiting_.insert(waiting_.end(), bytes.begin(), bytes.end());
    return static_cast<int>(waiting_.size());
  }
  std::size_t Waiting() const { return waiting_.size(); }

  bool refuseOpen = false;
  std::size_t readLimit = static_cast<std::size_t>(-1);

 private:
  std::string name_;
  int baud_ = 0;
  std::atomic<bool> open_{false};
  std::deque<std::uint8_t> waiting_;
};

}  // namespace kestrel::test
