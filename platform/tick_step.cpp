#include "platform/tick_step.h"

namespace kestrel {

void TickStep::Failed(const char* what) noexcept {
  failing_ = true;
  once_.Failed(name_, {"Ошибка таймера (", name_, "): ", what});
}

void TickStep::Recovered() noexcept {
  failing_ = false;
  once_.Over(name_);
}

}  // namespace kestrel
