#pragma once

#include <cstddef>
#include <mutex>
#include <set>
#include <string>

#include "platform/operator_log.h"

namespace kestrel {

// What a `catch (...)` of the link caught, told to the operator instead of
// swallowed: call Report from inside the catch block. Each distinct text is told
// once (a failure repeating every step does not flood the log), and at most
// kMaxDistinct texts are kept. When the operator log itself fails, the line goes
// to standard error. Any thread.
class CaughtReports {
 public:
  static constexpr std::size_t kMaxDistinct = 64;

  explicit CaughtReports(OperatorLog& log) : log_(log) {}

  // `where` says what was being done (UTF-8). Must be called inside a catch block.
  void Report(const char* where) noexcept;

  // The text Report makes of the exception being handled. Inside a catch block.
  static std::string Describe(const char* where);

 private:
  OperatorLog& log_;
  std::mutex mutex_;
  std::set<std::string> told_;
};

}  // namespace kestrel
