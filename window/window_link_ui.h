#pragma once

#include <QObject>
#include <atomic>
#include <functional>

#include "delivery/link_ui.h"

namespace kestrel {

// The worker's synchronous call to the window (the indicator step), run on the
// window thread (the thread that made this object) while the worker waits: a
// blocking queued call, served by the window loop and by the loop of any modal
// dialog. A call made on the window thread itself runs at once. The worker's log
// lines reach the window through its OperatorLog (MemoOperatorLog), not here.
//
// Once Detach() has run (shutdown, after the window loop), calls return without
// doing anything, so nothing waits for a loop that no longer runs.
class WindowLinkUi final : public QObject, public LinkUi {
  Q_OBJECT
 public:
  explicit WindowLinkUi(std::function<void()> advanceIndicator, QObject* parent = nullptr);

  void AdvanceIndicator() noexcept override;
  void Detach() { detached_.store(true); }

 private:
  void RunOnWindowThread(const std::function<void()>& fn);

  std::function<void()> advanceIndicator_;
  std::atomic<bool> detached_{false};
};

}  // namespace kestrel
