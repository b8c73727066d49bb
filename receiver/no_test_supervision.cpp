#include "receiver/no_test_supervision.h"

#include <algorithm>
#include <bit>
#include <cmath>

#include "receiver/transmitter_record.h"

namespace kestrel {

namespace {

// Date-times are compared in whole milliseconds, their resolution, so that a
// silence equal to NoTimeTest never counts through a rounding error of the day
// fractions. Out-of-range values saturate.
std::int64_t ToMs(DateTime t) {
  constexpr double kLimit = 1e15;  // about 31 000 years of milliseconds
  const double ms = t * kMsPerDay;
  if (ms >= kLimit) return static_cast<std::int64_t>(kLimit);
  if (ms <= -kLimit) return -static_cast<std::int64_t>(kLimit);
  return std::llround(ms);
}

// A LastHeard later than now, or not a time at all.
bool NotYetOrNoTime(DateTime lastHeard, DateTime wallNow) {
  return !std::isfinite(lastHeard) || ToMs(lastHeard) > ToMs(wallNow);
}

// The extended tick at which a silence began that LastHeard says began at
// `lastHeard` (wall clock), `wallNow` being the wall clock at extended tick `now`.
std::int64_t HeardTick(DateTime lastHeard, DateTime wallNow, std::int64_t now) {
  if (!std::isfinite(wallNow) || NotYetOrNoTime(lastHeard, wallNow)) return now;
  return now - (ToMs(wallNow) - ToMs(lastHeard));
}

bool SameTime(DateTime a, DateTime b) {
  return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}

std::uint32_t IndexOf(TablePosition position) {
  return static_cast<std::uint32_t>(position / kTransmitterRecordSize);
}

}  // namespace

NoTestSupervision::NoTestSupervision(EventContext& ctx) : ctx_(ctx), lastTick_(ctx.clock.TickMs()) {
  ctx_.table.SetObserver(this);
  TableLoaded();
}

NoTestSupervision::~NoTestSupervision() { ctx_.table.SetObserver(nullptr); }

std::int64_t NoTestSupervision::NowMs() {
  const std::uint32_t tick = ctx_.clock.TickMs();
  extended_ += static_cast<std::uint32_t>(tick - lastTick_);
  lastTick_ = tick;
  return extended_;
}

void NoTestSupervision::TableLoaded() { Build(NowMs(), ctx_.clock.Now()); }

void NoTestSupervision::Build(std::int64_t now, DateTime wallNow) {
  heap_.clear();
  where_.clear();
  dueBits_.clear();
  dueCount_ = 0;
  clamps_.clear();
  clampNext_ = 0;
  const std::size_t count = ctx_.table.Count();
  Grow(count);
  heap_.reserve(count);
  const Bytes& image = ctx_.table.Image();
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint8_t* record = image.data() + i * kTransmitterRecordSize;
    if (RecordNoTestFlag(record) != 0) continue;  // reported already: waits for its next report
    const DateTime lastHeard = RecordLastHeard(record);
    const auto index = static_cast<std::uint32_t>(i);
    if (!std::isfinite(lastHeard) ||
        (std::isfinite(wallNow) && NotYetOrNoTime(lastHeard, wallNow))) {
      clamps_.push_back(index);
    }
    heap_.push_back({HeardTick(lastHeard, wallNow, now), index});
  }
  std::make_heap(heap_.begin(), heap_.end(),
                 [this](const Entry& a, const Entry& b) { return Before(b, a); });
  for (std::size_t slot = 0; slot < heap_.size(); ++slot) {
    where_[heap_[slot].index] = static_cast<std::uint32_t>(slot);
  }
}

void NoTestSupervision::Grow(std::size_t count) {
  if (where_.size() >= count) return;
  where_.resize(count, kNone);
  dueBits_.resize((count + 63) / 64, 0);
}

void NoTestSupervision::RecordStored(TablePosition position, const TransmitterRecord* before,
                                     const TransmitterRecord& after) {
  if (selfWrite_) return;
  Grow(ctx_.table.Count());
  const std::uint32_t index = IndexOf(position);
  if (after.NoTestFlag != 0) {
    Unschedule(index);
  } else if (before == nullptr || where_[index] == kNone || where_[index] == kDue ||
             !SameTime(before->LastHeard, after.LastHeard) || !std::isfinite(after.LastHeard)) {
    // Heard (a report stamps LastHeard with now, which may equal the last stamp
    // when the clock gives no time or stands still), new, or rewritten. Only a
    // record rewritten with its LastHeard as it was keeps its place.
    Schedule(index, HeardTick(after.LastHeard, ctx_.clock.Now(), NowMs()));
  }
  if (before != nullptr && before->Id() != after.Id()) {
    // The old id may now be found on a record that was passed over as its duplicate.
    const std::optional<TablePosition> first = ctx_.table.Find(before->Id());
    if (first && where_[IndexOf(*first)] == kNone) {
      const TransmitterRecord r = ctx_.table.RecordAt(*first);
      if (r.NoTestFlag == 0) {
        Schedule(IndexOf(*first), HeardTick(r.LastHeard, ctx_.clock.Now(), NowMs()));
      }
    }
  }
}

bool NoTestSupervision::IsFirstOfId(TablePosition position, const TransmitterRecord& r) const {
  const std::optional<TablePosition> first = ctx_.table.Find(r.Id());
  return first && *first == position;
}

std::size_t NoTestSupervision::CheckNoTest(std::uint32_t budgetMs) {
  const std::int64_t now = NowMs();
  Grow(ctx_.table.Count());

  // Those whose silence is now longer than NoTimeTest leave the order for the due list.
  const std::int64_t silenceMs = std::int64_t{ctx_.NoTimeTest} * 60000;
  while (!heap_.empty() && heap_.front().heard + silenceMs < now) {
    const std::uint32_t index = heap_.front().index;
    RemoveFromHeap(0);
    MarkDue(index);
  }
  if (clampNext_ == clamps_.size() && dueCount_ == 0) return 0;

  // Past the budget the rest waits for the next tick.
  const std::uint32_t startTick = ctx_.clock.TickMs();
  std::size_t writes = 0;
  const auto mayWrite = [&] { return writes == 0 || ctx_.clock.TickMs() - startTick <= budgetMs; };
  const auto writeBack = [this, &writes](TablePosition position, const TransmitterRecord& r) {
    ++writes;
    selfWrite_ = true;
    struct Reset {
      bool& flag;
      ~Reset() { flag = false; }
    } reset{selfWrite_};
    ctx_.table.WriteBack(position, r);
  };

  // Start-up: a LastHeard later than now (the clock was set back while the program
  // was not running) or no time at all is brought back to now; its silence began
  // at the build.
  while (clampNext_ < clamps_.size()) {
    const TablePosition position = TransmitterTable::PositionOf(clamps_[clampNext_]);
    if (position >= ctx_.table.Image().size()) {
      ++clampNext_;
      continue;
    }
    TransmitterRecord r = ctx_.table.RecordAt(position);
    const DateTime wallNow = ctx_.clock.Now();
    if (!std::isfinite(wallNow) || r.NoTestFlag != 0 || !NotYetOrNoTime(r.LastHeard, wallNow) ||
        !IsFirstOfId(position, r)) {
      ++clampNext_;
      continue;
    }
    if (!mayWrite()) return 0;
    ++clampNext_;
    r.LastHeard = wallNow;
    writeBack(position, r);
  }
  if (clampNext_ == clamps_.size()) {
    clamps_ = {};
    clampNext_ = 0;
  }

  // The due ones, in table order.
  std::size_t raised = 0;
  for (std::size_t word = 0; word < dueBits_.size() && dueCount_ > 0; ++word) {
    while (dueBits_[word] != 0) {
      const auto index = static_cast<std::uint32_t>(word * 64 + std::countr_zero(dueBits_[word]));
      const TablePosition position = TransmitterTable::PositionOf(index);
      TransmitterRecord r = ctx_.table.RecordAt(position);
      if (r.NoTestFlag != 0 || !IsFirstOfId(position, r)) {
        Unschedule(index);  // flagged meanwhile, or a duplicate id: not supervised
        continue;
      }
      if (!mayWrite()) return raised;
      RaiseEvent(ctx_, r.Id(), "70", 0);
      ++raised;
      Unschedule(index);
      r.NoTestFlag = 1;  // LastHeard is left as it was
      writeBack(position, r);
    }
  }
  return raised;
}

void NoTestSupervision::MarkDue(std::uint32_t index) {
  dueBits_[index / 64] |= std::uint64_t{1} << (index % 64);
  ++dueCount_;
  where_[index] = kDue;
}

void NoTestSupervision::ClearDue(std::uint32_t index) {
  const std::uint64_t bit = std::uint64_t{1} << (index % 64);
  if ((dueBits_[index / 64] & bit) == 0) return;
  dueBits_[index / 64] &= ~bit;
  --dueCount_;
}

void NoTestSupervision::Schedule(std::uint32_t index, std::int64_t heard) {
  if (where_[index] == kDue) {
    ClearDue(index);
    where_[index] = kNone;
  }
  if (where_[index] == kNone) {
    heap_.push_back({heard, index});
    const auto slot = static_cast<std::uint32_t>(heap_.size() - 1);
    where_[index] = slot;
    SiftUp(slot);
    return;
  }
  const std::uint32_t slot = where_[index];
  heap_[slot].heard = heard;
  SiftUp(slot);
  SiftDown(where_[index]);
}

void NoTestSupervision::Unschedule(std::uint32_t index) {
  if (where_[index] == kDue) {
    ClearDue(index);
    where_[index] = kNone;
  } else if (where_[index] != kNone) {
    RemoveFromHeap(where_[index]);
  }
}

void NoTestSupervision::RemoveFromHeap(std::uint32_t slot) {
  where_[heap_[slot].index] = kNone;
  const Entry last = heap_.back();
  heap_.pop_back();
  if (slot >= heap_.size()) return;
  Place(slot, last);
  SiftUp(slot);
  SiftDown(where_[last.index]);
}

void NoTestSupervision::Place(std::uint32_t slot, const Entry& e) {
  heap_[slot] = e;
  where_[e.index] = slot;
}

void NoTestSupervision::SiftUp(std::uint32_t slot) {
  const Entry e = heap_[slot];
  while (slot > 0) {
    const std::uint32_t parent = (slot - 1) / 2;
    if (!Before(e, heap_[parent])) break;
    Place(slot, heap_[parent]);
    slot = parent;
  }
  Place(slot, e);
}

void NoTestSupervision::SiftDown(std::uint32_t slot) {
  const Entry e = heap_[slot];
  const std::size_t n = heap_.size();
  for (;;) {
    std::size_t child = 2 * std::size_t{slot} + 1;
    if (child >= n) break;
    if (child + 1 < n && Before(heap_[child + 1], heap_[child])) ++child;
    if (!Before(heap_[child], e)) break;
    Place(slot, heap_[child]);
    slot = static_cast<std::uint32_t>(child);
  }
  Place(slot, e);
}

}  // namespace kestrel
