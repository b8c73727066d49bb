#include "delivery/Unit7.h"

#include <algorithm>
#include <utility>

#include "delivery/block_io.h"
#include "delivery/commands.h"
#include "delivery/packet.h"
#include "delivery/server_host.h"
#include "delivery/spool_file_format.h"
#include "delivery/stop_aware_client.h"
#include "platform/paths.h"
#include "platform/text_1251.h"

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
       TcpClientFactory clientFactory, Spool& spool, LinkIdentity identity)
    : clock_(clock),
      files_(files),
      oplog_(log),
      ui_(ui),
      clientFactory_(std::move(clientFactory)),
      spool_(spool),
      identity_(std::move(identity)),
      choice_(clock_.TickMs()) {
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
    if (!spool_.Claim(file)) return true;
    if (Enqueue(command, payload, PacketKind::LiveEvent, file, true)) {
      Wake();
      return true;
    }
    spool_.Release(file);
  } catch (...) {
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
    if (JustConnected || matcher_.ReplyDue()) return 0;
    bool queued = false;
    {
      std::lock_guard lock(queueMutex_);
      queued = !Queue.Empty();
    }
    // A backlog file the worker could take goes at the same pace; one turned away
    // is waited for until its retry delay is over, not stepped for.
    std::optional<std::uint32_t> backlog;
    if (takeBacklog_) backlog = spool_.NextDueInMs(now);
    if (queued || backlog == 0u || matcher_.ProbeDue()) return until(lastBlockTick_, blockGapMs_);
    std::optional<std::uint32_t> wake;
    if (Registered) wake = until(LastKeepAliveTick, kKeepAliveMs + 1);
    if (backlog) {
      const std::uint32_t next = std::max(*backlog, until(lastBlockTick_, blockGapMs_));
      wake = wake ? std::min(*wake, next) : next;
    }
    // A primary that has not registered is left in time for the standby.
    if (const auto leave = choice_.LeavePrimaryInMs(ChoiceTiming(), now)) {
      wake = wake ? std::min(*wake, *leave) : *leave;
    }
    return wake;
  }
  if (ReconnectEnabled.load()) {
    const std::uint32_t retry = until(LastConnectTick, kReconnectMs + 1);
    const auto standby = choice_.StandbyInMs(ChoiceTiming(), now);
    return standby ? std::min(retry, *standby) : retry;
  }
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
      // The standby is tried as soon as the primary has been away long enough.
      if (!StopRequested.load() && (Since(clock_.TickMs(), LastConnectTick) > kReconnectMs ||
                                    choice_.StandbyInMs(ChoiceTiming(), clock_.TickMs()) == 0u)) {
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
  try {
    FollowServerChoice();
  } catch (...) {
    caught_.Report("выбор сервера");
  }
  if (takeBacklog_) {
    try {
      spool_.Maintain();
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
  // While a block waits for its reply nothing new is written: the line is settled
  // first (its reply read, late or not, or the block given up).
  const bool mayWrite = matcher_.MayWrite();
  const bool probe = mayWrite && matcher_.ProbeDue();
  if (mayWrite && !probe && Online.load()) TakeFromBacklog();

  std::optional<QueuedPacket> front;
  const auto peek = [&] {
    front.reset();
    if (!mayWrite || probe) return;
    std::lock_guard lock(queueMutex_);
    if (const QueuedPacket* p = Queue.PeekFront()) front = *p;
  };
  peek();
  if (!front && mayWrite && !probe && Registered &&
      Since(clock_.TickMs(), LastKeepAliveTick) > kKeepAliveMs) {
    KeepAliveDue = true;
    LastKeepAliveTick = clock_.TickMs();
  }
  if (probe) KeepAliveDue = true;  // a reply is owed: a keepalive goes first
  if ((front || KeepAliveDue) && Client && Client->Connected()) {
    const bool wasOnline = Online.load();
    ReadUnaskedReplies();
    if (wasOnline && !Online.load()) return;  // a command took the link down
    peek();  // an unasked query queued its answer, or a command cleared the queue
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
          matcher_.Written({front->command, front->kind, front->spoolFile, front->payload,
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
    KeepAliveDue = false;  // the block itself shows the link alive
  }

  bool didRead = false;
  ReceiveResult received = ReceiveResult::Nothing;
  if (KeepAliveDue || JustConnected || PacketTaken || matcher_.ReplyDue()) {
    if (KeepAliveDue) {
      KeepAliveDue = false;
      try {
        if (Client) {
          if (SendBlock(*Client, BuildPacket(cmdKeepAlive, 0, {})) == SendResult::Written) {
            matcher_.Written({cmdKeepAlive, PacketKind::Internal, {}, {}, 0});
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
        if (r == ReceiveResult::Late && ++lateReplies_ >= kLateRepliesToDrop) {
          lateReplies_ = 0;
          ErrorCount = kMaxErrors + 1;  // the next step takes the link down
        } else if (r == ReceiveResult::Block) {
          lateReplies_ = 0;
        }
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
  ReplyMatcher::Placement placed;
  if (didRead && !StopRequested.load()) {
    if (valid) {
      placed = matcher_.ReplyRead(ReplyCommand(ReplyBlock), PacketSequence(ReplyBlock));
    } else if (received == ReceiveResult::Nothing) {
      placed = matcher_.ReadGaveUp();
    } else if (received != ReceiveResult::ProtocolError) {
      placed = matcher_.BadReplyRead();  // bytes that made no reply: the block's answer
    }
    // After a protocol error the connection is closed: all it held goes again.
  }
  for (const WrittenBlock& b : placed.unanswered) Unanswered(b, false);
  if (placed.startAfresh) {
    // Not acted on: the command may be anybody's, and the link goes down anyway.
    if (Online.load()) Resynchronise(placed.why);
    return;
  }
  if (valid) {
    Indicate();
    HandleReply(ReplyCommand(ReplyBlock), std::move(placed.answered));
  } else if (placed.answered) {
    Unanswered(*placed.answered, true);
  }
}

void cl::ReadUnaskedReplies() {
  // Bounded: a server that floods the line cannot hold the worker here.
  constexpr int kMostPerStep = 8;
  for (int i = 0; i < kMostPerStep; ++i) {
    if (!Client || !Client->Connected() || !Client->HasPendingData()) return;
    Bytes block;
    StopAwareClient reader(
        *Client, [this] { return StopRequested.load(); }, readSliceMs_,
        [this] { return clock_.TickMs(); });
    const ReceiveResult r = ReceiveBlock(reader, clock_, block);
    if (r == ReceiveResult::ProtocolError) {
      ++ErrorCount;  // the connection is closed
      return;
    }
    if (r != ReceiveResult::Block || !IsValidReply(block)) continue;
    matcher_.UnaskedReply(PacketSequence(block));
    Indicate();
    HandleReply(ReplyCommand(block), std::nullopt);
    if (!Online.load()) return;  // a command took the link down
  }
}

void cl::Resynchronise(const std::string& why) {
  // A reply that cannot be placed: a new connection starts afresh, and
  // everything the link held goes again.
  ++resyncCount_;
  Log("Ответ сервера не удаётся отнести к блоку (" + why + ") - переподсоединение.");
  DropLink();
}

void cl::TakeFromBacklog() {
  if (!takeBacklog_) return;
  {
    std::lock_guard lock(queueMutex_);
    if (!Queue.Empty()) return;  // fresh packets go first
  }
  std::optional<SpoolPacket> next;
  try {
    next = spool_.TakeNext();
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
  if (!queued) spool_.Release(next->file);
}

void cl::HandleReply(std::int32_t command, std::optional<WrittenBlock> answered) {
  if (answered) {
    if (command == cmdEventAck && !answered->spoolFile.empty()) {
      AcknowledgeSpoolFile(*answered);
    } else if (command != cmdEventAck) {
      if (answered->kind != PacketKind::Internal) ++refused_;
      Unanswered(*answered, true);  // a query too: the block it answers is not acknowledged
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

// ---------------------------------------------------------------- connection

void cl::ConnectionAttempt() {
  SettleLinkDown();
  matcher_.NewConnection();
  Indicate();
  Log(kMsgConnecting);
  LastConnectTick = clock_.TickMs();
  ReleaseClient();
  Client = clientFactory_();
  Client->SetOnConnected([this] { ClientConnected(); });
  Client->SetOnDisconnected([this] { ClientDisconnected(); });
  Registered = false;
  registeredShared_.store(false);
  registrationNoted_ = false;

  host_ = ReadServerHost(files_, identity_.workDir);
  blockGapMs_ = static_cast<std::uint32_t>(host_.blockGapMs);
  if (host_.standbyWritten && !host_.BackupPortValid() &&
      reportedBadBackupPort_ != host_.backupPort) {
    reportedBadBackupPort_ = host_.backupPort;
    oplog_.Report("Неверный порт резервного сервера в drvkestrel.ini: " +
                  std::to_string(host_.backupPort) + ".");
  }
  ServerHost host = host_;
  if (choice_.Attempt(ChoiceTiming(), clock_.TickMs()) == ServerRole::Standby) {
    host.address = host_.backupAddress;
    host.port = host_.backupPort;
  }
  PublishServer();
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
  if (!connected) {
    // Told when the attempts begin to fail, with the reason, and when one works
    // again, with the count; the next attempt follows the 5000 ms rule.
    if (connectFailures_++ == 0) {
      const std::string why = Client ? Client->FailureText() : std::string();
      oplog_.Report("Не удалось соединиться с сервером " + Cp1251ToUtf8(host.address) + ":" +
                    std::to_string(host.port) + (why.empty() ? "" : " (" + why + ")") +
                    "; попытки продолжаются.");
    }
    return;
  }
  if (connectFailures_ > 0) {
    oplog_.Notice("Соединение с сервером установлено после неудачных попыток: " +
                  std::to_string(connectFailures_) + ".");
    connectFailures_ = 0;
  }

  Online.store(true);
  ++connects_;
  Log(kMsgConnected);
  Indicate();
}

std::vector<std::pair<std::int32_t, Bytes>> cl::Greeting() {
  bool portOpen = false;
  try {
    portOpen = identity_.portOpen ? identity_.portOpen() : false;
  } catch (...) {
    caught_.Report("состояние порта");
  }
  return {{cmdHello, HelloPayload()},
          {cmdPortInfo, PortInfoPayload(identity_.portNameCp1251, portOpen)},
          {cmdFirstNumber, FirstNumberPayload(identity_.firstNumber)},
          {cmdVersion, VersionPayload(identity_.versionText)}};
}

void cl::ClientConnected() {
  try {
    for (const auto& [command, payload] : Greeting()) {
      Enqueue(command, payload, PacketKind::Internal, {}, false);
      JustConnected = true;
    }
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
  for (WrittenBlock& a : matcher_.TakeAll()) {
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

// ---------------------------------------------------------------- standby server

ServerChoice::Timing cl::ChoiceTiming() const {
  ServerChoice::Timing t;
  t.standby = host_.HasStandby();
  t.failoverAfterMs = static_cast<std::uint32_t>(host_.failoverAfterS) * 1000u;
  t.failbackAfterMs = static_cast<std::uint32_t>(host_.failbackAfterS) * 1000u;
  return t;
}

void cl::FollowServerChoice() {
  if (StopRequested.load()) return;
  if (!Online.load()) {
    if (registrationNoted_) {
      registrationNoted_ = false;
      choice_.Down();
    }
    return;
  }
  const std::uint32_t now = clock_.TickMs();
  if (Registered && !registrationNoted_ && choice_.Connection()) {
    registrationNoted_ = true;
    const ServerRole role = *choice_.Connection();
    const std::uint32_t away = choice_.PrimaryAwayMs(now);
    if (choice_.Registered(role, now)) AnnounceSwitch(role, away);
    PublishServer();
  }
  const ServerChoice::Timing timing = ChoiceTiming();
  if (choice_.LeavePrimary(timing, now)) {
    // The primary shows no life: the next attempt goes to the standby. Its blocks
    // go back to the backlog as at any loss of the link.
    DropLink();
    choice_.Down();
    registrationNoted_ = false;
    return;
  }
  if (matcher_.MayWrite() && choice_.FailbackDue(timing, now)) TryPrimary();
}

void cl::TryPrimary() {
  choice_.FailbackTried(clock_.TickMs());
  // The settings are read before every attempt, this one too.
  host_ = ReadServerHost(files_, identity_.workDir);
  blockGapMs_ = static_cast<std::uint32_t>(host_.blockGapMs);
  if (!host_.PortValid()) return;
  std::unique_ptr<TcpClient> probe;
  bool registered = false;
  try {
    probe = clientFactory_();
    probe->SetOnConnected([] {});
    probe->SetOnDisconnected([] {});
    registered =
        probe->Connect(host_.address, static_cast<std::uint16_t>(host_.port), kConnectTimeoutMs) &&
        Greet(*probe);
  } catch (...) {
    caught_.Report("проверка основного сервера");
    registered = false;
  }
  if (!registered) {
    try {
      if (probe) probe->Disconnect();
    } catch (...) {
      caught_.Report("проверка основного сервера");
    }
    return;  // the standby carries on
  }

  // The primary has registered: the standby connection is closed, and what waits in
  // the queue goes over the primary. Nothing awaits a reply, so nothing goes twice;
  // packets made for the standby connection (a query's answer) die with it.
  const std::uint32_t now = clock_.TickMs();
  const std::uint32_t away = choice_.PrimaryAwayMs(now);
  ReleaseClient();
  Client = std::move(probe);
  Client->SetOnConnected([this] { ClientConnected(); });
  Client->SetOnDisconnected([this] { ClientDisconnected(); });
  {
    std::lock_guard lock(queueMutex_);
    for (QueuedPacket& p : Queue.TakeAll()) {
      if (p.kind != PacketKind::Internal) Queue.Enqueue(std::move(p));
    }
  }
  matcher_.NewConnection();
  ErrorCount = 0;
  JustConnected = false;
  LastKeepAliveTick = now;
  Registered = true;
  registeredShared_.store(true);
  registrationNoted_ = true;
  if (choice_.Registered(ServerRole::Primary, now)) AnnounceSwitch(ServerRole::Primary, away);
  PublishServer();
  Indicate();
}

bool cl::Greet(TcpClient& client) {
  // One block at a time, each with its reply, so replies need no matching. A query
  // is answered; anything that refuses or ends the link fails the try.
  StopAwareClient reader(
      client, [this] { return StopRequested.load(); }, readSliceMs_,
      [this] { return clock_.TickMs(); });
  std::deque<std::pair<std::int32_t, Bytes>> toSend;
  for (auto& packet : Greeting()) toSend.push_back(std::move(packet));
  bool registered = false;
  for (int blocks = 0; !toSend.empty() && blocks < 8; ++blocks) {
    std::int64_t sequence = 0;
    {
      std::lock_guard lock(queueMutex_);
      sequence = NextSequence++;
    }
    const auto [command, payload] = std::move(toSend.front());
    toSend.pop_front();
    if (SendBlock(client, BuildPacket(command, sequence, payload)) != SendResult::Written) {
      return false;
    }
    Bytes reply;
    if (ReceiveBlock(reader, clock_, reply) != ReceiveResult::Block || !IsValidReply(reply)) {
      return false;
    }
    switch (ReplyCommand(reply)) {
      case cmdRegistered:
        registered = true;
        break;
      case cmdQuery:
        toSend.emplace_front(cmdQueryAnswer, Bytes{});
        break;
      case cmdAccessDenied:
      case cmdDropLink:
      case cmdServerDisconnect:
        return false;
      default:
        break;
    }
  }
  return registered && toSend.empty();
}

void cl::AnnounceSwitch(ServerRole role, std::uint32_t primaryAwayMs) {
  if (role == ServerRole::Standby) {
    Log("Резервный сервер " + Cp1251ToUtf8(host_.backupAddress) + ":" +
        std::to_string(host_.backupPort) + " принял связь: основной сервер " +
        Cp1251ToUtf8(host_.address) + ":" + std::to_string(host_.port) + " недоступен " +
        std::to_string(primaryAwayMs / 1000) + " с.");
  } else {
    Log("Основной сервер снова доступен (" + Cp1251ToUtf8(host_.address) + ":" +
        std::to_string(host_.port) + "): связь переведена на него, резервный сервер отключён.");
  }
}

void cl::PublishServer() {
  const bool standby = choice_.Connection() == ServerRole::Standby;
  std::lock_guard lock(serverMutex_);
  serverShown_.standby = standby;
  serverShown_.addressUtf8 = Cp1251ToUtf8(standby ? host_.backupAddress : host_.address);
  serverShown_.port = standby ? host_.backupPort : host_.port;
  serverShown_.switches = choice_.Switches();
}

cl::ServerInUse cl::ServerInUseAnyThread() const {
  std::lock_guard lock(serverMutex_);
  return serverShown_;
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
  // Every reply that passes the checks steps the indicator: on a registered link it
  // is also the server's sign of life.
  const std::uint32_t now = clock_.TickMs();
  const bool reply = Online.load() && Registered;
  if (reply) choice_.Alive(now);
  if (StopRequested.load()) return;
  // Above the default pace the bar moves at most as often as at that pace: each
  // step is a call the worker waits for on the window thread. Changes of the link's
  // state always show.
  if (reply && blockGapMs_ < static_cast<std::uint32_t>(kPauseMs) &&
      Since(now, lastIndicatorTick_) < static_cast<std::uint32_t>(kPauseMs)) {
    return;
  }
  lastIndicatorTick_ = now;
  ui_.AdvanceIndicator();  // never throws
}

}  // namespace kestrel
