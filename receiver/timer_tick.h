#pragma once

#include <functional>
#include <string>

#include "platform/operator_log.h"

namespace kestrel {

// The 200 ms timer's work, in this order: the no-test supervision, the spool
// drain, the retry of kept spool packets, the status step. Each step is guarded:
// a failure in one is caught and reported to the operator log (once, until that
// step succeeds again) and the following steps still run. An empty step is skipped.
class TimerTick {
 public:
  explicit TimerTick(OperatorLog& log) : log_(log) {}

  std::function<void()> NoTest;
  std::function<void()> Drain;
  std::function<void()> Retry;
  std::function<void()> Status;

  void Timer1Timer();

 private:
  void RunStep(const std::function<void()>& step, const char* name, bool& failing);

  OperatorLog& log_;
  bool noTestFailing_ = false;
  bool drainFailing_ = false;
  bool retryFailing_ = false;
  bool statusFailing_ = false;
};

}  // namespace kestrel
