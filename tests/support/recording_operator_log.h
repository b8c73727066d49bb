#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "platform/operator_log.h"

namespace kestrel::test {

class RecordingOperatorLog final : public OperatorLog {
 public:
  void Report(const std::string& line) override {
    std::lock_guard lock(mutex_);
    lines_.push_back(line);
  }
  std::vector<std::string> Lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
  }
  void Clear() {
    std::lock_guard lock(mutex_);
    lines_.clear();
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
};

}  // namespace kestrel::test
