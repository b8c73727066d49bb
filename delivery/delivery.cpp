#include "delivery/delivery.h"

#include <chrono>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace kestrel {

Delivery::Delivery(DeliveryServices services, SpoolLocation spool)
    : services_(std::move(services)),
      spool_(std::move(spool), services_.fs, services_.clock, services_.log, services_.flusher),
      dispatch_(offline_, spool_),
      signOfLife_(services_.ui, services_.clock),
      drainStep_("отправка файлов событий", services_.log),
      retryStep_("запись отложенных событий", services_.log) {
  spool_.Recover();
}

Delivery::~Delivery() {
  // Nobody serves the worker's calls any more: it is told to make none.
  if (worker_) worker_->RequestStop();
  dispatch_.SetLink(offline_);
  worker_.reset();
}

void Delivery::StartLink(LinkIdentity identity) {
  if (worker_) return;
  worker_ = std::make_unique<cl>(services_.clock, services_.fs, services_.log, signOfLife_,
                                 services_.tcpClients, spool_, std::move(identity));
  worker_->TakeBacklog(true);
  worker_->Start();
  worker_->SetReconnectEnabled(true);
  dispatch_.SetLink(*worker_);
}

void Delivery::Raise(const EventRecord& record) {
  ++raised_;
  dispatch_.Raise(record);
}

void Delivery::Tick() {
  drainStep_.Run([this] { spool_.ReportBacklog(); });
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
      if (std::chrono::steady_clock::now() >= deadline) {
        // The worker holds nothing that is not on disk; the kept events still get
        // their last write.
        FinishSpool();
        return false;
      }
    }
  }
  FinishSpool();
  return true;
}

void Delivery::FinishSpool() {
  if (finished_) return;
  finished_ = true;
  // Every event is on disk already, except those a failing disk kept in memory:
  // they get a last chance at a spool file; whatever is left is named.
  if (spool_.PendingCount() > 0) spool_.RetryPending(nullptr);
  const std::vector<std::string> lost = spool_.PendingDescriptions();
  unwritten_ = lost.size();
  for (const std::string& line : lost) {
    services_.log.Report("Событие не записано на диск и потеряно: " + line + ".");
  }
  if (unwritten_ > 0) {
    services_.log.Report("Не удалось записать в файлы событий: " + std::to_string(unwritten_) +
                         ". Они потеряны.");
  }
}

DeliveryStatus Delivery::Status() const {
  DeliveryStatus s;
  s.online = Online();
  s.registered = s.online && worker_->IsRegisteredAnyThread();
  s.backlog = spool_.Waiting() + spool_.PendingCount();
  s.lastSignOfLifeTick = signOfLife_.Last();
  if (worker_) {
    const cl::ServerInUse server = worker_->ServerInUseAnyThread();
    s.onStandby = server.standby;
    s.serverAddress = server.addressUtf8;
    s.serverPort = server.port;
    s.serverSwitches = server.switches;
  }
  s.raised = raised_.load();
  s.acknowledged = spool_.Delivered();
  if (worker_) {
    s.refused = worker_->RefusedCount();
    s.connects = worker_->ConnectCount();
  }
  s.spoolWriteFailures = spool_.WriteFailures();
  s.oldestWaitingMs = spool_.OldestWaitingMs();
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
