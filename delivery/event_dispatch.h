#pragma once

#include <cstdint>

#include "delivery/event_record.h"
#include "delivery/event_sink.h"
#include "delivery/link_port.h"
#include "delivery/spool.h"

namespace kestrel {

// Sends each event on: first to a spool file (Spool::Append), then, while the link
// is online, to the link's queue as a packet that refers to that file (which the
// link claims). Used on the window thread only.
class EventDispatch final : public EventSink {
 public:
  // The link may be replaced later with SetLink (the link worker is made after the
  // dispatcher); an OfflineLink serves until then.
  EventDispatch(LinkPort& link, Spool& spool);

  // Encodes the record (19 bytes) and dispatches them: Spool::Append (which keeps
  // them in memory if even that fails), then AddEventFile when the link is online.
  // The record is taken as it is, its time included.
  void Raise(const EventRecord& record) override;

  // Points the dispatcher at another link (window thread, between events). The
  // link must outlive the dispatcher or be replaced before it goes.
  void SetLink(LinkPort& link) { link_ = &link; }

 private:
  LinkPort* link_;
  Spool& spool_;
};

}  // namespace kestrel
