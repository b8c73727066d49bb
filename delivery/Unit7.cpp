#include "delivery/Unit7.h"

#include <utility>

#include "delivery/block_io.h"
#include "delivery/commands.h"
#include "delivery/packet.h"
#include "delivery/server_host.h"
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
       TcpClientFactory clientFactory, SpoolWriter& spool, SpoolBookkeeping& bookkeeping,
       LinkIdentity identity)
    : clock_(clock),
      files_(files),
      oplog_(log),
      ui_(ui),
      clientFactory_(std::move(clientFactory)),
      spool_(spool),
      bookkeeping_(bookkeeping),
      identity_(std::move(identity)) {
  LastKeepAliveTick = clock_.TickMs();
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
    return Enqueue(command, payload,
                   command == cmdEvent ? PacketKind::LiveEvent : PacketKind::Internal, {}, true);
  } catch (...) {
    caught_.Report("постановка в очередь");
    return false;
  }
}

bool cl::AddSpoolPacket(std::int32_t command, ByteView payload, const std::filesystem::path& file) {
  try {
    return Enqueue(command, payload, PacketKind::SpoolFile, file, true);
  } catch (...) {
    caught_.Report("постановка в очередь");
    return false;
  }
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

bool cl::PauseOrStop(int ms) {
  std::unique_lock lock(stopMutex_);
  stopCv_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return StopRequested.load(); });
  return !StopRequested.load();
}

void cl::Execute() {
  try {
    LastKeepAliveTick = clock_.TickMs();
    while (!StopRequested.load()) {
      LinkStep();
      if (!PauseOrStop(kPauseMs)) break;
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
          awaiting_.push_back({front->command, front->kind, front->spoolFile, front->payload});
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

  std::optional<Awaiting> answered;
  if (KeepAliveDue || JustConnected || PacketTaken) {
    if (KeepAliveDue) {
      KeepAliveDue = false;
      try {
        if (Client) {
          if (SendBlock(*Client, BuildPacket(cmdKeepAlive, 0, {})) == SendResult::Written) {
            awaiting_.push_back({cmdKeepAlive, PacketKind::Internal, {}, {}});
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
        // Replies come in the order the blocks were written: whatever consumed a
        // reply answers the oldest block still waiting; a read that got nothing at
        // all leaves it waiting.
        if (r != ReceiveResult::Nothing && !awaiting_.empty()) {
          answered = std::move(awaiting_.front());
          awaiting_.pop_front();
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
  if (readReply && IsValidReply(ReplyBlock)) {
    Indicate();
    HandleReply(ReplyCommand(ReplyBlock), std::move(answered));
  } else if (answered) {
    Unanswered(*answered);
  }
}

void cl::HandleReply(std::int32_t command, std::optional<Awaiting> answered) {
  if (answered) {
    if (command == cmdEventAck && answered->kind == PacketKind::SpoolFile) {
      AcknowledgeSpoolFile(*answered);
    } else if (command != cmdEventAck) {
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
  // A live event is delivered only by its own acknowledgement.
  if (a.kind == PacketKind::LiveEvent) SpoolLiveEvent(a.payload);
}

void cl::AcknowledgeSpoolFile(const Awaiting& a) {
  // Deleted only when the file still holds what was sent.
  const Bytes content = EncodeSpoolFile(a.command, a.payload);
  if (bookkeeping_.Acknowledge(files_, a.spoolFile, content) ==
      SpoolBookkeeping::AckOutcome::Undeletable) {
    oplog_.Report("Не удалось удалить доставленный файл очереди " + a.spoolFile.string() +
                  "; до перезапуска он больше не отправляется.");
  }
}

// ---------------------------------------------------------------- connection

void cl::ConnectionAttempt() {
  SettleLinkDown();
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
  bookkeeping_.ResetLastSpoolSend();
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
  for (Awaiting& a : awaiting_) {
    if (a.kind == PacketKind::LiveEvent) toSpool.emplace_back(a.command, std::move(a.payload));
  }
  awaiting_.clear();
  {
    std::lock_guard lock(queueMutex_);
    for (QueuedPacket& p : Queue.TakeAll()) {
      if (p.kind == PacketKind::LiveEvent) {
        toSpool.emplace_back(p.command, std::move(p.payload));
      } else if (p.kind == PacketKind::Internal) {
        Queue.Enqueue(std::move(p));  // sent after the next connection, as before
      }
      // Spool-file packets are dropped: their files are still on disk.
    }
  }
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
