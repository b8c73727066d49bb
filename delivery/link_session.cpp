#include "delivery/link_session.h"

#include <deque>

#include "delivery/commands.h"
#include "delivery/packet.h"
#include "delivery/stop_aware_client.h"

namespace kestrel {

LinkSession::LinkSession(std::unique_ptr<TcpClient> client, const Clock& clock,
                         std::function<bool()> stopRequested)
    : client_(std::move(client)),
      clock_(clock),
      stopRequested_(std::move(stopRequested)),
      LastKeepAliveTick(clock.TickMs()) {
  client_->SetOnConnected([] {});
  client_->SetOnDisconnected([] {});
}

LinkSession::~LinkSession() {
  client_->SetOnConnected([] {});
  client_->SetOnDisconnected([] {});
  client_->Disconnect();
}

std::vector<std::pair<std::int32_t, Bytes>> LinkSession::Greeting(const LinkIdentity& identity) {
  const bool portOpen = identity.portOpen ? identity.portOpen() : false;
  return {{cmdHello, HelloPayload()},
          {cmdPortInfo, PortInfoPayload(identity.portNameCp1251, portOpen)},
          {cmdFirstNumber, FirstNumberPayload(identity.firstNumber)},
          {cmdVersion, VersionPayload(identity.versionText)}};
}

bool LinkSession::Handshake(const LinkIdentity& identity,
                            const std::function<std::int64_t()>& nextSequence) {
  StopAwareClient reader(*client_, stopRequested_, kReadSliceMs,
                         [this] { return clock_.TickMs(); });
  std::deque<std::pair<std::int32_t, Bytes>> toSend;
  for (auto& packet : Greeting(identity)) toSend.push_back(std::move(packet));
  bool registered = false;
  for (int blocks = 0; !toSend.empty() && blocks < 8; ++blocks) {
    const auto [command, payload] = std::move(toSend.front());
    toSend.pop_front();
    if (SendBlock(*client_, BuildPacket(command, nextSequence(), payload)) != SendResult::Written) {
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
  registered_ = registered && toSend.empty();
  LastKeepAliveTick = clock_.TickMs();
  return registered_;
}

bool LinkSession::TakeKeepAliveDue(std::uint32_t now) {
  if (!registered_ || now - LastKeepAliveTick <= kKeepAliveMs) return false;
  LastKeepAliveTick = now;
  return true;
}

std::optional<std::uint32_t> LinkSession::KeepAliveInMs(std::uint32_t now) const {
  if (!registered_) return std::nullopt;
  const std::uint32_t gone = now - LastKeepAliveTick;
  return gone > kKeepAliveMs ? 0 : kKeepAliveMs + 1 - gone;
}

ReceiveResult LinkSession::ReadReply() {
  StopAwareClient reader(*client_, stopRequested_, kReadSliceMs,
                         [this] { return clock_.TickMs(); });
  const ReceiveResult r = ReceiveBlock(reader, clock_, ReplyBlock_);
  lastReadFailed_ = ReplyBlock_.empty();
  if (r == ReceiveResult::Late && ++lateReplies_ >= kLateRepliesToDrop) {
    lateReplies_ = 0;
    errorCount_ = kMaxErrors + 1;  // the next step takes the link down
  } else if (r == ReceiveResult::Block) {
    lateReplies_ = 0;
  }
  if (r == ReceiveResult::ProtocolError) ++errorCount_;
  return r;
}

ReceiveResult LinkSession::ReadWaiting(Bytes& block) {
  StopAwareClient reader(*client_, stopRequested_, kReadSliceMs,
                         [this] { return clock_.TickMs(); });
  const ReceiveResult r = ReceiveBlock(reader, clock_, block);
  if (r == ReceiveResult::ProtocolError) ++errorCount_;  // the connection is closed
  return r;
}

}  // namespace kestrel
