#pragma once

#include <string>

namespace kestrel {

// Failures the operator must know of: one line of text each (UTF-8). The window
// shows them in its log area; before it exists, and in console runs, they go to
// standard error.
class OperatorLog {
 public:
  virtual ~OperatorLog() = default;
  virtual void Report(const std::string& line) = 0;
};

class StderrOperatorLog final : public OperatorLog {
 public:
  void Report(const std::string& line) override;
};

}  // namespace kestrel
