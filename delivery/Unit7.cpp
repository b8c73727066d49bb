// cl: the thread and the step.

#include "delivery/Unit7.h"

#include <algorithm>
#include <utility>

#include "delivery/block_io.h"
#include "delivery/commands.h"
#include "delivery/packet.h"

namespace kestrel {

namespace {

constexpr const char* kMsgNetworkErrors = "Ошибки по сети - переподсоединение.";
constexpr const char* kMsgServerDisconnect = "Сервер дал команду на рассоединение.";
constexpr const char* kMsgDenied = "Доступ запрещен.";

// Milliseconds from `then` to `now` on the 32-bit tick, across its wrap-around.
std::uint32_t Since(std::uint32_t now, std::uint32_t then) { return now - then; }

}  // namespace

cl::cl(const Clock& clock, FileSystem& files, OperatorLog& log, TcpClientFactory clientFactory,
       Spool& spool, LinkIdentity identity)
    : clock_(clock),
      files_(files),
      oplog_(log),
      clientFactory_(std::move(clientFactory)),
      spool_(spool),
      identity_(std::move(identity)),
      choice_(clock_.TickMs()) {
  lastBlockTick_ = clock_.TickMs() - static_cast<std::uint32_t>(kPauseMs);
}

cl::~cl() {
  RequestStop();
  if (thread_.joinable()) thread_.join();
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

void cl::Execute() {
  try {
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
    ReleaseAtLinkDown();
    session_.reset();
  } catch (...) {
    caught_.Report("сохранение событий при остановке");
  }
  {
    std::lock_guard lock(stopMutex_);
    finished_ = true;
  }
  stopCv_.notify_all();
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
  if (StopRequested.load() || linkDownPending_) return 0;
  const std::uint32_t now = clock_.TickMs();
  // Left of `span` milliseconds that began at `since`; 0 once they are over.
  const auto until = [now](std::uint32_t since, std::uint32_t span) -> std::uint32_t {
    const std::uint32_t gone = Since(now, since);
    return gone >= span ? 0 : span - gone;
  };
  if (Online.load() && session_) {
    const LinkSession& s = *session_;
    // Counting errors after a failed read keeps the steady pace of steps.
    if (s.LastReadFailed() || s.TooManyErrors()) return kPauseMs;
    if (s.JustConnected() || s.Matcher().ReplyDue()) return 0;
    bool queued = false;
    {
      std::lock_guard lock(queueMutex_);
      queued = !Queue.Empty();
    }
    // A backlog file the worker could take goes at the same pace; one turned away
    // is waited for until its retry delay is over, not stepped for.
    std::optional<std::uint32_t> backlog;
    if (takeBacklog_) backlog = spool_.NextDueInMs(now);
    if (queued || backlog == 0u || s.Matcher().ProbeDue()) {
      return until(lastBlockTick_, blockGapMs_);
    }
    std::optional<std::uint32_t> wake = s.KeepAliveInMs(now);
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

// ---------------------------------------------------------------- one step

void cl::LinkStep() {
  // The step's boundary: whatever fails inside is counted against the connection
  // of the moment and told once; the next step starts as usual.
  try {
    if (Online.load() && session_) {
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
    FollowServerChoice();
    if (takeBacklog_) spool_.Maintain();
    if (linkDownPending_ && !Online.load()) ReleaseAtLinkDown();
  } catch (...) {
    if (session_) session_->CountError();
    caught_.Report("шаг связи");
  }
}

void cl::OnlineStep() {
  LinkSession& s = *session_;
  if (s.TooManyErrors()) {
    s.ForgetErrors();
    Log(kMsgNetworkErrors);
    GoOffline();  // the connection stays open; the rest of the step still runs
  }
  // While a block waits for its reply nothing new is written: the line is cleared
  // first (its reply read, late or not, or the block given up).
  const bool mayWrite = s.Matcher().MayWrite();
  const bool probe = mayWrite && s.Matcher().ProbeDue();
  if (mayWrite && !probe && Online.load()) TakeFromBacklog();

  const auto peek = [&] {
    return mayWrite && !probe ? PeekQueue() : std::optional<QueuedPacket>();
  };
  std::optional<QueuedPacket> front = peek();
  // A reply is owed: a keepalive goes first.
  bool keepAliveDue = probe || (!front && mayWrite && s.TakeKeepAliveDue(clock_.TickMs()));
  if ((front || keepAliveDue) && s.Connected()) {
    const bool wasOnline = Online.load();
    ReadUnaskedReplies();
    if (wasOnline && !Online.load()) return;  // a command took the link down
    front = peek();  // an unasked query queued its answer, or a command cleared the queue
  }
  const bool PacketTaken = front.has_value();
  if (front) {
    if (s.Connected()) {
      WriteQueued(*front);
    } else {
      // The connection is gone: the link is down now. The packet is not dropped;
      // live events are spooled at the end of the step.
      GoOffline();
    }
    keepAliveDue = false;  // the block itself shows the link alive
  }
  if (keepAliveDue || s.JustConnected() || PacketTaken || s.Matcher().ReplyDue()) {
    if (keepAliveDue) WriteKeepAlive();
    s.FirstReadDone();
    ReadAndPlaceReply();
  } else if (s.LastReadFailed()) {
    s.CountError();  // still no reply since the last read failed
  }
}

void cl::WriteQueued(const QueuedPacket& front) {
  if (SendBlock(session_->Client(), front.packet) != SendResult::Written) {
    session_->CountError();  // stays at the front
    return;
  }
  {
    std::lock_guard lock(queueMutex_);
    Queue.DropFront();
  }
  session_->Matcher().Written(
      {front.command, front.kind, front.spoolFile, front.payload, PacketSequence(front.packet)});
  lastBlockTick_ = clock_.TickMs();
}

void cl::WriteKeepAlive() {
  if (SendBlock(session_->Client(), BuildPacket(cmdKeepAlive, 0, {})) != SendResult::Written) {
    session_->CountError();
    return;
  }
  session_->Matcher().Written({cmdKeepAlive, PacketKind::Internal, {}, {}, 0});
  lastBlockTick_ = clock_.TickMs();
}

void cl::ReadAndPlaceReply() {
  LinkSession& s = *session_;
  const ReceiveResult received = s.ReadReply();
  if (s.LastReadFailed()) s.CountError();
  const bool valid = !s.LastReadFailed() && received != ReceiveResult::ProtocolError &&
                     IsValidReply(s.ReplyBlock());
  ReplyMatcher::Placement placed;
  if (!StopRequested.load()) {
    if (valid) {
      placed = s.Matcher().ReplyRead(ReplyCommand(s.ReplyBlock()), PacketSequence(s.ReplyBlock()));
    } else if (received == ReceiveResult::Nothing) {
      placed = s.Matcher().ReadGaveUp();
    } else if (received != ReceiveResult::ProtocolError) {
      placed = s.Matcher().BadReplyRead();  // bytes that made no reply: the block's answer
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
    HandleReply(ReplyCommand(s.ReplyBlock()), std::move(placed.answered));
  } else if (placed.answered) {
    Unanswered(*placed.answered, true);
  }
}

void cl::ReadUnaskedReplies() {
  // Bounded: a server that floods the line cannot hold the worker here.
  constexpr int kMostPerStep = 8;
  LinkSession& s = *session_;
  for (int i = 0; i < kMostPerStep; ++i) {
    if (!s.Connected() || !s.Client().HasPendingData()) return;
    Bytes block;
    const ReceiveResult r = s.ReadWaiting(block);
    if (r == ReceiveResult::ProtocolError) return;  // the connection is closed
    if (r != ReceiveResult::Block || !IsValidReply(block)) continue;
    s.Matcher().UnaskedReply(PacketSequence(block));
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

// The server's command in a reply; `answered` is the block it answers, if any.
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
      session_->SetRegistered();
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
      session_->ForgetErrors();
      LastConnectTick = clock_.TickMs();
      GoOffline();
      Indicate();
      Log(kMsgServerDisconnect);
      break;
    default:
      break;  // keepalive, acknowledgement and anything else: nothing further
  }
}

// ---------------------------------------------------------------- log and indicator

void cl::Log(const std::string& utf8Line) {
  if (StopRequested.load()) return;
  oplog_.Notice(utf8Line);
}

void cl::Indicate() {
  // Every reply that passes the checks is a sign of life, and on a registered link
  // also the server's for the server choice. Counted, never waited for: whoever
  // draws the indicator reads the count when it likes.
  const std::uint32_t now = clock_.TickMs();
  if (Online.load() && session_ && session_->Registered()) choice_.Alive(now);
  lastSignTick_.store(now);
  ++signsOfLife_;
}

}  // namespace kestrel
