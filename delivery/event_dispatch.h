#pragma once

#include <cstdint>

#include "delivery/event_record.h"
#include "delivery/link_port.h"
#include "delivery/spool_writer.h"
#include "platform/clock.h"

namespace kestrel {

// Completes the current event and sends it on: first to a spool file, then, while
// the link is online, to the link's queue as a packet that refers to that file.
// Used on the window thread only.
class EventDispatch {
 public:
  // The link may be replaced later with SetLink (the link worker is made after the
  // dispatcher); an OfflineLink serves until then.
  EventDispatch(LinkPort& link, SpoolWriter& spool, const Clock& clock);

  // The current event of the main window, all zero at start. The raising rule sets
  // TransmitterId, FirstNumber and EventCode; RaiseEvent sets the rest.
  EventRecord Current;

  // Sets StatusFlag (0 or 1) and EventTime (the clock), copies the 19 bytes and
  // dispatches the copy: SpoolWriter::Write (which keeps it in memory if even that
  // fails), then AddEventFile when the link is online.
  void RaiseEvent(std::uint8_t statusFlag);

  // Points the dispatcher at another link (window thread, between events). The
  // link must outlive the dispatcher or be replaced before it goes.
  void SetLink(LinkPort& link) { link_ = &link; }
  LinkPort& Link() const { return *link_; }
  SpoolWriter& Spool() const { return spool_; }

 private:
  LinkPort* link_;
  SpoolWriter& spool_;
  const Clock& clock_;
};

}  // namespace kestrel
