#pragma once

#include <utility>

#include "platform/operator_log.h"
#include "platform/report_once.h"

namespace kestrel {

// One step of the 200 ms tick, guarded: a failure is caught and reported to the
// operator log as "Ошибка таймера (<name>): <what>" once, until the step has
// succeeded again; nothing leaves Run, so the steps after it still run. Each
// owner keeps one TickStep per step of its own. One of the three places where
// exceptions are caught (with CaughtReports for thread loops and the window's
// guard of its handlers).
class TickStep {
 public:
  TickStep(const char* name, OperatorLog& log) : name_(name), once_(log, 1) {}

  template <class Step>
  void Run(Step&& step) noexcept {
    try {
      std::forward<Step>(step)();
    } catch (...) {
      Failed(CurrentExceptionText());
      return;
    }
    if (failing_) Recovered();
  }

  bool Failing() const { return failing_; }

 private:
  void Failed(const char* what) noexcept;
  void Recovered() noexcept;

  const char* name_;
  ReportOnce once_;
  bool failing_ = false;  // the step's own thread alone: no lock on the way of a tick
};

}  // namespace kestrel
