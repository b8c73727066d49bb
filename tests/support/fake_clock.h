#pragma once

#include <atomic>
#include <cmath>
#include <cstdint>

#include "platform/clock.h"

namespace kestrel::test {

// A clock that only moves when the test moves it. Safe to read from another thread.
class FakeClock final : public Clock {
 public:
  explicit FakeClock(DateTime now = 46000.5, std::uint32_t tick = 100000)
      : now_(now), tick_(tick) {}

  DateTime Now() const override { return now_.load(); }
  std::uint32_t TickMs() const override { return tick_.load(); }

  // Sets the date-time alone, as when the wall clock is set: the tick stays.
  void SetNow(DateTime t) { now_.store(t); }
  void SetTick(std::uint32_t t) { tick_.store(t); }
  // Moves both the date-time and the tick forward.
  void AdvanceMs(std::uint32_t ms) {
    now_.store(now_.load() + ms / kMsPerDay);
    tick_.fetch_add(ms);
  }
  // Runs on to the date-time `t` (later than now): the tick moves by the same
  // number of milliseconds.
  void AdvanceTo(DateTime t) {
    const double ms = std::round((t - now_.load()) * kMsPerDay);
    now_.store(t);
    tick_.fetch_add(static_cast<std::uint32_t>(static_cast<std::int64_t>(ms)));
  }

 private:
  std::atomic<DateTime> now_;
  std::atomic<std::uint32_t> tick_;
};

}  // namespace kestrel::test
