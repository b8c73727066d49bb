#pragma once

#include <cstddef>

#include "platform/operator_log.h"
#include "platform/report_once.h"

namespace kestrel {

// The guard of a thread loop: what its catch block caught, told to the operator
// instead of swallowed. Call Report from inside the catch block. Each distinct
// text is told once (a failure repeating every step does not flood the log), and
// at most kMaxDistinct texts are kept. Any thread.
class CaughtReports {
 public:
  static constexpr std::size_t kMaxDistinct = ReportOnce::kDefaultBound;

  explicit CaughtReports(OperatorLog& log) : once_(log, kMaxDistinct) {}

  // `where` says what was being done (UTF-8). Must be called inside a catch block:
  // tells "Сбой связи с сервером (<where>): <what>."
  void Report(const char* where) noexcept {
    once_.Failed({}, {"Сбой связи с сервером (", where, "): ", CurrentExceptionText(), "."});
  }

 private:
  ReportOnce once_;
};

}  // namespace kestrel
