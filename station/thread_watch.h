#pragma once

#include <array>
#include <atomic>
#include <cstdint>

namespace kestrel {

// Signs of life of the program's threads, for the service manager's watchdog:
// the keep-alive goes out only while every thread that runs has shown one
// recently. Beat may be called from the thread concerned; the rest from any.
class ThreadWatch {
 public:
  enum Thread : std::size_t { Window, Link, Flusher, kThreads };

  // Every thread counts as alive at `now`; none is expected yet.
  explicit ThreadWatch(std::uint32_t now);

  // The thread runs and is to show signs of life from now on.
  void Expect(Thread t, std::uint32_t now);
  // The thread has ended in order: it is no longer watched.
  void Forget(Thread t) { expected_[t].store(false); }
  void Beat(Thread t, std::uint32_t now) noexcept { last_[t].store(now); }

  // True while every expected thread has shown a sign of life within `withinMs`.
  bool AllAlive(std::uint32_t now, std::uint32_t withinMs) const;

 private:
  std::array<std::atomic<std::uint32_t>, kThreads> last_{};
  std::array<std::atomic<bool>, kThreads> expected_{};
};

}  // namespace kestrel
