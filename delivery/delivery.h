#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "delivery/Unit7.h"
#include "delivery/event_dispatch.h"
#include "delivery/event_sink.h"
#include "delivery/link_port.h"
#include "delivery/spool.h"
#include "delivery/spool_location.h"
#include "platform/clock.h"
#include "platform/file_system.h"
#include "platform/group_flusher.h"
#include "platform/operator_log.h"
#include "platform/tcp_client.h"
#include "platform/tick_step.h"

namespace kestrel {

// What delivery is built on. Tests hand in fakes; the program the real ones.
struct DeliveryServices {
  const Clock& clock;
  FileSystem& fs;
  OperatorLog& log;
  TcpClientFactory tcpClients;  // the link worker's connections
  // Flushes spool files off the caller's thread; null: each file is flushed as it
  // is written.
  GroupFlusher* flusher = nullptr;
};

// What delivery shows to whoever displays it. Safe to read on the window thread
// while the worker runs.
struct DeliveryStatus {
  bool online = false;      // the link takes live events
  bool registered = false;  // online, and the server has registered this station
  // Events waiting on disk: spool files not yet acknowledged (set-aside files not
  // counted), plus events a failing disk keeps in memory.
  std::size_t backlog = 0;
  // Signs of life of the server link since start-up (each one step of its
  // indicator: every reply that passes the checks, every change of the link's
  // state), and the monotonic tick of the last one; nothing before the first.
  std::uint64_t signsOfLife = 0;
  std::optional<std::uint32_t> lastSignOfLifeTick;
  // The server the link uses (or tries now): the standby or the primary, its
  // address (UTF-8) and port, and how many times the link switched between them.
  bool onStandby = false;
  std::string serverAddress;
  std::int32_t serverPort = 0;
  std::uint64_t serverSwitches = 0;
  // Since start-up: events raised, events the server acknowledged (their files
  // deleted), events it answered otherwise, connections made to the server, and
  // events that could not be written to a spool file when raised.
  std::uint64_t raised = 0;
  std::uint64_t acknowledged = 0;
  std::uint64_t refused = 0;
  std::uint64_t connects = 0;
  std::uint64_t spoolWriteFailures = 0;
  // How long the oldest spool file not yet acknowledged has waited (monotonic
  // tick); nothing when none waits. Files found at start-up count from the start.
  std::optional<std::uint32_t> oldestWaitingMs;
};

// The delivery of events to the message server: the spool (its files and their
// states, recovered at start), the event dispatch and the link worker `cl`. Every event is written
// to a spool file first; the file goes when the server acknowledges it. Reception raises events
// into it (EventSink); the window ticks it, starts the link, and stops it at the end with a bounded
// wait.
//
// Until StartLink every event goes to a spool file.
class Delivery final : public EventSink {
 public:
  // Completes or sets aside the temporary files a crash left in the spool folder,
  // then lists the folder once: from here on the spool knows what waits.
  Delivery(DeliveryServices services, SpoolLocation spool);
  // Stops the worker (if still running) and waits for it.
  ~Delivery() override;
  Delivery(const Delivery&) = delete;
  Delivery& operator=(const Delivery&) = delete;

  // Makes the link worker, starts it, and points the dispatch at it.
  void StartLink(LinkIdentity identity);

  // An event from reception: to a spool file, then to the link while it is
  // online and takes it (else the file waits in the backlog).
  void Raise(const EventRecord& record) override;

  // Delivery's share of the 200 ms tick, each step guarded on its own: the backlog
  // report (begun, cleared), then the retry of events kept in memory. The backlog
  // itself leaves through the worker, at the link's pace.
  void Tick();

  // Asks the worker to stop.
  void RequestStop();
  // Stops the worker and waits for it for at most boundMs. True when the worker
  // has ended. Then (also when it has not, since the spool is shared
  // safely), once, the events a failing disk kept in memory get a last chance at a
  // spool file; each that still fails is named in the log and counted.
  bool Finish(int boundMs);
  // After Finish: events neither on disk nor delivered. The program's exit status
  // is non-zero when there are any.
  std::size_t UnwrittenEvents() const { return unwritten_; }

  DeliveryStatus Status() const;
  bool Online() const { return worker_ != nullptr && worker_->IsOnline(); }

  // The parts, for tests and the window's few questions.
  kestrel::Spool& Spool() { return spool_; }
  cl* Worker() { return worker_.get(); }
  const cl* Worker() const { return worker_.get(); }

 private:
  DeliveryServices services_;
  void FinishSpool();

  kestrel::Spool spool_;
  OfflineLink offline_;
  EventDispatch dispatch_;
  TickStep drainStep_;
  TickStep retryStep_;
  std::unique_ptr<cl> worker_;
  bool finished_ = false;
  std::size_t unwritten_ = 0;
  std::atomic<std::uint64_t> raised_{0};
};

}  // namespace kestrel
