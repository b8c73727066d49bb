// cl: the queue, and what the link does with the spool files its packets carry.

#include <utility>

#include "delivery/Unit7.h"
#include "delivery/commands.h"
#include "delivery/packet.h"
#include "delivery/spool_drain.h"
#include "delivery/spool_file_format.h"
#include "delivery/spool_writer.h"
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
    if (!index_.Claim(file)) return true;
    if (Enqueue(command, payload, PacketKind::LiveEvent, file, true)) {
      Wake();
      return true;
    }
    index_.Release(file);
  } catch (...) {
    caught_.Report("постановка в очередь");
    try {
      index_.Release(file);
    } catch (...) {
    }
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
  if (drain_ == nullptr) return;
  {
    std::lock_guard lock(queueMutex_);
    if (!Queue.Empty()) return;  // fresh packets go first
  }
  std::optional<SpoolPacket> next;
  try {
    next = drain_->TakeNext();
  } catch (...) {
    caught_.Report("чтение файла событий");
    return;
  }
  if (!next) return;
  bool queued = false;
  try {
    queued = Enqueue(next->command, next->payload, PacketKind::SpoolFile, next->file, false);
  } catch (...) {
    caught_.Report("постановка в очередь");
  }
  if (!queued) index_.Release(next->file);
}

void cl::Unanswered(const WrittenBlock& a, bool refused) {
  // An event is delivered only by its own acknowledgement. Its file is offered
  // again later, each time after a longer pause, so a server that refuses it is
  // not hammered with it; the operator hears of a refused file once.
  if (!a.spoolFile.empty()) {
    if (!refused) {
      index_.Release(a.spoolFile, clock_.TickMs());
    } else if (index_.Refuse(a.spoolFile, clock_.TickMs())) {
      oplog_.Report("Сервер не принял событие из файла " + PathToUtf8(a.spoolFile.filename()) +
                    "; оно будет отправлено снова (через 3 с, затем реже, до 5 мин).");
    }
  } else if (a.kind == PacketKind::LiveEvent) {
    SpoolLiveEvent(a.payload);
  }
}

void cl::AcknowledgeSpoolFile(const WrittenBlock& a) {
  // Deleted only when the file still holds what was sent.
  const Bytes content = EncodeSpoolFile(a.command, a.payload);
  if (index_.Acknowledge(files_, a.spoolFile, content) == SpoolIndex::AckOutcome::Undeletable) {
    oplog_.Report("Не удалось удалить доставленный файл очереди " + a.spoolFile.string() +
                  "; до перезапуска он больше не отправляется.");
  }
}

std::vector<WrittenBlock> cl::TakeWritten() {
  if (!session_) return {};
  return session_->Matcher().TakeAll();
}

void cl::SettleLinkDown() {
  settlePending_ = false;
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
  for (const auto& file : files) index_.Release(file);
  for (const auto& [command, payload] : toSpool) {
    try {
      spool_.Write(command, payload);  // on failure the writer keeps it and retries
    } catch (...) {
      caught_.Report("запись события в файл");
    }
  }
}

void cl::SpoolLiveEvent(const Bytes& payload) {
  try {
    spool_.Write(cmdEvent, payload);
  } catch (...) {
    caught_.Report("запись события в файл");
  }
}

}  // namespace kestrel
