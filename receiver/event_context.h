#pragma once

#include <cstdint>

#include "delivery/event_record.h"
#include "delivery/event_sink.h"
#include "platform/clock.h"
#include "receiver/receiver_frame.h"
#include "receiver/transmitter_table.h"

namespace kestrel {

// What the event rules and the no-test supervision work with: the transmitter
// table, where events go, the clock and the two settings they use. Owned by
// Reception; everything runs on the thread that feeds it (the window thread).
struct EventContext {
  TransmitterTable& table;
  EventSink& events;
  const Clock& clock;
  std::int32_t FirstNumber = 1;  // its low 8 bits go into every event
  std::int32_t NoTimeTest = 30;  // minutes of silence before "70"
};

// Raises one complete event of the transmitter: FirstNumber's low 8 bits, the
// status flag (0 or 1), the two code characters, and the clock's time now.
inline void RaiseEvent(EventContext& ctx, TransmitterId id, const char* code,
                       std::uint8_t statusFlag) {
  EventRecord event;
  event.TransmitterId = id;
  event.FirstNumber = static_cast<std::uint8_t>(ctx.FirstNumber & 0xFF);
  event.StatusFlag = statusFlag;
  event.EventCode = {code[0], code[1]};
  event.EventTime = ctx.clock.Now();
  ctx.events.Raise(event);
}

}  // namespace kestrel
