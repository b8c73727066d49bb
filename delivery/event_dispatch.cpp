#include "delivery/event_dispatch.h"

#include "delivery/commands.h"

namespace kestrel {

EventDispatch::EventDispatch(LinkPort& link, SpoolWriter& spool) : link_(&link), spool_(spool) {}

void EventDispatch::Raise(const EventRecord& record) {
  const EventBytes bytes = EncodeEventRecord(record);
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
