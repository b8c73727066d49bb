#pragma once

#include "delivery/event_record.h"

namespace kestrel {

// Where reception hands every event it raises: one complete record (id, first
// number, status flag, code and time all filled in). Delivery takes it from there:
// to the server link or to a spool file.
class EventSink {
 public:
  virtual ~EventSink() = default;
  virtual void Raise(const EventRecord& record) = 0;
};

}  // namespace kestrel
