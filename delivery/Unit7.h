#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "delivery/block_io.h"
#include "delivery/link_identity.h"
#include "delivery/link_port.h"
#include "delivery/link_session.h"
#include "delivery/packet_queue.h"
#include "delivery/server_choice.h"
#include "delivery/server_host.h"
#include "delivery/spool.h"
#include "platform/bytes.h"
#include "platform/caught_reports.h"
#include "platform/clock.h"
#include "platform/file_system.h"
#include "platform/operator_log.h"
#include "platform/tcp_client.h"

namespace kestrel {

// The server link worker: owns the connection to the message server, connects and
// reconnects, runs the handshake, sends queued packets one per step with one reply
// read after each block, keeps the link alive and obeys the server's commands.
//
// Delivery guarantee: the server's only promise is one reply for each block, so
// the worker writes a block only when the one before it is answered or given up,
// and a ReplyMatcher says which block each reply answers (by order; by sequence
// number too while the server shows that it echoes them). After a read finds the
// line silent, nothing new is written until the block's late reply comes or the
// block is given up as unanswered. Before each block, a reply already waiting is
// read as an unasked one: its command is obeyed, but it acknowledges nothing. The
// link is taken down only for a reply that cannot be placed at all (logged with
// the reason): what it held goes again, a duplicate, never a loss. A live event
// counts as delivered only when its own block is answered with cmdEventAck;
// answered otherwise, or still waiting or queued when the link goes down or the
// worker stops, it is written to a spool file. The acknowledgement of a block that
// carried a spool file deletes that file. Packets the worker made itself
// (handshake, query answers) belong to their connection and die with it.
//
// Waiting: between steps the worker sleeps until a packet is queued (AddPacket
// wakes it), a reply is due, a keepalive or a connection attempt falls due, or a
// stop is requested. Packets leave at most one per BlockGapMs (20 ms unless the
// settings say otherwise; 0: as soon as the previous reply is in), counted from
// the previous block, so a packet queued on a quiet link is written at once.
//
// Written ahead: every event is in a spool file before it reaches the link, and
// the packets of the queue refer to their files. Only the cmdEventAck of a block
// deletes the file that block carried; answered otherwise, the file is offered
// again after a delay that grows with each refusal (3 s, doubling up to 5 min; the
// first refusal of a file is logged); still waiting or queued when the link goes down, it
// simply stays in the backlog. (An event the disk refused travels from memory and
// is handed back to the spool when it is not acknowledged.)
//
// Pace: fresh packets first; whenever the queue holds nothing to send, the worker
// takes the next backlog file itself (TakeBacklog), so the backlog leaves at the
// link's pace, one block per BlockGapMs.
//
// Standby server: ServerChoice says which server each attempt goes to. A primary
// that shows no life for FailoverAfter while a standby is configured is left;
// while registered with the standby the worker tries the primary every
// FailbackAfter, between blocks (none awaiting a reply), on a second connection
// that runs the handshake by itself; once the primary registers, the standby
// connection is closed and the queue carries on over the primary. At a failover
// what the primary held goes to the backlog and leaves again over the standby
// (only the blocks in flight can reach both); at a failback nothing is in flight.
//
// Parts: the connection of the moment is a LinkSession (link_session.h), made
// anew for every connection; which block a reply answers is the ReplyMatcher's
// (reply_matcher.h); which server an attempt goes to is the ServerChoice's
// (server_choice.h). cl keeps the thread, the queue and the step; its members are
// defined in Unit7.cpp (the thread and the step), link_queue.cpp (the queue and
// the spool files it carries) and link_servers.cpp (connecting, the standby).
//
// Names kept from the original design, and where they live now:
// - cl: cl, LinkStep, Execute, Online, ReconnectEnabled, StopRequested, DeniedShown,
//   LastConnectTick, Queue, NextSequence, AddPacket, Log, DropLink,
//   ClientConnected, ClientDisconnected;
// - LinkSession, one per connection: Client, Registered, ErrorCount, JustConnected,
//   KeepAliveDue (TakeKeepAliveDue), LastKeepAliveTick, ReplyBlock;
// - a local of OnlineStep: PacketTaken;
// - block_io.h and packet.h: SendBlock, ReceiveBlock, BuildPacket;
// - the window: AdvanceIndicator, one step per sign of life counted here
//   (SignsOfLife), taken on its tick.
//
// Threads: AddPacket/AddEventFile and IsOnline may be called from any thread;
// everything else of the step runs on the worker thread (Start), or on the test's
// thread when a test drives LinkStep itself.
class cl final : public LinkPort {
 public:
  static constexpr std::uint32_t kReconnectMs = 5000;
  static constexpr std::uint32_t kKeepAliveMs = LinkSession::kKeepAliveMs;
  static constexpr int kConnectTimeoutMs = 2500;
  static constexpr int kMaxErrors = LinkSession::kMaxErrors;
  static constexpr int kLateRepliesToDrop = LinkSession::kLateRepliesToDrop;
  // Pace of the steps while errors are counted, and the default BlockGapMs.
  static constexpr int kPauseMs = 20;

  cl(const Clock& clock, FileSystem& files, OperatorLog& log, TcpClientFactory clientFactory,
     Spool& spool, LinkIdentity identity);
  ~cl() override;
  cl(const cl&) = delete;
  cl& operator=(const cl&) = delete;

  // --- LinkPort (event dispatch, any thread) ---
  bool IsOnline() const override { return Online.load(); }
  // Queues a packet with the next sequence number (used even when refused). A
  // cmdEvent is a live event. Refused when the queue is full or the link is not
  // online: the caller keeps the data (spools it).
  bool AddPacket(std::int32_t command, ByteView payload) override;

  // Queues a live event whose spool file is written: the spool claims the file
  // (in flight). True also when the file is already on its way (taken from the
  // backlog meanwhile). Refused: the file stays in the backlog.
  bool AddEventFile(std::int32_t command, ByteView payload,
                    const std::filesystem::path& file) override;

  // Whether the worker takes backlog files from the spool when its queue is empty
  // (off: only live events go). Set before Start.
  void TakeBacklog(bool on) { takeBacklog_ = on; }

  // --- running ---
  // Runs Execute on a thread of its own.
  void Start();
  // Asks the worker to stop: StopRequested is set before ReconnectEnabled is
  // cleared; waits in progress end early.
  void RequestStop();
  // Waits up to ms for the thread to end; true (and joined) when it has ended or
  // never started.
  bool Wait(int ms);
  // The thread body: LinkStep and the wait for work until a stop is requested,
  // then Online cleared, the live events still waiting spooled, the connection
  // closed.
  void Execute();
  // One pass of the worker loop. Never throws.
  void LinkStep();

  // Milliseconds on the tick until the next step has something to do: 0 means at
  // once, nullopt means nothing is scheduled (the worker then waits for a packet or
  // a stop). Worker thread, or a test that drives LinkStep itself.
  std::optional<std::uint32_t> NextWakeInMs() const;
  // Times the link was taken down because a reply could not be placed.
  int ResyncCount() const { return resyncCount_; }
  // Events the server answered with something other than their acknowledgement,
  // and connections made since start-up. Any thread.
  std::uint64_t RefusedCount() const { return refused_.load(); }
  std::uint64_t ConnectCount() const { return connects_.load(); }
  // Signs of life of the link since start-up (each step of the server indicator:
  // every reply that passes the checks, and every change of the link's state), and
  // the tick of the last one (meaningful once the count is above 0). Any thread;
  // the worker never waits for whoever draws them.
  std::uint64_t SignsOfLife() const { return signsOfLife_.load(); }
  std::uint32_t LastSignOfLifeTick() const { return lastSignTick_.load(); }

  // The server the link uses (or tries), for the window and the status; any thread.
  struct ServerInUse {
    bool standby = false;
    std::string addressUtf8;
    std::int32_t port = 0;
    std::uint64_t switches = 0;  // switches between primary and standby so far
  };
  ServerInUse ServerInUseAnyThread() const;

  // --- state, for the window and for tests ---
  bool IsStopRequested() const { return StopRequested.load(); }
  bool IsReconnectEnabled() const { return ReconnectEnabled.load(); }
  void SetReconnectEnabled(bool on) {
    ReconnectEnabled.store(on);
    Wake();
  }
  // Registered, as last seen by the worker; safe to read from any thread.
  bool IsRegisteredAnyThread() const { return registeredShared_.load(); }
  // The following are the worker's own (of the connection of the moment): read
  // them on the worker thread, or after the thread has ended, or in tests that
  // drive LinkStep themselves.
  bool IsRegistered() const { return session_ && session_->Registered(); }
  int GetErrorCount() const { return session_ ? session_->ErrorCount() : 0; }
  std::int64_t GetNextSequence() const;
  std::size_t QueuedCount() const;
  std::size_t AwaitingReplyCount() const {
    return session_ ? session_->Matcher().WaitingCount() : 0;
  }
  // This connection's server is believed to echo sequence numbers.
  bool EchoBelieved() const { return session_ && session_->Matcher().EchoBelieved(); }

 private:
  // The queue (link_queue.cpp).
  bool Enqueue(std::int32_t command, ByteView payload, PacketKind kind,
               const std::filesystem::path& file, bool onlyWhenOnline);
  std::optional<QueuedPacket> PeekQueue() const;
  std::int64_t TakeSequence();
  // A block not acknowledged: `refused` when the server answered it otherwise.
  void Unanswered(const WrittenBlock& a, bool refused);
  void AcknowledgeSpoolFile(const WrittenBlock& a);
  // Gives back what the link held when it went down: live events (waiting for a
  // reply or still queued) to spool files, spool-file packets dropped.
  void ReleaseAtLinkDown();
  // The blocks the connection of the moment still awaits replies for, oldest first.
  std::vector<WrittenBlock> TakeWritten();
  void TakeFromBacklog();
  void SpoolLiveEvent(const Bytes& payload);

  // The step (Unit7.cpp).
  void OnlineStep();
  // Writes the packet at the front of the queue; it leaves the queue once written.
  void WriteQueued(const QueuedPacket& front);
  void WriteKeepAlive();
  // Reads the reply to what was written and places it.
  void ReadAndPlaceReply();
  void HandleReply(std::int32_t command, std::optional<WrittenBlock> answered);
  // Reads the replies already waiting before a write: each is obeyed and
  // acknowledges nothing.
  void ReadUnaskedReplies();
  void Resynchronise(const std::string& why);
  // The wait between steps.
  void WaitForWork();
  void Wake();
  void Log(const std::string& utf8Line);
  // A sign of life: counted for whoever draws the indicator.
  void Indicate();

  // Connecting and the servers (link_servers.cpp).
  void ConnectionAttempt();
  // Reads [ServerHost] afresh, before every attempt.
  void RereadServerHost();
  // A new session on a new client, its callbacks set to this worker's.
  void BeginSession(std::unique_ptr<LinkSession> session);
  void ClientConnected();
  void ClientDisconnected();
  void DropLink();
  void GoOffline();
  ServerChoice::Timing ChoiceTiming() const;
  // The standby server: after every step, what the server choice wants done.
  void FollowServerChoice();
  void TryPrimary();
  void AnnounceSwitch(ServerRole role, std::uint32_t primaryAwayMs);
  void PublishServer();

  const Clock& clock_;
  FileSystem& files_;
  OperatorLog& oplog_;
  TcpClientFactory clientFactory_;
  Spool& spool_;
  bool takeBacklog_ = false;
  LinkIdentity identity_;
  CaughtReports caught_{oplog_};  // what the thread loop and the step caught, told once each

  // Flags shared across threads.
  std::atomic<bool> StopRequested{false};
  std::atomic<bool> ReconnectEnabled{true};
  std::atomic<bool> Online{false};
  std::atomic<bool> registeredShared_{false};
  std::atomic<std::uint64_t> refused_{0};
  std::atomic<std::uint64_t> connects_{0};
  std::atomic<std::uint64_t> signsOfLife_{0};
  std::atomic<std::uint32_t> lastSignTick_{0};

  // The worker's own state.
  std::unique_ptr<LinkSession> session_;  // the connection of the moment, if any
  std::uint32_t LastConnectTick = 0;
  bool DeniedShown = false;
  int resyncCount_ = 0;
  std::uint32_t lastBlockTick_ = 0;  // when the last block was written
  bool linkDownPending_ = false;
  std::optional<std::int32_t> reportedBadPort_;
  int connectFailures_ = 0;  // failed connection attempts in a row
  std::optional<std::int32_t> reportedBadBackupPort_;
  std::uint32_t blockGapMs_ = kPauseMs;  // BlockGapMs as read for the last attempt
  ServerHost host_;                      // the section as read for the last attempt
  ServerChoice choice_;
  bool registrationNoted_ = false;  // the choice knows the connection registered

  // What ServerInUseAnyThread shows.
  mutable std::mutex serverMutex_;
  ServerInUse serverShown_;

  // Queue and sequence counter, under one mutex.
  mutable std::mutex queueMutex_;
  PacketQueue Queue;
  std::int64_t NextSequence = 0;

  // Thread and stop signalling.
  std::thread thread_;
  std::mutex stopMutex_;
  std::condition_variable stopCv_;
  bool finished_ = false;
  bool wakeSignal_ = false;  // a packet was queued since the worker last looked
};

}  // namespace kestrel
