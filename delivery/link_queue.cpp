// cl: the queue, and what the link does with the spool files its packets carry.

#include <utility>

#include "delivery/Unit7.h"
#include "delivery/commands.h"
#include "delivery/packet.h"
#include "delivery/spool.h"
#include "platform/paths.h"

namespace kestrel {

// ---------------------------------------------------------------- the queue

bool cl::Enqueue(std::int32_t command, ByteView payload, PacketKind kind,
                 const std::filesystem::path& file, bool onlyWhenOnline) {
  std::lock_guard lock(queueMutex_);
  // The number is used up whatever happens next: refused packets leave gaps.
  const std::int64_t sequence = NextSequence++;
  // Online is cleared before the worker settles what the link held (under this
  // mutex), so a packet either is queued in time to be settled or is refused.
  if (onlyWhenOnline && !Online.load()) return false;
  if (Queue.Full()) return false;
  QueuedPacket p;
  p.packet = BuildPacket(command, sequence, payload);
  p.command = command;
  p.kind = kind;
  p.spoolFile = file;
  p.payload.assign(payload.begin(), payload.end());
  return Queue.Enqueue(std::move(p));
}

bool cl::AddPacket(std::int32_t command, ByteView payload) {
  const bool queued =
      Enqueue(command, payload, command == cmdEvent ? PacketKind::LiveEvent : PacketKind::Internal,
              {}, true);
  if (queued) Wake();
  return queued;
}

bool cl::AddEventFile(std::int32_t command, ByteView payload, const std::filesystem::path& file) {
  try {
    // Taken from the backlog by the worker meanwhile, or gone: nothing to add.
    if (!spool_.Claim(file)) return true;
    if (Enqueue(command, payload, PacketKind::LiveEvent, file, true)) {
      Wake();
      return true;
    }
    spool_.Release(file);
  } catch (...) {
    // Out of memory while queueing: the claim is given back, the file waits.
    caught_.Report("постановка в очередь");
    spool_.Release(file);
  }
  return false;
}

std::int64_t cl::GetNextSequence() const {
  std::lock_guard lock(queueMutex_);
  return NextSequence;
}

std::size_t cl::QueuedCount() const {
  std::lock_guard lock(queueMutex_);
  return Queue.Size();
}

std::optional<QueuedPacket> cl::PeekQueue() const {
  std::lock_guard lock(queueMutex_);
  if (const QueuedPacket* p = Queue.PeekFront()) return *p;
  return std::nullopt;
}

std::int64_t cl::TakeSequence() {
  std::lock_guard lock(queueMutex_);
  return NextSequence++;
}

// ---------------------------------------------------------------- spool files

void cl::TakeFromBacklog() {
  if (!takeBacklog_) return;
  {
    std::lock_guard lock(queueMutex_);
    if (!Queue.Empty()) return;  // fresh packets go first
  }
  std::optional<SpoolPacket> next = spool_.TakeNext();
  if (!next) return;
  bool queued = false;
  try {
    queued = Enqueue(next->command, next->payload, PacketKind::SpoolFile, next->file, false);
  } catch (...) {
    // Out of memory while queueing: the file goes back to the backlog.
    caught_.Report("постановка в очередь");
  }
  if (!queued) spool_.Release(next->file);
}

void cl::Unanswered(const WrittenBlock& a, bool refused) {
  // An event is delivered only by its own acknowledgement. Its file is offered
  // again later, each time after a longer pause, so a server that refuses it is
  // not hammered with it; the operator hears of a refused file once.
  if (!a.spoolFile.empty()) {
    if (!refused) {
      spool_.RetryLater(a.spoolFile, clock_.TickMs());
    } else {
      spool_.Refused(a.spoolFile, clock_.TickMs());  // the operator is told once
    }
  } else if (a.kind == PacketKind::LiveEvent) {
    SpoolLiveEvent(a.payload);
  }
}

void cl::AcknowledgeSpoolFile(const WrittenBlock& a) {
  // Deleted only when the file still holds what was sent.
  spool_.Acknowledged(a.spoolFile, a.command, a.payload);
}

std::vector<WrittenBlock> cl::TakeWritten() {
  if (!session_) return {};
  return session_->Matcher().TakeAll();
}

void cl::ReleaseAtLinkDown() {
  linkDownPending_ = false;
  std::vector<std::pair<std::int32_t, Bytes>> toSpool;
  std::vector<std::filesystem::path> files;
  for (WrittenBlock& a : TakeWritten()) {
    if (!a.spoolFile.empty()) {
      files.push_back(std::move(a.spoolFile));
    } else if (a.kind == PacketKind::LiveEvent) {
      toSpool.emplace_back(a.command, std::move(a.payload));
    }
  }
  {
    std::lock_guard lock(queueMutex_);
    for (QueuedPacket& p : Queue.TakeAll()) {
      if (!p.spoolFile.empty()) {
        files.push_back(std::move(p.spoolFile));  // the file waits in the backlog
      } else if (p.kind == PacketKind::LiveEvent) {
        toSpool.emplace_back(p.command, std::move(p.payload));
      }
      // Packets the worker made itself belong to the connection that is gone:
      // dropped.
    }
  }
  spool_.LinkDown(files);
  for (const auto& [command, payload] : toSpool) spool_.AppendFromLink(command, payload);
}

void cl::SpoolLiveEvent(const Bytes& payload) { spool_.AppendFromLink(cmdEvent, payload); }

}  // namespace kestrel
