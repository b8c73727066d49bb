// The retry delay of a file the server turns away: 3 s, doubling with each refusal
// up to 5 min; a file released for other reasons waits 3 s and keeps its count.

#include <gtest/gtest.h>

#include "delivery/spool_index.h"

namespace kestrel::test {
namespace {

class SpoolIndexRetryTest : public ::testing::Test {
 protected:
  SpoolIndexRetryTest() { index.Add(file); }

  // Takes the file at `now`, refuses it there; returns the delay it then waits.
  std::uint32_t RefuseAndMeasure(std::uint32_t now) {
    EXPECT_EQ(index.TakeNext(now), file);
    index.Refuse(file, now);
    const std::optional<std::uint32_t> due = index.NextDueInMs(now);
    EXPECT_TRUE(due);
    const std::uint32_t delay = due.value_or(0) - 1;
    // Not at the delay itself, only after it.
    EXPECT_FALSE(index.TakeNext(now + delay));
    EXPECT_EQ(index.Backlog(), 1u) << "a deferred file is still in the backlog";
    return delay;
  }

  std::filesystem::path file{"/spool/a.dd8"};
  SpoolIndex index{SpoolLocation{"/spool", ""}};
};

TEST_F(SpoolIndexRetryTest, DelayDoublesUpToFiveMinutes) {
  const std::uint32_t expected[] = {3000,  6000,   12000,  24000,  48000,
                                    96000, 192000, 300000, 300000, 300000};
  std::uint32_t now = 0xFFFF0000u;  // across the tick's wrap-around
  for (std::uint32_t want : expected) {
    EXPECT_EQ(RefuseAndMeasure(now), want);
    now += want + 1;
  }
}

TEST_F(SpoolIndexRetryTest, OnlyTheFirstRefusalIsToBeTold) {
  ASSERT_TRUE(index.TakeNext(0));
  EXPECT_TRUE(index.Refuse(file, 0));
  ASSERT_TRUE(index.TakeNext(3001));
  EXPECT_FALSE(index.Refuse(file, 3001));
  index.Add(file);  // a new file under the same name starts afresh
  ASSERT_TRUE(index.TakeNext(3002));
  EXPECT_TRUE(index.Refuse(file, 3002));
}

TEST_F(SpoolIndexRetryTest, AnUnansweredFileWaitsThreeSecondsWhateverItsRefusals) {
  RefuseAndMeasure(0);
  RefuseAndMeasure(3001);
  ASSERT_EQ(index.TakeNext(9002), file);
  index.Release(file, 9002u);  // no answer this time
  EXPECT_FALSE(index.TakeNext(12002));
  EXPECT_EQ(index.TakeNext(12003), file);
  index.Refuse(file, 12003);  // the third refusal
  EXPECT_FALSE(index.TakeNext(12003 + 12000));
  EXPECT_EQ(index.TakeNext(12003 + 12001), file);
}

TEST_F(SpoolIndexRetryTest, AnEarlierDeferralDoesNotFreeALaterOne) {
  ASSERT_TRUE(index.TakeNext(0));
  index.Release(file, 0u);         // 3 s
  ASSERT_TRUE(index.Claim(file));  // offered live meanwhile
  index.Refuse(file, 100);         // the first refusal: 3 s from 100
  index.Refuse(file, 100);         // not in flight: ignored
  EXPECT_FALSE(index.TakeNext(3001)) << "the stale 3 s deferral from 0 frees nothing";
  EXPECT_EQ(index.TakeNext(3101), file);
}

}  // namespace
}  // namespace kestrel::test
