#pragma once

#include <string>

namespace kestrel {

// What the link worker asks of the window thread. Each call runs on the window
// thread while the worker waits for it (the window implements them as blocking
// queued calls; tests and console runs implement them directly). Once the worker
// is stopping it makes no further calls, so a window thread that waits for the
// worker at shutdown can stop serving them after it has asked the worker to stop.
class LinkUi {
 public:
  virtual ~LinkUi() = default;
  // Adds one line (UTF-8) at the end of the connection log.
  virtual void AppendLog(const std::string& utf8Line) = 0;
  // Steps the bar of the server indicator once.
  virtual void AdvanceIndicator() = 0;
};

// A LinkUi that shows nothing (console runs, benchmarks).
class SilentLinkUi final : public LinkUi {
 public:
  void AppendLog(const std::string&) override {}
  void AdvanceIndicator() override {}
};

}  // namespace kestrel
