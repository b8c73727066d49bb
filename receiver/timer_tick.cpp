#include "receiver/timer_tick.h"

#include <exception>

namespace kestrel {

void TimerTick::Timer1Timer() {
  RunStep(NoTest, "контроль молчания передатчиков", noTestFailing_);
  RunStep(Drain, "отправка файлов событий", drainFailing_);
  RunStep(Retry, "запись отложенных событий", retryFailing_);
  RunStep(Status, "обновление состояния", statusFailing_);
}

void TimerTick::RunStep(const std::function<void()>& step, const char* name, bool& failing) {
  if (!step) return;
  std::string what;
  try {
    step();
    failing = false;
    return;
  } catch (const std::exception& e) {
    what = e.what();
  } catch (...) {
    what = "неизвестная ошибка";
  }
  if (failing) return;  // already told; said again once the step has worked
  failing = true;
  try {
    log_.Report(std::string("Ошибка таймера (") + name + "): " + what);
  } catch (...) {
    // Nothing may leave a tick, not even a failing log.
  }
}

}  // namespace kestrel
