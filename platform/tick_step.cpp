#include "platform/tick_step.h"

namespace kestrel {

void TickStep::Failed(const char* what) noexcept {
  if (failing_) return;  // already told; said again once the step has worked
  failing_ = true;
  try {
    log_.Report(std::string("Ошибка таймера (") + name_ + "): " + what);
  } catch (...) {
    // Nothing may leave a tick, not even a failing log.
  }
}

}  // namespace kestrel
