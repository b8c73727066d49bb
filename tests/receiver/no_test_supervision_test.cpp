#include "receiver/no_test_supervision.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <string>

#include "receiver/event_rules.h"
#include "tests/receiver/event_test_fixture.h"

namespace kestrel {
namespace {

using Codes = std::vector<std::string>;
using Ids = std::vector<TransmitterId>;

const DateTime kTen = EncodeDateTime({2026, 12, 8, 10, 0, 0, 0});
constexpr double kHour = 1.0 / 24;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

DateTime At(int hour, int minute, int second, int ms = 0) {
  return EncodeDateTime({2026, 12, 8, hour, minute, second, ms});
}

// Keeps the id and code of every event raised into it.
class RecordingSink final : public EventSink {
 public:
  void Raise(const EventRecord& e) override { events.push_back(e); }
  Ids Take(const char* code = "70") {
    Ids ids;
    for (const EventRecord& e : events) {
      if (std::string(e.EventCode.begin(), e.EventCode.end()) == code)
        ids.push_back(e.TransmitterId);
    }
    events.clear();
    return ids;
  }
  std::vector<EventRecord> events;
};

// The table of the event fixture, its wall clock and tick at 10:00:00, and the
// supervision watching it from the start.
class NoTestTest : public test::EventTest {
 protected:
  NoTestTest() { clock_.SetNow(kTen); }

  // The clock runs on (wall and tick alike) to `now`; then one tick.
  Ids Tick(DateTime now) {
    clock_.AdvanceTo(now);
    return TickHere();
  }
  // One tick at the clock as it is.
  Ids TickHere() {
    noTest_.CheckNoTest();
    Ids ids;
    for (const EventRecord& e : TakeEvents()) {
      EXPECT_EQ(std::string(e.EventCode.begin(), e.EventCode.end()), "70");
      EXPECT_EQ(e.StatusFlag, 0);
      EXPECT_EQ(e.EventTime, clock_.Now());
      ids.push_back(e.TransmitterId);
    }
    return ids;
  }
  // A report of the transmitter with nothing to say but "I am here" (Status2 4).
  Codes Report(TransmitterId id) {
    ApplyFrame(
        ReceiverFrame{static_cast<std::uint8_t>(id >> 16), static_cast<std::uint8_t>(id >> 8),
                      static_cast<std::uint8_t>(id), 0, 4},
        table_.FindOrAdd(id), ctx_);
    return TakeCodes();
  }

  NoTestSupervision noTest_{ctx_};
};

TEST_F(NoTestTest, RaisesOnceAtTheFirstTickLaterThanTheSilenceEqualityDoesNotCount) {
  const TablePosition pos = Store(0x0A1B2C, 0, 4, kTen);
  EXPECT_EQ(Tick(At(10, 29, 59, 800)), Ids{});
  EXPECT_EQ(Tick(At(10, 30, 0)), Ids{});
  EXPECT_EQ(Tick(At(10, 30, 0, 1)), Ids{0x0A1B2C});
  EXPECT_EQ(Tick(At(10, 30, 0, 200)), Ids{});
  EXPECT_EQ(Tick(At(23, 0, 0)), Ids{});

  // Flagged in the table and its file; LastHeard as it was.
  const TransmitterRecord r = table_.RecordAt(pos);
  EXPECT_EQ(r.NoTestFlag, 1);
  EXPECT_EQ(r.LastHeard, kTen);
  EXPECT_EQ(test::ReadFileBytes(tmp_ / "num.mmm"), table_.Image());
}

TEST_F(NoTestTest, HeardAgainStartsANewSilence) {
  Store(0x000001, 0, 4, kTen);
  EXPECT_EQ(Tick(At(10, 31, 0)), Ids{1});
  clock_.AdvanceTo(At(11, 0, 0));
  EXPECT_EQ(Report(1), Codes{"71"});
  EXPECT_EQ(Tick(At(11, 30, 0)), Ids{});
  EXPECT_EQ(Tick(At(11, 30, 0, 200)), Ids{1});
}

TEST_F(NoTestTest, OneTickRaisesEverySilentTransmitterInTableOrder) {
  ctx_.FirstNumber = 300;
  clock_.AdvanceTo(At(10, 20, 0));
  Store(0x000030, 0, 4, kTen);
  Store(0x000010, 0, 4, At(10, 20, 0));           // not silent yet
  Store(0x000020, 0, 4, At(9, 0, 0));             // silent longest, raised in its table place
  Store(0x000040, 0, 4, kTen, /*noTestFlag=*/1);  // reported already
  Store(0x000050, 0, 4, At(9, 59, 0));
  clock_.AdvanceTo(At(10, 45, 0));
  noTest_.CheckNoTest();
  const auto events = TakeEvents();
  ASSERT_EQ(events.size(), 3u);
  const TransmitterId order[] = {0x30, 0x20, 0x50};
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(events[i].TransmitterId, order[i]);
    EXPECT_EQ(events[i].FirstNumber, 44);
  }
}

TEST_F(NoTestTest, ZeroOrNegativeSilenceFlagsEveryTransmitterAtTheFirstTickAfterLastHeard) {
  struct {
    std::int32_t minutes;
    std::uint32_t afterMs;
    bool raised;
  } cases[] = {
      {0, 0, false},   {0, 1, true},      {0, 200, true},   {-5, 0, true},
      {-5, 200, true}, {1, 60000, false}, {1, 60001, true},
  };
  TransmitterId id = 100;
  for (const auto& c : cases) {
    ctx_.NoTimeTest = c.minutes;
    clock_.SetNow(kTen);  // the wall clock goes back for each case: it must not matter
    const TablePosition pos = Store(++id, 0, 4, kTen);
    clock_.AdvanceMs(c.afterMs);
    noTest_.CheckNoTest();
    EXPECT_EQ(TakeEvents().size(), c.raised ? 1u : 0u) << c.minutes << " min, +" << c.afterMs;
    // Out of the way of the next case.
    TransmitterRecord r = table_.RecordAt(pos);
    r.NoTestFlag = 1;
    table_.WriteBack(pos, r);
  }
}

// A daylight-saving change 30 s after the start, five transmitters reporting
// every second: no false "70", then no "71".
TEST_F(NoTestTest, AWallClockStepForwardRaisesNothingWhileTransmittersReport) {
  for (TransmitterId id = 1; id <= 5; ++id) Report(id);
  for (int second = 1; second <= 120; ++second) {
    clock_.AdvanceMs(800);
    EXPECT_EQ(TickHere(), Ids{}) << second;
    clock_.AdvanceMs(200);
    if (second == 30) clock_.SetNow(clock_.Now() + kHour);
    if (second == 90) clock_.SetNow(clock_.Now() + 2 * kHour);  // a clock corrected by hand
    for (TransmitterId id = 1; id <= 5; ++id) EXPECT_EQ(Report(id), Codes{}) << second;
  }
}

// The wall clock jumps while nobody reports: silence is what the tick says.
TEST_F(NoTestTest, WallClockJumpsNeitherRaiseFalseSilencesNorDelayRealOnes) {
  Store(1, 0, 4, kTen);                 // silent from 10:00 on the tick
  clock_.AdvanceMs(10 * 60000);         // 10:10
  Store(2, 0, 4, clock_.Now());         // silent from 10:10
  clock_.SetNow(clock_.Now() + kHour);  // 11:10 on the wall, ten minutes on the tick
  EXPECT_EQ(TickHere(), Ids{});
  clock_.AdvanceMs(10 * 60000);
  EXPECT_EQ(TickHere(), Ids{});
  clock_.SetNow(clock_.Now() - 2 * kHour);  // and back, an hour before the start
  clock_.AdvanceMs(10 * 60000 - 200);       // 29:59.800 of silence for transmitter 1
  EXPECT_EQ(TickHere(), Ids{});
  clock_.AdvanceMs(200);
  EXPECT_EQ(TickHere(), Ids{});  // exactly 30 minutes
  clock_.AdvanceMs(1);
  EXPECT_EQ(TickHere(), Ids{1});
  clock_.AdvanceMs(10 * 60000);
  EXPECT_EQ(TickHere(), Ids{2});
  // LastHeard stays the wall-clock time of the last report.
  EXPECT_EQ(table_.RecordAt(0).LastHeard, kTen);
}

// Every report stamps the same LastHeard: it must still count as heard.
TEST_F(NoTestTest, AClockThatGivesNoTimeStillLetsReportsCount) {
  clock_.SetNow(kNaN);
  Report(4);
  for (int minute = 1; minute <= 40; ++minute) {
    clock_.AdvanceMs(60000);
    EXPECT_EQ(noTest_.CheckNoTest(), 0u) << minute;
    Report(4);
  }
  clock_.AdvanceMs(30 * 60000);
  EXPECT_EQ(noTest_.CheckNoTest(), 0u);
  clock_.AdvanceMs(1);
  EXPECT_EQ(noTest_.CheckNoTest(), 1u);
}

TEST_F(NoTestTest, TheTickWrappingAroundIsNoSilence) {
  clock_.SetTick(0xFFFFFFFFu - 5000);
  NoTestSupervision wrapped(ctx_);  // takes the table over from the fixture's
  Store(3, 0, 4, kTen);
  wrapped.CheckNoTest();
  clock_.AdvanceMs(30 * 60000);  // across the wrap
  EXPECT_EQ(wrapped.CheckNoTest(), 0u);
  clock_.AdvanceMs(1);
  EXPECT_EQ(wrapped.CheckNoTest(), 1u);
}

// Start-up: the silence so far is taken from LastHeard, once.
TEST_F(NoTestTest, AtStartUpTheSilenceSoFarIsTakenFromLastHeard) {
  constexpr std::int64_t kNever = std::numeric_limits<std::int64_t>::min();
  struct Case {
    const char* what;
    DateTime lastHeard;
    std::uint8_t flag;
    bool broughtToNow;   // LastHeard written back as the time of the first tick
    std::int64_t dueMs;  // silence left at start-up: raised at the first tick later
  } cases[] = {
      {"ten minutes ago", kTen - 10 / 1440.0, 0, false, 20 * 60000},
      {"exactly NoTimeTest ago", kTen - 30 / 1440.0, 0, false, 0},
      {"two days ago", kTen - 2, 0, false, -2 * 86400000LL + 30 * 60000},
      {"just now", kTen, 0, false, 30 * 60000},
      {"an hour ahead", kTen + kHour, 0, true, 30 * 60000},
      {"a year ahead", kTen + 365, 0, true, 30 * 60000},
      {"not a number", kNaN, 0, true, 30 * 60000},
      {"infinity", kInf, 0, true, 30 * 60000},
      {"minus infinity", -kInf, 0, true, 30 * 60000},
      {"reported already, an hour ahead", kTen + kHour, 1, false, kNever},
      {"reported already, long ago", kTen - 2, 1, false, kNever},
  };
  constexpr std::size_t kCases = std::size(cases);
  Bytes image(kCases * kTransmitterRecordSize);
  for (std::size_t i = 0; i < kCases; ++i) {
    TransmitterRecord r;
    r.IdLow = static_cast<std::uint8_t>(i + 1);
    r.Status2 = 4;
    r.LastHeard = cases[i].lastHeard;
    r.NoTestFlag = cases[i].flag;
    EncodeTransmitterRecord(r, image.data() + i * kTransmitterRecordSize);
  }
  test::WriteFileBytes(tmp_ / "start.mmm", image);
  TransmitterTable table(tmp_ / "start.mmm", fs_, clock_, log_);
  RecordingSink sink;
  EventContext ctx{table, sink, clock_, 1, 30};
  NoTestSupervision supervision(ctx);
  table.LoadTable();

  // Ticks at every due moment and a millisecond after it; each id's "70" is seen
  // at the first tick later than its silence.
  std::vector<std::int64_t> offsets{0};
  for (const Case& c : cases) {
    if (c.dueMs >= 0) offsets.insert(offsets.end(), {c.dueMs, c.dueMs + 1});
  }
  std::sort(offsets.begin(), offsets.end());
  offsets.erase(std::unique(offsets.begin(), offsets.end()), offsets.end());
  std::vector<std::int64_t> raisedAt(kCases, kNever);
  const DateTime start = clock_.Now();
  std::int64_t at = 0;
  for (const std::int64_t offset : offsets) {
    clock_.AdvanceMs(static_cast<std::uint32_t>(offset - at));
    at = offset;
    supervision.CheckNoTest();
    for (const TransmitterId id : sink.Take()) {
      EXPECT_EQ(raisedAt[id - 1], kNever) << cases[id - 1].what << ": raised twice";
      raisedAt[id - 1] = offset;
    }
    if (offset == 0) {
      for (std::size_t i = 0; i < kCases; ++i) {
        const DateTime heard = table.RecordAt(TransmitterTable::PositionOf(i)).LastHeard;
        if (cases[i].broughtToNow) {
          EXPECT_EQ(heard, start) << cases[i].what;
        } else {
          EXPECT_EQ(std::bit_cast<std::uint64_t>(heard),
                    std::bit_cast<std::uint64_t>(cases[i].lastHeard))
              << cases[i].what;
        }
      }
      EXPECT_EQ(test::ReadFileBytes(tmp_ / "start.mmm"), table.Image());
    }
  }
  for (std::size_t i = 0; i < kCases; ++i) {
    const std::int64_t expected =
        cases[i].dueMs == kNever ? kNever : std::max<std::int64_t>(0, cases[i].dueMs + 1);
    EXPECT_EQ(raisedAt[i], expected) << cases[i].what;
  }
}

TEST_F(NoTestTest, OfOneIdTwiceOnlyTheRecordFindOrAddFindsIsSupervised) {
  // A hand-edited num.mmm holding transmitter 5 twice.
  TransmitterRecord r;
  r.IdLow = 5;
  r.Status2 = 4;
  r.LastHeard = kTen;
  Bytes image(3 * kTransmitterRecordSize);
  EncodeTransmitterRecord(r, image.data());
  r.IdLow = 6;
  EncodeTransmitterRecord(r, image.data() + 16);
  r.IdLow = 5;
  EncodeTransmitterRecord(r, image.data() + 32);
  test::WriteFileBytes(tmp_ / "num.mmm", image);
  TransmitterTable table(tmp_ / "num.mmm", fs_, clock_, log_);
  table.LoadTable();
  EventContext ctx{table, dispatch_, clock_, 1, 30};
  NoTestSupervision supervision(ctx);

  clock_.AdvanceTo(At(11, 0, 0));
  supervision.CheckNoTest();
  supervision.CheckNoTest();
  const auto events = TakeEvents();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].TransmitterId, 5u);
  EXPECT_EQ(events[1].TransmitterId, 6u);
  EXPECT_EQ(table.RecordAt(0).NoTestFlag, 1);
  EXPECT_EQ(table.RecordAt(32).NoTestFlag, 0);
}

// A clock whose tick moves on by 40 ms every time it is read: raising is slow.
class SlowTickClock final : public Clock {
 public:
  explicit SlowTickClock(DateTime now) : now_(now) {}
  DateTime Now() const override { return now_; }
  std::uint32_t TickMs() const override { return tick_ += 40; }

 private:
  DateTime now_;
  mutable std::uint32_t tick_ = 0;
};

TEST_F(NoTestTest, ASlowTickLeavesTheRestToTheNextTicksInTableOrder) {
  for (TransmitterId id = 1; id <= 12; ++id) Store(id, 0, 4, kTen);
  SlowTickClock slow(At(12, 0, 0));
  EventContext ctx{table_, dispatch_, slow, 1, 30};
  NoTestSupervision supervision(ctx);
  std::vector<std::size_t> perTick;
  std::size_t total = 0;
  for (int tick = 0; tick < 20 && total < 12; ++tick) {
    perTick.push_back(supervision.CheckNoTest(/*budgetMs=*/100));
    total += perTick.back();
  }
  EXPECT_GT(perTick.size(), 1u);
  EXPECT_LT(perTick.front(), 12u);
  Ids ids;
  for (const EventRecord& e : TakeEvents()) ids.push_back(e.TransmitterId);
  EXPECT_EQ(ids, (Ids{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}));
}

TEST_F(NoTestTest, ATableThatCannotBeSavedStillRaisesOnlyOnce) {
  Store(3, 0, 4, kTen);
  fs_.Fail(test::FaultyFileSystem::Op::WriteAt);
  fs_.Fail(test::FaultyFileSystem::Op::Replace);
  EXPECT_EQ(Tick(At(11, 0, 0)), Ids{3});
  EXPECT_EQ(Tick(At(11, 0, 0, 200)), Ids{});
}

TEST_F(NoTestTest, ATableLoadedAgainIsSupervisedAfresh) {
  Store(1, 0, 4, kTen);
  Store(2, 0, 4, kTen, 1);
  table_.LoadTable();  // the same records, read from the file
  EXPECT_EQ(Tick(At(10, 30, 0)), Ids{});
  EXPECT_EQ(Tick(At(10, 30, 0, 1)), Ids{1});
}

// The order in which transmitters fall due, against a scan of every record on
// every tick, over a random run of reports, new transmitters, records rewritten,
// wall-clock jumps and ticks (the tick wrapping around on the way).
TEST(NoTestDueOrder, NeverMissesADueTransmitterOverARandomRun) {
  test::TempDir tmp;
  test::FaultyFileSystem fs;
  test::FakeClock clock(kTen, 0xFFFFFFFFu - 3 * 60000);
  test::RecordingOperatorLog log;
  TransmitterTable table(tmp / "num.mmm", fs, clock, log);
  table.LoadTable();
  RecordingSink sink;
  EventContext ctx{table, sink, clock, 1, /*NoTimeTest=*/2};
  NoTestSupervision supervision(ctx);

  // The model: per record, the tick (the test's own 64-bit count) its silence began.
  struct Model {
    std::int64_t heard = 0;
    bool flagged = false;
  };
  std::vector<Model> model;
  std::int64_t t = 0;
  const auto ms = [](DateTime d) -> std::int64_t { return std::llround(d * kMsPerDay); };
  const auto heardFromWall = [&](DateTime lastHeard) -> std::int64_t {
    if (!std::isfinite(lastHeard) || ms(lastHeard) > ms(clock.Now())) return t;
    return t - (ms(clock.Now()) - ms(lastHeard));
  };

  std::mt19937 rng(11);
  const auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
  supervision.CheckNoTest();
  for (int step = 0; step < 6000; ++step) {
    const int what = pick(100);
    if (what < 30 || model.empty()) {  // a report, of a known or a new transmitter
      const auto id = static_cast<TransmitterId>(pick(static_cast<int>(model.size()) + 2) + 1);
      const FoundTransmitter f = table.FindOrAdd(id);
      ApplyFrame(
          ReceiverFrame{0, static_cast<std::uint8_t>(id >> 8), static_cast<std::uint8_t>(id), 0, 4},
          f, ctx);
      if (f.added) model.push_back({});
      model[f.position / kTransmitterRecordSize] = {t, false};
    } else if (what < 40) {  // a record rewritten by someone else
      const std::size_t i = static_cast<std::size_t>(pick(static_cast<int>(model.size())));
      const TablePosition pos = TransmitterTable::PositionOf(i);
      TransmitterRecord r = table.RecordAt(pos);
      const int how = pick(6);
      if (how == 0) {
        r.Status1 ^= 1;  // LastHeard and flag as they were
      } else if (how == 1) {
        r.NoTestFlag = r.NoTestFlag != 0 ? 0 : 1;
      } else {
        const DateTime values[] = {clock.Now() - pick(200000) / kMsPerDay,
                                   clock.Now() + pick(200000) / kMsPerDay, kNaN, clock.Now()};
        r.LastHeard = values[pick(4)];
        r.NoTestFlag = pick(4) == 0 ? 1 : 0;
      }
      const TransmitterRecord before = table.RecordAt(pos);
      const bool sameTime = std::bit_cast<std::uint64_t>(before.LastHeard) ==
                            std::bit_cast<std::uint64_t>(r.LastHeard);
      table.WriteBack(pos, r);
      Model& m = model[i];
      if (r.NoTestFlag != 0) {
        m.flagged = true;
      } else if (m.flagged || !sameTime || !std::isfinite(r.LastHeard)) {
        m = {heardFromWall(r.LastHeard), false};
      }
    } else if (what < 45) {  // the wall clock is set, up to three hours either way
      clock.SetNow(clock.Now() + (pick(6 * 3600) - 3 * 3600) / 86400.0);
    } else {  // time passes, then a tick
      const auto passing = static_cast<std::uint32_t>(pick(40000));
      clock.AdvanceMs(passing);
      t += passing;
      supervision.CheckNoTest();
      Ids expected;
      for (std::size_t i = 0; i < model.size(); ++i) {
        if (!model[i].flagged && model[i].heard + 2 * 60000 < t) {
          expected.push_back(table.RecordAt(TransmitterTable::PositionOf(i)).Id());
          model[i].flagged = true;
        }
      }
      ASSERT_EQ(sink.Take(), expected) << "step " << step;
    }
  }
  EXPECT_GT(model.size(), 20u);
}

}  // namespace
}  // namespace kestrel
