#pragma once

#include <exception>
#include <string>
#include <utility>

#include "platform/operator_log.h"

namespace kestrel {

// One step of the 200 ms tick, guarded: a failure is caught and reported to the
// operator log as "Ошибка таймера (<name>): <what>" once, until the step has
// succeeded again; nothing leaves Run, so the steps after it still run. Each
// owner keeps one TickStep per step of its own.
class TickStep {
 public:
  TickStep(const char* name, OperatorLog& log) : name_(name), log_(log) {}

  template <class Step>
  void Run(Step&& step) noexcept {
    try {
      std::forward<Step>(step)();
      failing_ = false;
      return;
    } catch (const std::exception& e) {
      Failed(e.what());
    } catch (...) {
      Failed("неизвестная ошибка");
    }
  }

  bool Failing() const { return failing_; }

 private:
  void Failed(const char* what) noexcept;

  const char* name_;
  OperatorLog& log_;
  bool failing_ = false;
};

}  // namespace kestrel
