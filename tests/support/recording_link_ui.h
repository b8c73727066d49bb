#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "delivery/link_ui.h"

namespace kestrel::test {

// Records the link worker's calls to the window: log lines and indicator steps.
// Safe to use from the worker thread while the test reads it.
class RecordingLinkUi final : public LinkUi {
 public:
  void AppendLog(const std::string& utf8Line) override {
    std::lock_guard lock(mutex_);
    lines_.push_back(utf8Line);
  }
  void AdvanceIndicator() override {
    std::lock_guard lock(mutex_);
    ++indicatorSteps_;
  }
  std::vector<std::string> Lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
  }
  int IndicatorSteps() const {
    std::lock_guard lock(mutex_);
    return indicatorSteps_;
  }
  void Clear() {
    std::lock_guard lock(mutex_);
    lines_.clear();
    indicatorSteps_ = 0;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
  int indicatorSteps_ = 0;
};

}  // namespace kestrel::test
