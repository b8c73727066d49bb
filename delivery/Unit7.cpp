#include "delivery/Unit7.h"

#include <algorithm>
#include <utility>

#include "delivery/block_io.h"
#include "delivery/commands.h"
#include "delivery/packet.h"
#include "delivery/server_host.h"
#include "delivery/spool_drain.h"
#include "delivery/spool_file_format.h"
#include "delivery/spool_writer.h"
#include "delivery/stop_aware_client.h"

namespace kestrel {

namespace {

// The connection log lines.
constexpr const char* kMsgConnecting = "Соединение...";
constexpr const char* kMsgConnected = "Соединение установлено.";
constexpr const char* kMsgNetworkErrors = "Ошибки по сети - переподсоединение.";
constexpr const char* kMsgServerDisconnect = "Сервер дал команду на рассоединение.";
constexpr const char* kMsgDenied = "Доступ запрещен.";

// Milliseconds from `then` to `now` on the 32-bit tick, across its wrap-around.
std::uint32_t Since(std::uint32_t now, std::uint32_t then) { return now - then; }

}  // namespace

cl::cl(const Clock& clock, FileSystem& files, OperatorLog& log, LinkUi& ui,
       TcpClientFactory clientFactory, SpoolWriter& spool, SpoolIndex& index, LinkIdentity identity)
    : clock_(clock),
      files_(files),
      oplog_(log),
      ui_(ui),
      clientFactory_(std::move(clientFactory)),
      spool_(spool),
      index_(index),
      identity_(std::move(identity)) {
  LastKeepAliveTick = clock_.TickMs();
  lastBlockTick_ = LastKeepAliveTick - static_cast<std::uint32_t>(kPauseMs);
}

cl::~cl() {
  RequestStop();
  if (thread_.joinable()) thread_.join();
}

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
  try {
    const bool queued =
        Enqueue(command, payload,
                command == cmdEvent ? PacketKind::LiveEvent : PacketKind::Internal, {}, true);
    if (queued) Wake();
    return queued;
  } catch (...) {
    caught_.Report("постановка в очередь");
    return false;
  }
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

// ---------------------------------------------------------------- running

void cl::Start() {
  if (thread_.joinable()) return;
  {
    std::lock_guard lock(stopMutex_);
    finished_ = false;
  }
  thread_ = std::thread([this] { Execute(); });
}

void cl::RequestStop() {
  StopRequested.store(true);
  ReconnectEnabled.store(false);
  { std::lock_guard lock(stopMutex_); }
  stopCv_.notify_all();
}

bool cl::Wait(int ms) {
  if (!thread_.joinable()) return true;
  {
    std::unique_lock lock(stopMutex_);
    if (!stopCv_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return finished_; })) {
      return false;
    }
  }
  thread_.join();
  return true;
}

// ---------------------------------------------------------------- the wait

void cl::Wake() {
  {
    std::lock_guard lock(stopMutex_);
    wakeSignal_ = true;
  }
  stopCv_.notify_all();
}

bool cl::ReplyDue() const {
  for (const Awaiting& a : awaiting_) {
    if (!a.missed) return true;
  }
  return false;
}

std::optional<std::uint32_t> cl::NextWakeInMs() const {
  if (StopRequested.load() || settlePending_) return 0;
  const std::uint32_t now = clock_.TickMs();
  // Left of `span` milliseconds that began at `since`; 0 once they are over.
  const auto until = [now](std::uint32_t since, std::uint32_t span) -> std::uint32_t {
    const std::uint32_t gone = Since(now, since);
    return gone >= span ? 0 : span - gone;
  };
  if (Online.load()) {
    // Counting errors after a failed read keeps the steady pace of steps.
    if (ReplyBlock.empty() || ErrorCount > kMaxErrors) return kPauseMs;
    if (JustConnected || ReplyDue()) return 0;
    bool queued = false;
    {
      std::lock_guard lock(queueMutex_);
      queued = !Queue.Empty();
    }
    // A backlog file the worker could take goes at the same pace; one turned away
    // is waited for until its retry delay is over, not stepped for.
    std::optional<std::uint32_t> backlog;
    if (drain_ != nullptr) backlog = index_.NextDueInMs(now);
    if (queued || backlog == 0u) return until(lastBlockTick_, kPauseMs);
    std::optional<std::uint32_t> wake;
    if (Registered) wake = until(LastKeepAliveTick, kKeepAliveMs + 1);
    if (backlog) {
      const std::uint32_t next = std::max(*backlog, until(lastBlockTick_, kPauseMs));
      wake = wake ? std::min(*wake, next) : next;
    }
    return wake;
  }
  if (ReconnectEnabled.load()) return until(LastConnectTick, kReconnectMs + 1);
  if (!DeniedShown) return 0;
  return std::nullopt;
}

void cl::WaitForWork() {
  // Long enough to cost nothing, short enough that a flag changed without a wake
  // is noticed.
  constexpr std::uint32_t kLongestWaitMs = 1000;
  {
    std::lock_guard lock(stopMutex_);
    wakeSignal_ = false;
  }
  for (;;) {
    const std::optional<std::uint32_t> due = NextWakeInMs();
    if (due && *due == 0) return;
    const std::uint32_t ms = due ? std::min(*due, kLongestWaitMs) : kLongestWaitMs;
    std::unique_lock lock(stopMutex_);
    const bool woken = stopCv_.wait_for(lock, std::chrono::milliseconds(ms),
                                        [this] { return StopRequested.load() || wakeSignal_; });
    if (!woken || StopRequested.load()) return;
    wakeSignal_ = false;  // something was queued: look again
  }
}

void cl::Execute() {
  try {
    LastKeepAliveTick = clock_.TickMs();
    while (!StopRequested.load()) {
      if (identity_.alive) identity_.alive();
      LinkStep();
      WaitForWork();
    }
  } catch (...) {
    // The loop ends; what follows keeps events from waiting in a queue nobody reads.
    caught_.Report("цикл работы");
  }
  Online.store(false);
  try {
    SettleLinkDown();
  } catch (...) {
    caught_.Report("сохранение событий при остановке");
  }
  try {
    if (Client && Client->Connected()) Client->Disconnect();
  } catch (...) {
    caught_.Report("разрыв соединения при остановке");
  }
  try {
    Client.reset();
  } catch (...) {
    caught_.Report("освобождение соединения");
  }
  {
    std::lock_guard lock(stopMutex_);
    finished_ = true;
  }
  stopCv_.notify_all();
}

// ---------------------------------------------------------------- one step

void cl::LinkStep() {
  try {
    if (Online.load()) {
      OnlineStep();
    } else if (ReconnectEnabled.load()) {
      if (!StopRequested.load() && Since(clock_.TickMs(), LastConnectTick) > kReconnectMs) {
        ConnectionAttempt();
      }
    } else if (!DeniedShown) {
      DeniedShown = true;
      Log(kMsgDenied);
    }
  } catch (...) {
    ++ErrorCount;
    caught_.Report("шаг связи");
  }
  if (drain_ != nullptr) {
    try {
      drain_->Maintain();
    } catch (...) {
      caught_.Report("просмотр папки файлов событий");
    }
  }
  if (settlePending_ && !Online.load()) {
    try {
      SettleLinkDown();
    } catch (...) {
      caught_.Report("сохранение событий после разрыва");
    }
  }
}

void cl::OnlineStep() {
  if (ErrorCount > kMaxErrors) {
    ErrorCount = 0;
    Log(kMsgNetworkErrors);
    GoOffline();  // the connection stays open; the rest of the step still runs
  }
  PacketTaken = false;
  bool readReply = false;
  if (Online.load()) TakeFromBacklog();

  std::optional<QueuedPacket> front;
  {
    std::lock_guard lock(queueMutex_);
    if (const QueuedPacket* p = Queue.PeekFront()) front = *p;
  }
  if (front) {
    PacketTaken = true;
    if (Client && Client->Connected()) {
      try {
        if (SendBlock(*Client, front->packet) == SendResult::Written) {
          {
            std::lock_guard lock(queueMutex_);
            Queue.DropFront();
          }
          awaiting_.push_back({front->command, front->kind, front->spoolFile, front->payload,
                               PacketSequence(front->packet)});
          lastBlockTick_ = clock_.TickMs();
        } else {
          ++ErrorCount;  // stays at the front
        }
      } catch (...) {
        ++ErrorCount;
        caught_.Report("отправка блока");
      }
    } else {
      // The connection is gone: the link is down now. The packet is not dropped;
      // live events are spooled at the end of the step.
      GoOffline();
    }
  } else if (Registered && Since(clock_.TickMs(), LastKeepAliveTick) > kKeepAliveMs) {
    KeepAliveDue = true;
    LastKeepAliveTick = clock_.TickMs();
  }

  ReplyMatch match;
  bool didRead = false;
  ReceiveResult received = ReceiveResult::Nothing;
  if (KeepAliveDue || JustConnected || PacketTaken || ReplyDue()) {
    if (KeepAliveDue) {
      KeepAliveDue = false;
      try {
        if (Client) {
          if (SendBlock(*Client, BuildPacket(cmdKeepAlive, 0, {})) == SendResult::Written) {
            awaiting_.push_back({cmdKeepAlive, PacketKind::Internal, {}, {}, 0});
            lastBlockTick_ = clock_.TickMs();
          } else {
            ++ErrorCount;
          }
        }
      } catch (...) {
        // Any other failure of a keepalive is not counted, only told.
        caught_.Report("отправка проверки связи");
      }
    }
    JustConnected = false;
    readReply = true;
    ReplyBlock.clear();
    try {
      if (Client) {
        StopAwareClient reader(
            *Client, [this] { return StopRequested.load(); }, readSliceMs_,
            [this] { return clock_.TickMs(); });
        const ReceiveResult r = ReceiveBlock(reader, clock_, ReplyBlock);
        didRead = true;
        received = r;
        if (r == ReceiveResult::ProtocolError) {
          ++ErrorCount;
          readReply = false;
        }
      }
    } catch (...) {
      ++ErrorCount;
      caught_.Report("чтение ответа");
      readReply = false;
      ReplyBlock.clear();
    }
  }

  if (ReplyBlock.empty()) {
    ++ErrorCount;
    readReply = false;
  }
  const bool valid = readReply && IsValidReply(ReplyBlock);
  if (didRead) match = MatchReply(received, valid);
  if (valid) {
    Indicate();
    HandleReply(ReplyCommand(ReplyBlock), std::move(match.answered));
  } else if (match.answered) {
    Unanswered(*match.answered);
  }
  // A command that took the link down already starts the next connection afresh.
  if (match.resync && Online.load()) Resynchronise();
}

// ---------------------------------------------------------------- reply matching

cl::ReplyMatch cl::MatchReply(ReceiveResult r, bool valid) {
  if (awaiting_.empty()) {
    // Nothing was waiting: a reply now is one more than the blocks written. With
    // a server that does not echo, later replies could no longer be told apart.
    const bool extra = r != ReceiveResult::Nothing && r != ReceiveResult::ProtocolError;
    return ReplyMatch{std::nullopt, extra && !echoSeen_};
  }
  if (r == ReceiveResult::ProtocolError) return {};  // the connection is closed: all goes again
  if (r == ReceiveResult::Nothing) {
    // The connection stayed silent. A server known to echo has left these blocks
    // unanswered: they count as not delivered (a late reply matches nothing). A
    // server that does not echo may still answer them late: they keep waiting,
    // and a reply that then finds two blocks waiting takes the link down.
    if (echoSeen_) {
      std::deque<Awaiting> given;
      given.swap(awaiting_);
      for (const Awaiting& a : given) Unanswered(a);
    } else {
      for (Awaiting& a : awaiting_) a.missed = true;
    }
    return {};
  }
  if (valid) {
    const std::int64_t sequence = PacketSequence(ReplyBlock);
    ReplyMatch bySequence = MatchBySequence(sequence);
    if (bySequence.answered || echoSeen_) return bySequence;
  }
  if (echoSeen_) return {};  // a block that answers nothing the server was asked
  return MatchByOrder(valid, valid ? ReplyCommand(ReplyBlock) : 0);
}

cl::ReplyMatch cl::MatchBySequence(std::int64_t sequence) {
  // Keepalives all carry 0, and so does the first connection's Hello: a 0 shows
  // nothing about echoing, but once echoing is known it still picks the block.
  if (sequence == 0 && !echoSeen_) return {};
  for (std::size_t i = 0; i < awaiting_.size(); ++i) {
    if (awaiting_[i].sequence != sequence) continue;
    if (sequence != 0) echoSeen_ = true;
    // Blocks written before the one answered were passed over by the server.
    for (std::size_t j = 0; j < i; ++j) Unanswered(awaiting_[j]);
    ReplyMatch m;
    m.answered = std::move(awaiting_[i]);
    awaiting_.erase(awaiting_.begin(), awaiting_.begin() + static_cast<std::ptrdiff_t>(i) + 1);
    return m;
  }
  return {};
}

cl::ReplyMatch cl::MatchByOrder(bool valid, std::int32_t command) {
  // By order alone a reply can be shown to answer a block only when it is the one
  // block waiting.
  if (awaiting_.size() != 1) return ReplyMatch{std::nullopt, true};
  const bool ack = valid && command == cmdEventAck;
  if (ack && orderInDoubt_ && awaiting_.front().kind != PacketKind::Internal) {
    // An acknowledgement that may belong to an earlier block deletes nothing.
    return ReplyMatch{std::nullopt, true};
  }
  // A query may have come unasked; then every later reply is one block late.
  if (valid && command == cmdQuery) orderInDoubt_ = true;
  ReplyMatch m;
  m.answered = std::move(awaiting_.front());
  awaiting_.pop_front();
  return m;
}

void cl::Resynchronise() {
  // Replies and blocks cannot be shown to line up: a new connection starts them
  // afresh, and everything the link held goes again.
  ++resyncCount_;
  DropLink();
}

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

void cl::HandleReply(std::int32_t command, std::optional<Awaiting> answered) {
  if (answered) {
    if (command == cmdEventAck && !answered->spoolFile.empty()) {
      AcknowledgeSpoolFile(*answered);
    } else if (command != cmdEventAck) {
      if (answered->kind != PacketKind::Internal) ++refused_;
      Unanswered(*answered);
    }
  }
  switch (command) {
    case cmdRegistered:
      Registered = true;
      registeredShared_.store(true);
      break;
    case cmdQuery:
      Enqueue(cmdQueryAnswer, {}, PacketKind::Internal, {}, false);
      break;
    case cmdAccessDenied:
      GoOffline();
      ReconnectEnabled.store(false);
      DropLink();
      break;
    case cmdDropLink:
      GoOffline();
      DropLink();
      break;
    case cmdServerDisconnect:
      ErrorCount = 0;
      LastConnectTick = clock_.TickMs();
      GoOffline();
      Indicate();
      Log(kMsgServerDisconnect);
      break;
    default:
      break;  // keepalive, acknowledgement and anything else: nothing further
  }
}

void cl::Unanswered(const Awaiting& a) {
  // An event is delivered only by its own acknowledgement. Its file is offered
  // again later, so a server that refuses it is not hammered with it.
  if (!a.spoolFile.empty()) {
    index_.Release(a.spoolFile, clock_.TickMs());
  } else if (a.kind == PacketKind::LiveEvent) {
    SpoolLiveEvent(a.payload);
  }
}

void cl::AcknowledgeSpoolFile(const Awaiting& a) {
  // Deleted only when the file still holds what was sent.
  const Bytes content = EncodeSpoolFile(a.command, a.payload);
  if (index_.Acknowledge(files_, a.spoolFile, content) == SpoolIndex::AckOutcome::Undeletable) {
    oplog_.Report("Не удалось удалить доставленный файл очереди " + a.spoolFile.string() +
                  "; до перезапуска он больше не отправляется.");
  }
}

// ---------------------------------------------------------------- connection

void cl::ConnectionAttempt() {
  SettleLinkDown();
  echoSeen_ = false;
  orderInDoubt_ = false;
  Indicate();
  Log(kMsgConnecting);
  LastConnectTick = clock_.TickMs();
  ReleaseClient();
  Client = clientFactory_();
  Client->SetOnConnected([this] { ClientConnected(); });
  Client->SetOnDisconnected([this] { ClientDisconnected(); });
  Registered = false;
  registeredShared_.store(false);

  const ServerHost host = ReadServerHost(files_, identity_.workDir);
  if (!host.PortValid()) {
    if (reportedBadPort_ != host.port) {
      reportedBadPort_ = host.port;
      oplog_.Report("Неверный порт сервера в drvkestrel.ini: " + std::to_string(host.port) + ".");
    }
    return;
  }
  bool connected = false;
  try {
    connected =
        Client->Connect(host.address, static_cast<std::uint16_t>(host.port), kConnectTimeoutMs);
  } catch (...) {
    caught_.Report("подключение");
    connected = false;
  }
  if (!connected) return;  // silent; the next attempt follows the 5000 ms rule

  Online.store(true);
  ++connects_;
  Log(kMsgConnected);
  Indicate();
}

void cl::ClientConnected() {
  try {
    Enqueue(cmdHello, HelloPayload(), PacketKind::Internal, {}, false);
    JustConnected = true;
    bool portOpen = false;
    try {
      portOpen = identity_.portOpen ? identity_.portOpen() : false;
    } catch (...) {
      caught_.Report("состояние порта");
    }
    Enqueue(cmdPortInfo, PortInfoPayload(identity_.portNameCp1251, portOpen), PacketKind::Internal,
            {}, false);
    Enqueue(cmdFirstNumber, FirstNumberPayload(identity_.firstNumber), PacketKind::Internal, {},
            false);
    Enqueue(cmdVersion, VersionPayload(identity_.versionText), PacketKind::Internal, {}, false);
  } catch (...) {
    // Runs inside the client's connect: nothing may escape.
    caught_.Report("начало обмена");
  }
}

void cl::ClientDisconnected() {
  GoOffline();
  Indicate();
}

void cl::DropLink() {
  GoOffline();
  Indicate();
  try {
    if (Client) Client->Disconnect();
  } catch (...) {
    caught_.Report("разрыв соединения");
  }
}

void cl::ReleaseClient() {
  if (!Client) return;
  try {
    // Closed without ClientDisconnected.
    Client->SetOnConnected([] {});
    Client->SetOnDisconnected([] {});
    Client->Disconnect();
  } catch (...) {
    caught_.Report("закрытие соединения");
  }
  Client.reset();
}

void cl::GoOffline() {
  Online.store(false);
  settlePending_ = true;
}

void cl::SettleLinkDown() {
  settlePending_ = false;
  std::vector<std::pair<std::int32_t, Bytes>> toSpool;
  std::vector<std::filesystem::path> files;
  for (Awaiting& a : awaiting_) {
    if (!a.spoolFile.empty()) {
      files.push_back(std::move(a.spoolFile));
    } else if (a.kind == PacketKind::LiveEvent) {
      toSpool.emplace_back(a.command, std::move(a.payload));
    }
  }
  awaiting_.clear();
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

// ---------------------------------------------------------------- log and indicator

void cl::Log(const std::string& utf8Line) {
  if (StopRequested.load()) return;
  LogLine = utf8Line;
  try {
    oplog_.Notice(LogLine);
  } catch (...) {
    caught_.Report("журнал");
  }
}

void cl::Indicate() {
  if (StopRequested.load()) return;
  ui_.AdvanceIndicator();  // never throws
}

}  // namespace kestrel
