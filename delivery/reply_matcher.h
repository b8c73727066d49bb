#pragma once

#include <cstdint>
#include <deque>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "delivery/packet_queue.h"
#include "platform/bytes.h"

namespace kestrel {

// A block written to the server and not answered yet, with what backs it.
struct WrittenBlock {
  std::int32_t command = 0;
  PacketKind kind = PacketKind::Internal;
  std::filesystem::path spoolFile;  // the spool file it carried, if any
  Bytes payload;                    // kept so a live event can be spooled again
  std::int64_t sequence = 0;        // 0 for keepalives
};

// Which block a reply from the server answers, for one connection. Pure: it is informed of
// what happened on the line and answers; it owns no socket, clock or file.
//
// The server's contract is one reply for each block, in order; what it writes in a
// reply's sequence field and which command it answers with are its own business.
// So order is the rule: a reply answers the oldest block waiting, whatever its
// command. The worker writes a block only when nothing waits, so one block waits
// at a time.
//
// Echo is the bonus. A server that writes each block's own sequence number back
// is believed to echo once two replies have matched non-zero sequence numbers and
// none has contradicted it; one reply whose number is not its block's ends the
// belief for the rest of the connection (order still places it). An echoing
// server's silence gives its block up at once: a late reply is then known by its
// number.
//
// A server not known to echo may answer late. When a read gives up, the block
// keeps waiting for up to kReadsBeforeUnanswered reads in all (nothing new is
// written meanwhile), and a reply within them is its late reply. After that the
// block counts unanswered and its reply is owed: a reply found waiting before the
// next write pays the debt (acted on, acknowledging nothing), and the next block
// is a keepalive, so a debt paid late lands on a block that carries no event.
// While a debt is unpaid, an acknowledgement read after an event block cannot be
// placed (it may be the late one): the link must start afresh, and the event goes
// again. Nothing else makes it start afresh.
class ReplyMatcher {
 public:
  // Reads that may find the line silent before a block counts unanswered (with a
  // read timeout of 1 s: the first read and up to 2 s more).
  static constexpr int kReadsBeforeUnanswered = 3;
  // Non-zero sequence numbers matched before echo is believed.
  static constexpr int kEchoProofs = 2;

  struct Placement {
    std::optional<WrittenBlock> answered;  // the block the reply answers
    std::vector<WrittenBlock> unanswered;  // blocks that now count as not answered
    bool startAfresh = false;              // the link must start afresh (reconnect)
    std::string why;                       // one line saying why, when it must
  };

  // A new connection: nothing waits, nothing is owed, echo is unknown.
  void NewConnection();
  // A block went out.
  void Written(WrittenBlock block);
  // A valid reply was read after a write.
  Placement ReplyRead(std::int32_t command, std::int64_t sequence);
  // Bytes were read after a write but made no valid reply: by order it was the
  // oldest block's reply (which then is not acknowledged).
  Placement BadReplyRead();
  // A read after a write found the line silent.
  Placement ReadGaveUp();
  // A reply was already waiting before the next write: it answers nothing that
  // write asks. It may pay a debt.
  void UnaskedReply(std::int64_t sequence);
  // The link went down: the blocks still waiting, oldest first.
  std::vector<WrittenBlock> TakeAll();

  // Nothing waits for its reply: the worker may write.
  bool MayWrite() const { return waiting_.empty(); }
  // A block waits: the worker reads.
  bool ReplyDue() const { return !waiting_.empty(); }
  // The next block must be a keepalive (a reply is owed).
  bool ProbeDue() const { return probeDue_; }
  bool EchoBelieved() const { return !echoRefuted_ && echoProofs_ >= kEchoProofs; }
  int Owed() const { return static_cast<int>(owed_.size()); }
  std::size_t WaitingCount() const { return waiting_.size(); }

 private:
  // Gives every waiting block up: unanswered, its reply owed.
  Placement GiveUpWaiting();
  // What a reply read after a write says about echo, for the block order gives it.
  void NoteEvidence(const WrittenBlock& byOrder, std::int64_t sequence);
  Placement TakeFront();

  std::deque<WrittenBlock> waiting_;
  int silentReads_ = 0;            // reads that found the line silent for the oldest
  std::deque<std::int64_t> owed_;  // sequences of blocks given up, oldest first
  bool probeDue_ = false;
  int echoProofs_ = 0;
  bool echoRefuted_ = false;
};

}  // namespace kestrel
