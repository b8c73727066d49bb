#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "receiver/event_context.h"
#include "receiver/transmitter_table.h"

namespace kestrel {

// Work time one tick may spend writing records back (raising "70" events) before
// it leaves the rest to the next tick (measured on the clock's millisecond tick).
inline constexpr std::uint32_t kNoTestTickBudgetMs = 100;

// The no-test supervision: raises "70" for every transmitter not heard for longer
// than NoTimeTest minutes (equality does not count; to the millisecond), once per
// silence, and marks it with NoTestFlag; its next report raises "71" (event rules).
//
// Silence is measured on the clock's monotonic millisecond tick, so setting the
// wall clock (or a daylight-saving change) neither raises a false "70" nor delays a
// real one. LastHeard stays the wall-clock time of the last report: when the
// supervision first sees a record (at start-up, or written with a new LastHeard
// by anyone but a report) the silence so far is taken from it once, as now minus
// LastHeard; a LastHeard later than now or not a valid time counts as now, and at
// start-up (construction, or the table loaded anew) it is also brought back to now
// in the table, at the following ticks.
//
// Transmitters are kept ordered by the tick at which they were last heard (a
// min-heap, kept up to date by the table's change notifications), so a tick with
// nobody due costs the same at any table size. Those that fall due are raised in
// table order; when the write-backs of one tick have taken longer than the budget,
// the rest is left to the following ticks, still in table order. Of several
// records with one id only the one FindOrAdd finds is supervised.
//
// Watches the context's table from construction to destruction (its one
// observer); runs on the table's thread.
class NoTestSupervision final : public TableObserver {
 public:
  explicit NoTestSupervision(EventContext& ctx);
  ~NoTestSupervision() override;
  NoTestSupervision(const NoTestSupervision&) = delete;
  NoTestSupervision& operator=(const NoTestSupervision&) = delete;

  // One timer tick. Returns the number of "70" events raised.
  std::size_t CheckNoTest(std::uint32_t budgetMs = kNoTestTickBudgetMs);

  // Transmitters waiting to fall due, and fallen due but not yet raised.
  std::size_t Scheduled() const { return heap_.size(); }
  std::size_t Due() const { return dueCount_; }

 private:
  static constexpr std::uint32_t kNone = 0xFFFFFFFF;  // not supervised (flagged)
  static constexpr std::uint32_t kDue = 0xFFFFFFFE;   // fallen due, waiting for its "70"

  struct Entry {
    std::int64_t heard;  // the extended tick at which its silence began
    std::uint32_t index;
  };

  void TableLoaded() override;
  void RecordStored(TablePosition position, const TransmitterRecord* before,
                    const TransmitterRecord& after) override;

  // The clock's tick, extended to 64 bits (wrap-around safe while read at least
  // once every 49 days; the 200 ms tick does).
  std::int64_t NowMs();
  void Build(std::int64_t now, DateTime wallNow);
  void Grow(std::size_t count);
  // Puts the record into the order with the given start of silence (moving it if
  // it is there already, taking it off the due list if it is on it).
  void Schedule(std::uint32_t index, std::int64_t heard);
  void Unschedule(std::uint32_t index);
  void RemoveFromHeap(std::uint32_t slot);
  void SiftUp(std::uint32_t slot);
  void SiftDown(std::uint32_t slot);
  void Place(std::uint32_t slot, const Entry& e);
  bool Before(const Entry& a, const Entry& b) const {
    return a.heard < b.heard || (a.heard == b.heard && a.index < b.index);
  }
  void MarkDue(std::uint32_t index);
  void ClearDue(std::uint32_t index);
  bool IsFirstOfId(TablePosition position, const TransmitterRecord& r) const;

  EventContext& ctx_;
  bool selfWrite_ = false;  // the supervision's own WriteBack: nothing to learn
  std::uint32_t lastTick_ = 0;
  std::int64_t extended_ = 0;

  std::vector<Entry> heap_;           // min-heap by (heard, index)
  std::vector<std::uint32_t> where_;  // per record: heap slot, kDue or kNone
  std::vector<std::uint64_t> dueBits_;
  std::size_t dueCount_ = 0;
  // Records whose LastHeard was in the future or no time at start-up, in table
  // order, to be brought back to now.
  std::vector<std::uint32_t> clamps_;
  std::size_t clampNext_ = 0;
};

}  // namespace kestrel
