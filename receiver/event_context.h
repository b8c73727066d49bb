#pragma once

#include <cstdint>

#include "delivery/event_dispatch.h"
#include "platform/clock.h"
#include "receiver/transmitter_table.h"

namespace kestrel {

// What the event rules and the no-test supervision work with: the transmitter
// table, the dispatcher holding the current event, the clock and the two settings
// they use. Owned by the main window; everything runs on the window thread.
struct EventContext {
  TransmitterTable& table;
  EventDispatch& dispatch;
  const Clock& clock;
  std::int32_t FirstNumber = 1;  // its low 8 bits go into every event
  std::int32_t NoTimeTest = 30;  // minutes of silence before "70"
};

}  // namespace kestrel
