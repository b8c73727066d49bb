#pragma once

#include <mutex>

#include "delivery/link_ui.h"

namespace kestrel::test {

// Records the link worker's indicator steps. Safe to use from the worker thread
// while the test reads it.
class RecordingLinkUi final : public LinkUi {
 public:
  void AdvanceIndicator() noexcept override {
    std::lock_guard lock(mutex_);
    ++indicatorSteps_;
  }
  int IndicatorSteps() const {
    std::lock_guard lock(mutex_);
    return indicatorSteps_;
  }
  void Clear() {
    std::lock_guard lock(mutex_);
    indicatorSteps_ = 0;
  }

 private:
  mutable std::mutex mutex_;
  int indicatorSteps_ = 0;
};

}  // namespace kestrel::test
