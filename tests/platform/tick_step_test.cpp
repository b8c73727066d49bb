#include "platform/tick_step.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "tests/support/recording_operator_log.h"

namespace kestrel {
namespace {

// Steps run one after another as an owner's tick runs them: one that fails leaves
// the next ones running.
TEST(TickStep, FailuresAreCaughtToldOnceAndTheFollowingStepsStillRun) {
  test::RecordingOperatorLog log;
  TickStep noTest("контроль молчания передатчиков", log);
  TickStep drain("отправка файлов событий", log);
  TickStep retry("запись отложенных событий", log);
  TickStep status("обновление состояния", log);
  std::string ran;
  bool drainFails = true;
  const auto tick = [&] {
    noTest.Run([&] { ran += "n"; });
    drain.Run([&] {
      ran += "d";
      if (drainFails) throw std::runtime_error("disk gone");
    });
    retry.Run([&] {
      ran += "r";
      throw 42;  // not even an exception class
    });
    status.Run([&] { ran += "s"; });
  };

  tick();
  EXPECT_EQ(ran, "ndrs");
  ASSERT_EQ(log.Lines().size(), 2u);
  EXPECT_EQ(log.Lines()[0], "Ошибка таймера (отправка файлов событий): disk gone");
  EXPECT_EQ(log.Lines()[1], "Ошибка таймера (запись отложенных событий): неизвестная ошибка");
  EXPECT_TRUE(drain.Failing());
  EXPECT_FALSE(status.Failing());

  // The same failures are not told again at every tick...
  tick();
  EXPECT_EQ(ran, "ndrsndrs");
  EXPECT_EQ(log.Lines().size(), 2u);
  // ...but again after the step has worked in between.
  drainFails = false;
  tick();
  EXPECT_FALSE(drain.Failing());
  drainFails = true;
  tick();
  EXPECT_EQ(log.Lines().size(), 3u);
}

}  // namespace
}  // namespace kestrel
