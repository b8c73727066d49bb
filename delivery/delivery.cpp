#include "delivery/delivery.h"

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace kestrel {

Delivery::Delivery(DeliveryServices services, SpoolLocation spool)
    : services_(std::move(services)),
      spool_(std::move(spool), services_.fs, services_.clock, services_.log, services_.flusher),
      dispatch_(offline_, spool_),
      drainStep_("отправка файлов событий", services_.log),
      retryStep_("запись отложенных событий", services_.log) {
  spool_.Recover();
}

Delivery::~Delivery() {
  if (worker_) worker_->RequestStop();
  dispatch_.SetLink(offline_);
  worker_.reset();
}

void Delivery::StartLink(LinkIdentity identity) {
  if (worker_) return;
  worker_ = std::make_unique<cl>(services_.clock, services_.fs, services_.log, services_.tcpClients,
                                 spool_, std::move(identity));
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

bool Delivery::Finish(int boundMs) {
  if (worker_) {
    worker_->RequestStop();
    if (!worker_->Wait(boundMs)) {
      // The worker holds nothing that is not on disk; the kept events still get
      // their last write.
      FinishSpool();
      return false;
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
  if (worker_) {
    // The count first: a tick read after it belongs to that sign or a later one.
    s.signsOfLife = worker_->SignsOfLife();
    if (s.signsOfLife > 0) s.lastSignOfLifeTick = worker_->LastSignOfLifeTick();
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

}  // namespace kestrel
