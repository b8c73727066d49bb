#include "station/station.h"

#include <QObject>
#include <QString>
#include <algorithm>
#include <chrono>
#include <utility>

#include "delivery/Unit7.h"
#include "delivery/server_host.h"
#include "platform/paths.h"
#include "platform/service_notifier.h"
#include "platform/text_1251.h"
#include "platform/version.h"
#include "station/com_port.h"
#include "station/metrics_file.h"
#include "station/metrics_text.h"

namespace kestrel {
namespace {

// At most 30 days, so the milliseconds fit the 32-bit tick's span.
std::uint32_t AlarmAfterMs(std::int32_t seconds) {
  return static_cast<std::uint32_t>(std::clamp(seconds, 0, 30 * 86400)) * 1000u;
}

}  // namespace

Station::Station(StationServices services)
    : services_(std::move(services)),
      workDir_(services_.workDir.empty() ? CurrentDirectory() : services_.workDir),
      startedAt_(services_.clock.Now()),
      log_(services_.log),
      watch_(services_.clock.TickMs()),
      settings_(ReadStationSettings(services_.fs, workDir_)),
      alarm_(AlarmAfterMs(settings_.main.AlarmAfter)),
      retryStep_("обновление состояния", log_),
      watchStep_("тревога и сведения для станции", log_) {
  const Clock& clock = services_.clock;
  if (const std::string line = DefaultSettingsLine(settings_); !line.empty()) log_.Report(line);

  if (services_.port != nullptr) {
    port_ = services_.port;
  } else {
    ownPort_ = std::make_unique<ComPort>(workDir_);
    port_ = ownPort_.get();
    ComPort* own = ownPort_.get();
    QObject::connect(own, &ComPort::RxChar, own, [this](int count) { BytesWaiting(count); });
    QObject::connect(own, &ComPort::Failed, own,
                     [this](const QString& reason) { PortFailed(reason.toStdString()); });
  }

  // 1. The flusher: spool files, then num.mmm, in groups, off this thread.
  if (services_.flushInGroups) {
    GroupFlusher::Options flushing;
    flushing.alive = [this] { Alive(ThreadWatch::Flusher); };
    flusher_ = std::make_unique<GroupFlusher>(services_.fs, log_, std::move(flushing));
    watch_.Expect(ThreadWatch::Flusher, clock.TickMs());
  }
  watch_.Expect(ThreadWatch::Window, clock.TickMs());

  // 2. Delivery: what a crash left in the spool folder is settled first.
  delivery_ = std::make_unique<Delivery>(
      DeliveryServices{clock, services_.fs, log_, services_.tcpClients, flusher_.get()},
      settings_.spool);

  // 3. Reception: the table, the raw log, a fresh receiver input; its events go
  // to delivery.
  reception_ = std::make_unique<Reception>(
      ReceptionServices{clock, services_.fs, log_, workDir_, flusher_.get()}, settings_.main,
      *port_, *delivery_);

  // The port the settings name.
  if (settings_.main.ComPort != kNoPortChosen) {
    port_->SetName(Cp1251ToUtf8(settings_.main.ComPort));
    if (OpenPort())
      running_ = true;
    else
      // Not a question: an unattended restart must never wait for a click.
      log_.Report("Порт уже занят. Смените его.");
  }

  // The server link worker.
  if (services_.startLink) {
    watch_.Expect(ThreadWatch::Link, clock.TickMs());
    delivery_->StartLink(Identity());
  }
  const ServerHost host = ReadServerHost(services_.fs, workDir_);
  serverText_ = Cp1251ToUtf8(host.address) + ":" + std::to_string(host.port);
}

Station::~Station() { Shutdown(4000); }

LinkIdentity Station::Identity() {
  LinkIdentity identity;
  identity.portNameCp1251 = settings_.main.ComPort;
  identity.firstNumber = settings_.main.FirstNumber;
  SerialPort* port = port_;
  identity.portOpen = [port] { return port->IsOpenAnyThread(); };
  identity.versionText = kVersionText;
  // [ServerHost] is read again before every connection attempt.
  identity.serverHost = ServerHostFromFolder(services_.fs, workDir_);
  identity.alive = [this] { Alive(ThreadWatch::Link); };
  return identity;
}

// ---------------------------------------------------------------------------
// The serial port

bool Station::OpenPort() {
  // A fresh line: halves of reports from before and after are never joined.
  if (!reception_->OpenPort()) return false;
  portFailed_ = false;
  return true;
}

void Station::BytesWaiting(int count) { reception_->BytesWaiting(count); }

void Station::PortFailed(const std::string& reason) {
  const std::string name = port_->Name();
  log_.Report("Порт " + name + " перестал работать (" + reason + ") и закрыт.");
  if (running_ && !ShutDown()) {
    portFailed_ = true;
    lastPortTryTick_ = services_.clock.TickMs();
    log_.Report("Попытка открыть порт " + name + " снова - каждые 5 секунд.");
  }
}

void Station::RetryPort() {
  if (!portFailed_ || ShutDown()) return;
  if (!running_ || port_->IsOpen()) {
    portFailed_ = false;
    return;
  }
  const std::uint32_t now = services_.clock.TickMs();
  if (static_cast<std::uint32_t>(now - lastPortTryTick_) < kPortRetryMs) return;
  lastPortTryTick_ = now;
  if (OpenPort()) log_.Report("Порт " + port_->Name() + " снова открыт.");
}

bool Station::StartReception(const std::string& portName) {
  if (ShutDown()) return false;
  port_->SetName(portName);
  running_ = OpenPort();
  return running_;
}

void Station::StopReception() {
  port_->Close();
  portFailed_ = false;
  running_ = false;
}

std::vector<std::string> Station::ScanPorts() {
  std::vector<std::string> found;
  if (port_->IsOpen()) return found;
  for (int n = 1; n <= 32; ++n) {
    const std::string name = "COM" + std::to_string(n);
    port_->SetName(name);
    if (port_->Open()) {
      port_->Close();
      found.push_back(name);
    }
  }
  return found;
}

void Station::SavePortName(const std::string& nameCp1251) {
  if (running_) return;
  reception_->SavePortName(nameCp1251);
}

// ---------------------------------------------------------------------------
// The tick

ForwardingAlarm::Outcome Station::Tick() {
  Alive(ThreadWatch::Window);
  if (ShutDown()) return {};
  reception_->Tick();
  delivery_->Tick();
  retryStep_.Run([this] { RetryPort(); });
  ForwardingAlarm::Outcome out;
  watchStep_.Run([this, &out] { out = WatchStep(); });
  return out;
}

void Station::Alive(ThreadWatch::Thread t) {
  watch_.Beat(t, services_.clock.TickMs());
  if (services_.onAlive) services_.onAlive(t);
}

bool Station::ThreadsAlive(std::uint32_t withinMs) const {
  return watch_.AllAlive(services_.clock.TickMs(), withinMs);
}

StationStatus Station::Status() const {
  StationStatus s;
  const std::uint32_t now = services_.clock.TickMs();
  s.delivery = delivery_->Status();
  s.server = serverText_;
  if (!s.delivery.serverAddress.empty()) {
    // The server the link uses now: the primary, or the standby while it stands in.
    s.server = (s.delivery.onStandby ? "standby " : "") + s.delivery.serverAddress + ":" +
               std::to_string(s.delivery.serverPort);
  }
  if (!s.delivery.online && offlineSinceTick_) s.offlineMs = now - *offlineSinceTick_;
  s.portName = port_->Name();
  s.portOpen = port_->IsOpen();
  s.receptionRunning = running_;
  s.receiverSilenceMs = reception_->SilenceMs();
  s.stationPresent = reception_->StationPresent(s.receiverSilenceMs);
  s.transmitters = reception_->Table().Count();
  s.alarm = alarm_.Active();
  return s;
}

ForwardingAlarm::Outcome Station::WatchStep() {
  const std::uint32_t now = services_.clock.TickMs();
  if (Online()) {
    offlineSinceTick_.reset();
  } else if (!offlineSinceTick_) {
    offlineSinceTick_ = now;
  }
  StationStatus s = Status();
  const ForwardingAlarm::Outcome out = alarm_.Update(s, now);
  s.alarm = alarm_.Active();
  if (out.began) log_.Warning(alarm_.BeganLine());
  if (out.cleared) log_.Notice(alarm_.ClearedLine());
  // The line is made only when it could go out (at most once a second).
  if (statusLine_.Due(now)) {
    if (const auto line = statusLine_.Offer(StatusLine(s), now)) service_notifier::Status(*line);
  }
  if (!services_.metricsFile.empty() &&
      (!metricsTick_ || static_cast<std::uint32_t>(now - *metricsTick_) >= kMetricsEveryMs))
    WriteMetricsOf(s);
  return out;
}

bool Station::WriteMetrics() {
  if (services_.metricsFile.empty()) return true;
  return WriteMetricsOf(Status());
}

bool Station::WriteMetricsOf(const StationStatus& status) {
  metricsTick_ = services_.clock.TickMs();
  std::string receiver = workDir_.filename().string();
  if (receiver.empty()) receiver = workDir_.parent_path().filename().string();
  const std::string file = services_.metricsFile.string();
  if (!WriteFileWhole(services_.metricsFile, FormatMetrics(status, kVersionText, receiver))) {
    metricsReports_.Failed(file, {"Не удалось записать файл метрик ", file, "."});
    return false;
  }
  metricsReports_.Over(file, "Файл метрик " + file + " снова записывается.");
  return true;
}

// ---------------------------------------------------------------------------
// The end

bool Station::Shutdown(int boundMs) {
  if (shutdown_) return *shutdown_;
  port_->Close();
  portFailed_ = false;
  const bool finished = delivery_->Finish(boundMs);
  if (!finished) {
    // The program ends without the worker; what the disk holds is flushed first.
    if (flusher_) flusher_->Stop(std::chrono::seconds(1));
  } else {
    // What waits for a flush goes to the disk now; later writes are flushed at once.
    if (flusher_ && !flusher_->Stop(std::chrono::seconds(5)))
      log_.Report("Файлы событий не удалось сбросить на диск за 5 с.");
    // A table save that failed is tried once more; one that still fails is reported.
    reception_->Table().SaveAtStop();
  }
  watch_.Forget(ThreadWatch::Link);
  watch_.Forget(ThreadWatch::Flusher);
  shutdown_ = finished;
  return finished;
}

}  // namespace kestrel
