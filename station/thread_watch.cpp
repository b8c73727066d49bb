#include "station/thread_watch.h"

namespace kestrel {

ThreadWatch::ThreadWatch(std::uint32_t now) {
  for (auto& t : last_) t.store(now);
  for (auto& e : expected_) e.store(false);
}

void ThreadWatch::Expect(Thread t, std::uint32_t now) {
  last_[t].store(now);
  expected_[t].store(true);
}

bool ThreadWatch::AllAlive(std::uint32_t now, std::uint32_t withinMs) const {
  for (std::size_t t = 0; t < kThreads; ++t) {
    if (!expected_[t].load()) continue;
    if (static_cast<std::uint32_t>(now - last_[t].load()) > withinMs) return false;
  }
  return true;
}

}  // namespace kestrel
