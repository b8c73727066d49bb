#pragma once

#include <cstddef>
#include <cstdint>

#include "receiver/event_context.h"

namespace kestrel {

// Work time one tick may spend raising "70" events before it leaves the rest to
// the next tick (measured on the clock's millisecond tick).
inline constexpr std::uint32_t kNoTestTickBudgetMs = 100;

// Raises "70" for every transmitter not heard for longer than NoTimeTest minutes
// (equality does not count; times compared to the millisecond), once per silence,
// in table order, and marks it with NoTestFlag. A LastHeard later than now (the
// clock was set back) or not a valid time is brought back to now and written back.
// Of several records with one id only the one FindOrAdd finds is supervised.
//
// The table scan reads the image directly (a few nanoseconds per record); every
// flagged transmitter costs one event and one 16-byte write-back. When the
// write-backs of one tick have taken longer than budgetMs (on the clock's tick),
// the rest is left to the following ticks, still in table order, so the window
// thread never stalls.
// Returns the number of "70" events raised.
std::size_t CheckNoTest(EventContext& ctx, std::uint32_t budgetMs = kNoTestTickBudgetMs);

}  // namespace kestrel
