#include "window/window_link_ui.h"

#include <QMetaObject>
#include <QThread>
#include <exception>

namespace kestrel {

WindowLinkUi::WindowLinkUi(std::function<void()> advanceIndicator, QObject* parent)
    : QObject(parent), advanceIndicator_(std::move(advanceIndicator)) {}

void WindowLinkUi::AdvanceIndicator() noexcept {
  try {
    RunOnWindowThread([this] { advanceIndicator_(); });
  } catch (...) {
    // The call could not even be passed to the window thread; the worker goes on.
  }
}

void WindowLinkUi::RunOnWindowThread(const std::function<void()>& fn) {
  auto guarded = [&fn] {
    try {
      fn();
    } catch (const std::exception&) {
      // A display step failed; the worker goes on.
    } catch (...) {
    }
  };
  if (detached_.load()) return;
  if (QThread::currentThread() == thread()) {
    guarded();
    return;
  }
  QMetaObject::invokeMethod(this, guarded, Qt::BlockingQueuedConnection);
}

}  // namespace kestrel
