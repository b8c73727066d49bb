// cl: connecting to the message server, and the standby server.

#include <string>
#include <utility>

#include "delivery/Unit7.h"
#include "platform/text_1251.h"

namespace kestrel {

namespace {

constexpr const char* kMsgConnecting = "Соединение...";
constexpr const char* kMsgConnected = "Соединение установлено.";

}  // namespace

// ---------------------------------------------------------------- connection

void cl::ConnectionAttempt() {
  ReleaseAtLinkDown();
  session_.reset();  // the last connection closes, without its disconnect callback
  Indicate();
  Log(kMsgConnecting);
  LastConnectTick = clock_.TickMs();
  registeredShared_.store(false);
  registrationNoted_ = false;

  RereadServerHost();
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
  BeginSession(std::make_unique<LinkSession>(clientFactory_(), clock_,
                                             [this] { return StopRequested.load(); }));
  if (!session_->Client().Connect(host.address, static_cast<std::uint16_t>(host.port),
                                  kConnectTimeoutMs)) {
    // Told when the attempts begin to fail, with the reason, and when one works
    // again, with the count; the next attempt follows the 5000 ms rule.
    if (connectFailures_++ == 0) {
      const std::string why = session_->Client().FailureText();
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

void cl::RereadServerHost() {
  host_ = identity_.serverHost ? identity_.serverHost() : ServerHost{};
  blockGapMs_ = static_cast<std::uint32_t>(host_.blockGapMs);
}

void cl::BeginSession(std::unique_ptr<LinkSession> session) {
  session_ = std::move(session);
  session_->Client().SetOnConnected([this] { ClientConnected(); });
  session_->Client().SetOnDisconnected([this] { ClientDisconnected(); });
}

void cl::ClientConnected() {
  // Runs inside the client's Connect, on the worker thread.
  for (const auto& [command, payload] : LinkSession::Greeting(identity_)) {
    Enqueue(command, payload, PacketKind::Internal, {}, false);
  }
  session_->GreetingQueued();
}

void cl::ClientDisconnected() {
  GoOffline();
  Indicate();
}

void cl::DropLink() {
  GoOffline();
  Indicate();
  if (session_) session_->Disconnect();
}

void cl::GoOffline() {
  Online.store(false);
  linkDownPending_ = true;
}

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
  if (!Online.load() || !session_) {
    if (registrationNoted_) {
      registrationNoted_ = false;
      choice_.Down();
    }
    return;
  }
  const std::uint32_t now = clock_.TickMs();
  if (session_->Registered() && !registrationNoted_ && choice_.Connection()) {
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
  if (session_->Matcher().MayWrite() && choice_.FailbackDue(timing, now)) TryPrimary();
}

void cl::TryPrimary() {
  choice_.FailbackTried(clock_.TickMs());
  // The settings are read before every attempt, this one too.
  RereadServerHost();
  if (!host_.PortValid()) return;
  // A second connection that runs the handshake by itself; closed again unless
  // the primary registers, and the standby carries on.
  auto probe = std::make_unique<LinkSession>(clientFactory_(), clock_,
                                             [this] { return StopRequested.load(); });
  if (!probe->Client().Connect(host_.address, static_cast<std::uint16_t>(host_.port),
                               kConnectTimeoutMs) ||
      !probe->Handshake(identity_, [this] { return TakeSequence(); })) {
    return;
  }

  // The primary has registered: it becomes the connection (the standby's closes),
  // and what waits in the queue goes over it. Nothing awaits a reply, so nothing
  // goes twice; packets made for the standby connection (a query's answer) die
  // with it.
  const std::uint32_t now = clock_.TickMs();
  const std::uint32_t away = choice_.PrimaryAwayMs(now);
  BeginSession(std::move(probe));
  {
    std::lock_guard lock(queueMutex_);
    for (QueuedPacket& p : Queue.TakeAll()) {
      if (p.kind != PacketKind::Internal) Queue.Enqueue(std::move(p));
    }
  }
  registeredShared_.store(true);
  registrationNoted_ = true;
  if (choice_.Registered(ServerRole::Primary, now)) AnnounceSwitch(ServerRole::Primary, away);
  PublishServer();
  Indicate();
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

}  // namespace kestrel
