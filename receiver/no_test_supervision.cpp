#include "receiver/no_test_supervision.h"

#include <cmath>
#include <limits>

#include "receiver/transmitter_record.h"

namespace kestrel {

namespace {

// Date-times are compared in whole milliseconds, their resolution, so that
// "LastHeard + NoTimeTest minutes" equal to now never counts through a rounding
// error of the day fractions. Out-of-range values saturate.
std::int64_t ToMs(DateTime t) {
  constexpr double kLimit = 1e15;  // about 31 000 years of milliseconds
  const double ms = t * kMsPerDay;
  if (ms >= kLimit) return static_cast<std::int64_t>(kLimit);
  if (ms <= -kLimit) return -static_cast<std::int64_t>(kLimit);
  return std::llround(ms);
}

}  // namespace

std::size_t CheckNoTest(EventContext& ctx, std::uint32_t budgetMs) {
  const DateTime now = ctx.clock.Now();
  if (!std::isfinite(now)) return 0;  // a clock that gives no time: nothing can be judged
  const std::int64_t nowMs = ToMs(now);
  const std::int64_t silenceMs = std::int64_t{ctx.NoTimeTest} * 60000;
  const std::uint32_t startTick = ctx.clock.TickMs();
  std::size_t raised = 0;
  std::size_t writes = 0;  // clamps and flags written back in this tick
  // Most records were heard within the silence: a quick test on the plain values,
  // half a millisecond clear of both limits, skips them without rounding.
  constexpr double kMargin = 0.5 / kMsPerDay;
  const double quietFrom = now - static_cast<double>(silenceMs) / kMsPerDay + kMargin;
  const double quietTo = now - kMargin;

  // The record count is read anew on every step: nothing here adds records, but
  // WriteBack may touch the image.
  for (TablePosition pos = 0; pos + kTransmitterRecordSize <= ctx.table.Image().size();
       pos += kTransmitterRecordSize) {
    // Two fields read in place from the 16-byte record.
    const Bytes& image = ctx.table.Image();
    if (RecordNoTestFlag(image.data() + pos) != 0) continue;  // already reported
    const DateTime lastHeard = RecordLastHeard(image.data() + pos);
    if (lastHeard >= quietFrom && lastHeard <= quietTo) continue;
    const bool valid = std::isfinite(lastHeard);
    const std::int64_t heardMs = valid ? ToMs(lastHeard) : 0;
    const bool future = !valid || heardMs > nowMs;
    const bool silent = valid && heardMs + silenceMs < nowMs;
    if (!future && !silent) continue;

    TransmitterRecord record = DecodeTransmitterRecord(image.data() + pos);
    // Of records sharing one id (a hand-edited file) only the first is supervised.
    const std::optional<TablePosition> first = ctx.table.Find(record.Id());
    if (first && *first != pos) continue;

    // Past the budget the rest waits for the next tick, which goes on in table order.
    if (writes > 0 && ctx.clock.TickMs() - startTick > budgetMs) break;
    ++writes;

    if (future) {
      // The clock was set back (or the time is not one): start the silence now.
      record.LastHeard = now;
      ctx.table.WriteBack(pos, record);
      continue;
    }
    RaiseEvent(ctx, record.Id(), "70", 0);
    ++raised;
    record.NoTestFlag = 1;
    ctx.table.WriteBack(pos, record);
  }
  return raised;
}

}  // namespace kestrel
