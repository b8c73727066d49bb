#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include "delivery/block_io.h"
#include "delivery/link_identity.h"
#include "delivery/reply_matcher.h"
#include "platform/bytes.h"
#include "platform/clock.h"
#include "platform/tcp_client.h"

namespace kestrel {

// One connection to a message server, from the connection attempt to its end: the
// client, registration, keepalive timing, the error count, the replies that came
// late, and the ReplyMatcher with the blocks written that await a reply. A new
// connection is a new session; nothing of the previous one is carried over. The
// session owns no queue and decides nothing about the link: the worker `cl` asks
// it and informs it.
class LinkSession {
 public:
  static constexpr std::uint32_t kKeepAliveMs = 500;
  static constexpr int kMaxErrors = 20;
  // Replies in a row that miss their deadline (ReceiveResult::Late) before the link
  // is taken down as if kMaxErrors had been passed.
  static constexpr int kLateRepliesToDrop = 3;
  // Long reads are cut into pieces of this length so a stop is noticed quickly.
  static constexpr int kReadSliceMs = 100;

  // `stopRequested` cuts reads short. The client's callbacks are set to nothing
  // until the worker sets its own.
  LinkSession(std::unique_ptr<TcpClient> client, const Clock& clock,
              std::function<bool()> stopRequested);
  // Closes the connection without its disconnect callback.
  ~LinkSession();
  LinkSession(const LinkSession&) = delete;
  LinkSession& operator=(const LinkSession&) = delete;

  TcpClient& Client() { return *client_; }
  bool Connected() const noexcept { return client_->Connected(); }
  // Closes the connection; the client runs its disconnect callback.
  void Disconnect() { client_->Disconnect(); }

  // --- the handshake ---
  // The handshake's packets, in order (the port's state asked now).
  static std::vector<std::pair<std::int32_t, Bytes>> Greeting(const LinkIdentity& identity);
  // The greeting is queued: the next step reads a reply whatever it writes.
  void GreetingQueued() { justConnected_ = true; }
  bool JustConnected() const { return justConnected_; }
  void FirstReadDone() { justConnected_ = false; }
  // Runs the whole handshake by itself, one block at a time with its reply (so no
  // matching is needed); a query is answered. True when the server registered
  // this station; anything that refuses or ends the link fails it.
  bool Handshake(const LinkIdentity& identity, const std::function<std::int64_t()>& nextSequence);

  // --- registration ---
  bool Registered() const { return registered_; }
  void SetRegistered() { registered_ = true; }

  // --- keepalive ---
  // On a registered link, true once kKeepAliveMs have passed without a keepalive;
  // its timing then starts again.
  bool TakeKeepAliveDue(std::uint32_t now);
  // Milliseconds until TakeKeepAliveDue says yes; nothing while not registered.
  std::optional<std::uint32_t> KeepAliveInMs(std::uint32_t now) const;

  // --- errors ---
  int ErrorCount() const { return errorCount_; }
  void CountError() { ++errorCount_; }
  bool TooManyErrors() const { return errorCount_ > kMaxErrors; }
  void ForgetErrors() { errorCount_ = 0; }

  // --- reading ---
  // Reads the reply to what was written. A protocol error (the connection is
  // closed) counts as an error; kLateRepliesToDrop late replies in a row count
  // as too many errors.
  ReceiveResult ReadReply();
  // The packet of the last reply read; empty when the last read brought none.
  const Bytes& ReplyBlock() const { return ReplyBlock_; }
  // The last read brought no reply: until one comes, every step counts an error.
  bool LastReadFailed() const { return lastReadFailed_; }
  // Reads one block already waiting on the line (before a write).
  ReceiveResult ReadWaiting(Bytes& block);

  ReplyMatcher& Matcher() { return matcher_; }
  const ReplyMatcher& Matcher() const { return matcher_; }

 private:
  std::unique_ptr<TcpClient> client_;
  const Clock& clock_;
  std::function<bool()> stopRequested_;
  bool registered_ = false;
  bool justConnected_ = false;
  std::uint32_t LastKeepAliveTick;
  int errorCount_ = 0;
  int lateReplies_ = 0;  // replies in a row that missed their deadline
  Bytes ReplyBlock_;
  bool lastReadFailed_ = false;
  ReplyMatcher matcher_;
};

}  // namespace kestrel
