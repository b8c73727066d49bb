#pragma once

#include <QObject>
#include <atomic>
#include <functional>
#include <string>

#include "delivery/link_ui.h"

namespace kestrel {

// The worker's synchronous calls to the window, run on the window thread (the
// thread that made this object) while the worker waits: blocking queued calls,
// served by the window loop and by the loop of any modal dialog. A call made on
// the window thread itself runs at once.
//
// Once Detach() has run (shutdown, after the window loop), calls return without
// doing anything, so nothing waits for a loop that no longer runs.
class WindowLinkUi final : public QObject, public LinkUi {
  Q_OBJECT
 public:
  WindowLinkUi(std::function<void(const std::string&)> appendLog,
               std::function<void()> advanceIndicator, QObject* parent = nullptr);

  void AppendLog(const std::string& utf8Line) override;
  void AdvanceIndicator() override;
  void Detach() { detached_.store(true); }

 private:
  void RunOnWindowThread(const std::function<void()>& fn);

  std::function<void(const std::string&)> appendLog_;
  std::function<void()> advanceIndicator_;
  std::atomic<bool> detached_{false};
};

}  // namespace kestrel
