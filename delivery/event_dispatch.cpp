#include "delivery/event_dispatch.h"

#include "delivery/commands.h"

namespace kestrel {

EventDispatch::EventDispatch(LinkPort& link, SpoolWriter& spool, const Clock& clock)
    : link_(&link), spool_(spool), clock_(clock) {}

void EventDispatch::RaiseEvent(std::uint8_t statusFlag) {
  Current.StatusFlag = statusFlag;
  Current.EventTime = clock_.Now();
  // A copy: later changes to the current event do not touch this one.
  const EventBytes bytes = EncodeEventRecord(Current);
  // The link may go offline between the test and AddPacket; a refused packet is
  // spooled instead of lost.
  try {
    if (link_->IsOnline() && link_->AddPacket(cmdEvent, bytes)) return;
  } catch (...) {
    // A link that fails is one that refused: the event is spooled.
  }
  // Write reports its own failure and keeps the event for the next tick.
  spool_.Write(cmdEvent, bytes);
}

}  // namespace kestrel
