#include "delivery/delivery.h"

#include <chrono>
#include <utility>

namespace kestrel {

Delivery::Delivery(DeliveryServices services, SpoolLocation spool)
    : services_(std::move(services)),
      spool_(std::move(spool), services_.fs, services_.clock, services_.log),
      drain_(spool_.Location(), services_.fs, services_.clock, services_.log, bookkeeping_),
      dispatch_(offline_, spool_),
      signOfLife_(services_.ui, services_.clock),
      drainStep_("отправка файлов событий", services_.log),
      retryStep_("запись отложенных событий", services_.log) {
  spool_.SetFlusher(services_.flusher);
  spool_.RecoverAtStartup();
}

Delivery::~Delivery() {
  // Nobody serves the worker's calls any more: it is told to make none.
  if (worker_) worker_->RequestStop();
  drain_.SetLink(nullptr);
  dispatch_.SetLink(offline_);
  worker_.reset();
}

void Delivery::StartLink(LinkIdentity identity) {
  if (worker_) return;
  worker_ = std::make_unique<cl>(services_.clock, services_.fs, services_.log, signOfLife_,
                                 services_.tcpClients, spool_, bookkeeping_, std::move(identity));
  worker_->Start();
  worker_->SetReconnectEnabled(true);
  dispatch_.SetLink(*worker_);
  drain_.SetLink(worker_.get());
}

void Delivery::Raise(const EventRecord& record) { dispatch_.Raise(record); }

void Delivery::Tick() {
  drainStep_.Run([this] { drain_.DrainSpool(); });
  retryStep_.Run([this] { spool_.RetryPending(worker_.get()); });
}

void Delivery::RequestStop() {
  if (worker_) worker_->RequestStop();
}

bool Delivery::Finish(int boundMs, const std::function<void()>& serve) {
  if (worker_) {
    worker_->RequestStop();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(boundMs);
    // Serve the worker's synchronous calls while waiting: it may be inside one.
    while (!worker_->Wait(5)) {
      if (serve) serve();
      if (std::chrono::steady_clock::now() >= deadline) return false;
    }
  }
  if (finished_) return true;
  finished_ = true;
  // Events that a failing disk kept in memory get a last chance at a spool file.
  if (spool_.PendingCount() > 0) spool_.RetryPending(nullptr);
  if (const std::size_t lost = spool_.PendingCount(); lost > 0) {
    services_.log.Report("Не удалось записать в файлы событий: " + std::to_string(lost) +
                         ". Они потеряны.");
  }
  return true;
}

DeliveryStatus Delivery::Status() const {
  DeliveryStatus s;
  s.online = Online();
  s.registered = s.online && worker_->IsRegisteredAnyThread();
  const SpoolLocation& where = spool_.Location();
  for (const DirEntry& e : services_.fs.List(where.dir)) {
    if (!where.IsSpoolName(e.name)) continue;
    if (bookkeeping_.IsSettled(where.dir / e.name)) continue;
    ++s.backlog;
  }
  s.backlog += spool_.PendingCount();
  s.lastSignOfLifeTick = signOfLife_.Last();
  return s;
}

void Delivery::SignOfLife::AdvanceIndicator() noexcept {
  tick_.store(clock_.TickMs());
  seen_.store(true);
  ui_.AdvanceIndicator();
}

std::optional<std::uint32_t> Delivery::SignOfLife::Last() const {
  if (!seen_.load()) return std::nullopt;
  return tick_.load();
}

}  // namespace kestrel
