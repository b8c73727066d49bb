#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <vector>

#include "delivery/link_port.h"

namespace kestrel::test {

// A server link whose state the test sets: online or not, taking packets or
// refusing them. Records every packet it took. Safe to use from several threads.
class FakeLinkPort final : public LinkPort {
 public:
  struct Packet {
    std::int32_t command = 0;
    Bytes payload;
    std::filesystem::path file;  // for AddEventFile
  };

  bool IsOnline() const override { return online.load(); }
  bool AddPacket(std::int32_t command, ByteView payload) override {
    std::lock_guard lock(mutex_);
    ++offered_;
    if (!accept.load()) return false;
    packets_.push_back({command, Bytes(payload.begin(), payload.end()), {}});
    return true;
  }
  bool AddEventFile(std::int32_t command, ByteView payload,
                    const std::filesystem::path& file) override {
    std::lock_guard lock(mutex_);
    ++offered_;
    if (!accept.load()) return false;
    packets_.push_back({command, Bytes(payload.begin(), payload.end()), file});
    return true;
  }

  std::vector<Packet> Packets() const {
    std::lock_guard lock(mutex_);
    return packets_;
  }
  // AddPacket and AddEventFile calls, taken or refused.
  int Offered() const {
    std::lock_guard lock(mutex_);
    return offered_;
  }

  std::atomic<bool> online{false};
  std::atomic<bool> accept{true};

 private:
  mutable std::mutex mutex_;
  std::vector<Packet> packets_;
  int offered_ = 0;
};

}  // namespace kestrel::test
