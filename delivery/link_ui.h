#pragma once

namespace kestrel {

// What the link worker asks of the window thread: the indicator step. The call
// runs on the window thread while the worker waits for it (the window implements
// it as a blocking queued call; tests and console runs implement it directly).
// Once the worker is stopping it makes no further calls, so a window thread that
// waits for the worker at shutdown can stop serving them after it has asked the
// worker to stop. The worker's log lines go to the OperatorLog, like every other
// layer's.
class LinkUi {
 public:
  virtual ~LinkUi() = default;
  // Steps the bar of the server indicator once.
  // Never throws: a display that fails must not stop the link.
  virtual void AdvanceIndicator() noexcept = 0;
};

// A LinkUi that shows nothing (console runs, benchmarks).
class SilentLinkUi final : public LinkUi {
 public:
  void AdvanceIndicator() noexcept override {}
};

}  // namespace kestrel
