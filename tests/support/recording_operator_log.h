#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "platform/operator_log.h"

namespace kestrel::test {

// Records every line in order (Lines); the failures alone, without the notices of
// state changes, are in Failures.
class RecordingOperatorLog final : public OperatorLog {
 public:
  void Report(const std::string& line) noexcept override {
    std::lock_guard lock(mutex_);
    lines_.push_back(line);
    failures_.push_back(line);
  }
  void Notice(const std::string& line) noexcept override {
    std::lock_guard lock(mutex_);
    lines_.push_back(line);
  }
  std::vector<std::string> Lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
  }
  std::vector<std::string> Failures() const {
    std::lock_guard lock(mutex_);
    return failures_;
  }
  void Clear() {
    std::lock_guard lock(mutex_);
    lines_.clear();
    failures_.clear();
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
  std::vector<std::string> failures_;
};

}  // namespace kestrel::test
