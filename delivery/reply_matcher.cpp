#include "delivery/reply_matcher.h"

#include <algorithm>
#include <utility>

#include "delivery/commands.h"

namespace kestrel {

void ReplyMatcher::NewConnection() { *this = ReplyMatcher{}; }

void ReplyMatcher::Written(WrittenBlock block) {
  if (block.command == cmdKeepAlive) probeDue_ = false;
  if (waiting_.empty()) silentReads_ = 0;
  waiting_.push_back(std::move(block));
}

void ReplyMatcher::NoteEvidence(const WrittenBlock& byOrder, std::int64_t sequence) {
  if (sequence != byOrder.sequence) {
    echoRefuted_ = true;  // for the rest of the connection
  } else if (sequence != 0) {
    ++echoProofs_;  // keepalives (and a first Hello) carry 0: a 0 proves nothing
  }
}

ReplyMatcher::Placement ReplyMatcher::TakeFront() {
  Placement p;
  p.answered = std::move(waiting_.front());
  waiting_.pop_front();
  silentReads_ = 0;
  return p;
}

ReplyMatcher::Placement ReplyMatcher::ReplyRead(std::int32_t command, std::int64_t sequence) {
  if (waiting_.empty()) {
    // Nothing was asked: one reply more than the blocks written.
    UnaskedReply(sequence);
    return {};
  }
  const WrittenBlock& front = waiting_.front();
  const bool echoPlaces = EchoBelieved() && sequence == front.sequence;
  if (!echoPlaces && EchoBelieved()) {
    // The late reply of a block given up: the block written since keeps waiting.
    if (const auto it = std::find(owed_.begin(), owed_.end(), sequence); it != owed_.end()) {
      owed_.erase(it);
      return {};
    }
  }
  NoteEvidence(front, sequence);
  if (!echoPlaces && !owed_.empty() && command == cmdEventAck &&
      front.kind != PacketKind::Internal) {
    // It may be the reply owed to a block given up: taken for this event it could
    // delete an event the server turned away; taken for the other one, this
    // event's own reply would come unasked. Neither can be shown.
    Placement p;
    p.startAfresh = true;
    p.why = "подтверждение могло относиться к блоку, оставшемуся без ответа";
    return p;
  }
  return TakeFront();
}

ReplyMatcher::Placement ReplyMatcher::BadReplyRead() {
  if (waiting_.empty()) return {};
  return TakeFront();
}

ReplyMatcher::Placement ReplyMatcher::ReadGaveUp() {
  if (waiting_.empty()) return {};
  if (!EchoBelieved() && ++silentReads_ < kReadsBeforeUnanswered) return {};
  return GiveUpWaiting();
}

ReplyMatcher::Placement ReplyMatcher::GiveUpWaiting() {
  Placement p;
  for (WrittenBlock& b : waiting_) {
    owed_.push_back(b.sequence);
    p.unanswered.push_back(std::move(b));
  }
  waiting_.clear();
  silentReads_ = 0;
  // A server known to echo names the block its late reply answers; any other is
  // sent a keepalive next, for its late reply to land on.
  probeDue_ = !EchoBelieved();
  return p;
}

void ReplyMatcher::UnaskedReply(std::int64_t sequence) {
  if (const auto it = std::find(owed_.begin(), owed_.end(), sequence);
      it != owed_.end() && EchoBelieved()) {
    owed_.erase(it);
  } else if (!owed_.empty() && !EchoBelieved()) {
    owed_.pop_front();  // by order, the oldest debt is paid
  }
  // Otherwise it is one reply more than the blocks written: acted on, nothing else.
  if (owed_.empty()) probeDue_ = false;
}

std::vector<WrittenBlock> ReplyMatcher::TakeAll() {
  std::vector<WrittenBlock> out(std::make_move_iterator(waiting_.begin()),
                                std::make_move_iterator(waiting_.end()));
  waiting_.clear();
  silentReads_ = 0;
  return out;
}

}  // namespace kestrel
