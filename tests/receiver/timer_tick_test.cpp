#include "receiver/timer_tick.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "tests/support/recording_operator_log.h"

namespace kestrel {
namespace {

TEST(TimerTick, RunsTheStepsInOrderEvenWhenOneFails) {
  test::RecordingOperatorLog log;
  TimerTick tick(log);
  std::string ran;
  bool drainFails = true;
  tick.NoTest = [&] { ran += "n"; };
  tick.Drain = [&] {
    ran += "d";
    if (drainFails) throw std::runtime_error("disk gone");
  };
  tick.Retry = [&] {
    ran += "r";
    throw 42;  // not even an exception class
  };
  tick.Status = [&] { ran += "s"; };

  tick.Timer1Timer();
  EXPECT_EQ(ran, "ndrs");
  ASSERT_EQ(log.Lines().size(), 2u);
  EXPECT_NE(log.Lines()[0].find("disk gone"), std::string::npos);

  // The same failures are not told again at every tick...
  tick.Timer1Timer();
  EXPECT_EQ(ran, "ndrsndrs");
  EXPECT_EQ(log.Lines().size(), 2u);
  // ...but again after the step has worked in between.
  drainFails = false;
  tick.Timer1Timer();
  drainFails = true;
  tick.Timer1Timer();
  EXPECT_EQ(log.Lines().size(), 3u);
}

TEST(TimerTick, EmptyStepsAreSkipped) {
  test::RecordingOperatorLog log;
  TimerTick tick(log);
  int status = 0;
  tick.Status = [&] { ++status; };
  tick.Timer1Timer();
  EXPECT_EQ(status, 1);
  EXPECT_TRUE(log.Lines().empty());
}

TEST(TimerTick, AFailingOperatorLogDoesNotEscapeTheTick) {
  class ThrowingLog final : public OperatorLog {
   public:
    void Report(const std::string&) override { throw std::runtime_error("log"); }
  } log;
  TimerTick tick(log);
  tick.NoTest = [] { throw std::runtime_error("x"); };
  EXPECT_NO_THROW(tick.Timer1Timer());
}

}  // namespace
}  // namespace kestrel
