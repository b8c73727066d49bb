#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "delivery/delivery.h"
#include "platform/clock.h"
#include "platform/date_time.h"
#include "platform/file_system.h"
#include "platform/group_flusher.h"
#include "platform/operator_log.h"
#include "platform/report_once.h"
#include "platform/serial_port.h"
#include "platform/tcp_client.h"
#include "platform/tick_step.h"
#include "receiver/reception.h"
#include "receiver/settings.h"
#include "station/forwarding_alarm.h"
#include "station/station_log.h"
#include "station/station_status.h"
#include "station/status_line.h"
#include "station/thread_watch.h"

namespace kestrel {

class ComPort;

// What the station is built on. Tests hand in fakes; the program the real ones.
struct StationServices {
  const Clock& clock;
  FileSystem& fs;
  TcpClientFactory tcpClients = {};    // the link worker's connections
  std::filesystem::path workDir = {};  // empty: the process's current directory at start
  bool startLink = true;               // false: no link worker (events are spooled)
  // Where the metrics are written every 10 s and at the end; empty: nowhere.
  std::filesystem::path metricsFile = {};
  // Called on each thread at each of its signs of life, after it is noted (a test
  // hook: it may hang the thread).
  std::function<void(ThreadWatch::Thread)> onAlive = {};
  // The serial port; null: the station makes its own (ComPort, Qt's serial port,
  // whose bytes and failures it hears itself).
  SerialPort* port = nullptr;
  // Where the operator log's lines go before any listener; null: standard error.
  OperatorLog* log = nullptr;
  // Spool files and the table are flushed in groups off the caller's thread; false:
  // each file is flushed as it is written (no flusher thread).
  bool flushInGroups = true;
};

// The driver without its window: the settings read once, the group flusher, the
// delivery of events to the server (spool files, link worker) and the reception
// of receiver reports, built in that order and stopped in the reverse one. It
// owns the serial port (reopened every 5 s after a failure while reception runs),
// ticks every owner, and tells the service manager and the metrics file how the
// driver is. Runs on one thread (the one that made it); a window shows it and asks
// it, and a run without a display needs nothing else.
class Station {
 public:
  static constexpr std::uint32_t kPortRetryMs = 5000;
  static constexpr std::uint32_t kMetricsEveryMs = 10000;

  // Reads the settings, builds the flusher, delivery and reception, opens the port
  // named in the settings, and starts the link worker.
  explicit Station(StationServices services);
  // Shuts down (bounded) unless that has been done.
  ~Station();
  Station(const Station&) = delete;
  Station& operator=(const Station&) = delete;

  // --- the serial port ---
  // The port reports `count` bytes waiting (the station's own port does this itself).
  void BytesWaiting(int count);
  // The port stopped working and was closed (the station's own port does this itself).
  void PortFailed(const std::string& reason);
  // Starts reception on the port of this name (UTF-8): true when it opened.
  bool StartReception(const std::string& portName);
  // Stops reception: the port is closed and not reopened.
  void StopReception();
  // The names COM1..COM32 whose ports open now (each closed again). Nothing while
  // the port is open: a probe would close it.
  std::vector<std::string> ScanPorts();
  // Stores the port selector's text (Windows-1251) in the settings file, unless
  // reception runs. Throws IniWriteError when the file cannot be written.
  void SavePortName(const std::string& nameCp1251);

  // --- the 200 ms tick ---
  // Each owner's share, each step guarded: reception, delivery, the port reopened
  // after a failure, then the watch (forwarding alarm, service status line, the
  // metrics file). What the alarm did in this tick (the window beeps for it).
  ForwardingAlarm::Outcome Tick();

  // --- what is shown ---
  StationStatus Status() const;
  const MainSettings& Settings() const { return settings_.main; }
  const std::filesystem::path& WorkDir() const { return workDir_; }
  // When the station started (the clock's date-time).
  DateTime StartedAt() const { return startedAt_; }
  bool Running() const { return running_; }
  bool Online() const { return delivery_->Online(); }
  // The server link's signs of life since start-up (each is one indicator step).
  std::uint64_t SignsOfLife() const {
    const cl* worker = delivery_->Worker();
    return worker != nullptr ? worker->SignsOfLife() : 0;
  }
  ForwardingAlarm& Alarm() { return alarm_; }
  StationLog& Log() { return log_; }
  // Every running thread (the ticking one, link worker, flusher) has shown a sign
  // of life within the last withinMs: the service watchdog may be fed.
  bool ThreadsAlive(std::uint32_t withinMs) const;
  // Writes the metrics file now (when one is set); false when it failed.
  bool WriteMetrics();

  // --- the end ---
  // In order: the port closed, the link worker stopped (waited for at most
  // boundMs), the flusher stopped (what waits goes to the disk), the table saved
  // once more if its last save failed. True when the worker ended in time. Runs
  // once; later calls return the first answer.
  bool Shutdown(int boundMs);
  bool ShutDown() const { return shutdown_.has_value(); }
  // After Shutdown: events neither on disk nor delivered (each named in the log).
  std::size_t UnwrittenEvents() const { return delivery_->UnwrittenEvents(); }

  // --- the parts, for tests and the window's few questions ---
  Reception& Receiving() { return *reception_; }
  Delivery& Delivering() { return *delivery_; }
  TransmitterTable& Table() { return reception_->Table(); }
  ReceiverInput& Input() { return reception_->Input(); }
  cl* Worker() { return delivery_->Worker(); }
  SerialPort& Port() { return *port_; }
  // Null when files are flushed as they are written.
  GroupFlusher* Flusher() { return flusher_.get(); }
  // The station's own Qt serial port; null when one was handed in.
  ComPort* OwnPort() { return ownPort_.get(); }

 private:
  void Alive(ThreadWatch::Thread t);
  bool OpenPort();
  void RetryPort();
  ForwardingAlarm::Outcome WatchStep();
  bool WriteMetricsOf(const StationStatus& status);
  LinkIdentity Identity();

  StationServices services_;
  std::filesystem::path workDir_;
  DateTime startedAt_;
  StationLog log_;
  ThreadWatch watch_;
  StationSettings settings_;
  std::unique_ptr<ComPort> ownPort_;
  SerialPort* port_ = nullptr;
  std::unique_ptr<GroupFlusher> flusher_;
  std::unique_ptr<Delivery> delivery_;
  std::unique_ptr<Reception> reception_;
  ForwardingAlarm alarm_;
  TickStep retryStep_;
  TickStep watchStep_;
  StatusLineThrottle statusLine_;
  std::string serverText_;  // "address:port" of the settings at start-up

  bool running_ = false;
  bool portFailed_ = false;  // reopened every 5 s while reception runs
  std::uint32_t lastPortTryTick_ = 0;
  std::optional<std::uint32_t> offlineSinceTick_;
  std::optional<std::uint32_t> metricsTick_;  // last write of the metrics file
  ReportOnce metricsReports_{log_};           // the metrics file failing, and its recovery
  std::optional<bool> shutdown_;              // the answer of Shutdown, once it ran
};

}  // namespace kestrel
