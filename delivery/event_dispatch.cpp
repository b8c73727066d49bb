#include "delivery/event_dispatch.h"

#include "delivery/commands.h"

namespace kestrel {

EventDispatch::EventDispatch(LinkPort& link, Spool& spool) : link_(&link), spool_(spool) {}

void EventDispatch::Raise(const EventRecord& record) {
  const EventBytes bytes = EncodeEventRecord(record);
  // Written ahead: the event is on disk before the link sees it, and its file stays
  // until the server acknowledges it. One that cannot be written is kept in memory
  // and reported by the writer, which hands it on later.
  const std::optional<std::filesystem::path> file = spool_.Append(cmdEvent, bytes);
  if (!file) return;
  // Offered to the link at once; refused (queue full, offline), the file simply
  // waits in the backlog.
  if (link_->IsOnline()) link_->AddEventFile(cmdEvent, bytes, *file);
}

}  // namespace kestrel
