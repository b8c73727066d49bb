#include "receiver/no_test_supervision.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "receiver/event_rules.h"
#include "tests/receiver/event_test_fixture.h"

namespace kestrel {
namespace {

using Codes = std::vector<std::string>;

const DateTime kTen = EncodeDateTime({2026, 12, 8, 10, 0, 0, 0});

DateTime At(int hour, int minute, int second, int ms = 0) {
  return EncodeDateTime({2026, 12, 8, hour, minute, second, ms});
}

class NoTestTest : public test::EventTest {
 protected:
  std::vector<TransmitterId> Tick(DateTime now) {
    clock_.SetNow(now);
    CheckNoTest(ctx_);
    std::vector<TransmitterId> ids;
    for (const EventRecord& e : TakeEvents()) {
      EXPECT_EQ(std::string(e.EventCode.begin(), e.EventCode.end()), "70");
      EXPECT_EQ(e.StatusFlag, 0);
      EXPECT_EQ(e.EventTime, now);
      ids.push_back(e.TransmitterId);
    }
    return ids;
  }
  using Ids = std::vector<TransmitterId>;
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
  clock_.SetNow(At(11, 0, 0));
  ApplyFrame(ReceiverFrame{0, 0, 1, 0, 4}, table_.FindOrAdd(1), ctx_);
  EXPECT_EQ(TakeCodes(), Codes{"71"});
  EXPECT_EQ(Tick(At(11, 30, 0)), Ids{});
  EXPECT_EQ(Tick(At(11, 30, 0, 200)), Ids{1});
}

TEST_F(NoTestTest, OneTickRaisesEverySilentTransmitterInTableOrder) {
  ctx_.FirstNumber = 300;
  Store(0x000030, 0, 4, kTen);
  Store(0x000010, 0, 4, At(10, 20, 0));  // not silent yet
  Store(0x000020, 0, 4, At(9, 0, 0));
  Store(0x000040, 0, 4, kTen, /*noTestFlag=*/1);  // reported already
  Store(0x000050, 0, 4, At(9, 59, 0));
  clock_.SetNow(At(10, 45, 0));
  CheckNoTest(ctx_);
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
    int afterMs;
    bool raised;
  } cases[] = {
      {0, 0, false},   {0, 1, true},      {0, 200, true},   {-5, 0, true},
      {-5, 200, true}, {1, 60000, false}, {1, 60001, true},
  };
  TransmitterId id = 100;
  for (const auto& c : cases) {
    ctx_.NoTimeTest = c.minutes;
    const TablePosition pos = Store(++id, 0, 4, kTen);
    clock_.SetNow(kTen + c.afterMs / kMsPerDay);
    CheckNoTest(ctx_);
    EXPECT_EQ(TakeEvents().size(), c.raised ? 1u : 0u) << c.minutes << " min, +" << c.afterMs;
    // Out of the way of the next case.
    TransmitterRecord r = table_.RecordAt(pos);
    r.NoTestFlag = 1;
    table_.WriteBack(pos, r);
  }
}

TEST_F(NoTestTest, ClockSetForwardMakesEveryUnflaggedTransmitterSilent) {
  for (TransmitterId id = 1; id <= 4; ++id) Store(id, 0, 4, At(10, 0, id));
  Store(5, 0, 4, kTen, 1);
  EXPECT_EQ(Tick(At(10, 5, 0)), Ids{});
  EXPECT_EQ(Tick(At(12, 0, 0)), (Ids{1, 2, 3, 4}));
}

TEST_F(NoTestTest, ClockSetBackBringsLastHeardBackToNow) {
  const TablePosition pos = Store(7, 0, 4, kTen);
  // The clock goes back an hour: the silence counts from now, not from 10:00.
  EXPECT_EQ(Tick(At(9, 0, 0)), Ids{});
  EXPECT_EQ(table_.RecordAt(pos).LastHeard, At(9, 0, 0));
  EXPECT_EQ(test::ReadFileBytes(tmp_ / "num.mmm"), table_.Image());
  EXPECT_EQ(Tick(At(9, 30, 0)), Ids{});
  EXPECT_EQ(Tick(At(9, 30, 0, 200)), Ids{7});
}

TEST_F(NoTestTest, ATimeThatIsNoTimeStartsTheSilenceNow) {
  const TablePosition nan = Store(8, 0, 4, std::numeric_limits<double>::quiet_NaN());
  const TablePosition inf = Store(9, 0, 4, std::numeric_limits<double>::infinity());
  const TablePosition past = Store(10, 0, 4, -std::numeric_limits<double>::infinity());
  EXPECT_EQ(Tick(At(9, 0, 0)), Ids{});
  for (const TablePosition pos : {nan, inf, past}) {
    EXPECT_EQ(table_.RecordAt(pos).LastHeard, At(9, 0, 0));
  }
  EXPECT_EQ(Tick(At(9, 30, 0)), Ids{});
  EXPECT_EQ(Tick(At(9, 31, 0)), (Ids{8, 9, 10}));
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

  clock_.SetNow(At(11, 0, 0));
  CheckNoTest(ctx);
  CheckNoTest(ctx);
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
  std::vector<std::size_t> perTick;
  std::size_t total = 0;
  for (int tick = 0; tick < 20 && total < 12; ++tick) {
    perTick.push_back(CheckNoTest(ctx, /*budgetMs=*/100));
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

}  // namespace
}  // namespace kestrel
