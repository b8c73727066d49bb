#include "platform/report_once.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/recording_operator_log.h"

namespace kestrel {
namespace {

// One call on the helper: a failure of `subject` told as `line`, or the end of
// the subject's failure with the recovery line `line`.
struct Call {
  enum Kind { Fail, Over } kind;
  std::string subject;
  std::string line;
};

struct OnceCase {
  friend void PrintTo(const OnceCase& c, std::ostream* os) { *os << c.name; }
  const char* name;
  std::size_t bound;
  std::vector<Call> calls;
  std::vector<std::string> told;
  std::uint64_t untold = 0;
};

const std::string kLong(ReportOnce::kMaxSubject, 'x');

class ReportOnceTest : public ::testing::TestWithParam<OnceCase> {};

TEST_P(ReportOnceTest, TellsWhatTheOperatorNeedsOnce) {
  const OnceCase& c = GetParam();
  test::RecordingOperatorLog log;
  ReportOnce once(log, c.bound);
  for (const Call& call : c.calls) {
    if (call.kind == Call::Fail) {
      once.Failed(call.subject, {call.line});
    } else {
      once.Over(call.subject, call.line);
    }
  }
  EXPECT_EQ(log.Lines(), c.told);
  EXPECT_EQ(once.Untold(), c.untold);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReportOnceTest,
    ::testing::Values(
        OnceCase{"FirstToldRepeatsSilent",
                 8,
                 {{Call::Fail, "disk", "full"}, {Call::Fail, "disk", "still full"}},
                 {"full"}},
        OnceCase{"RecoveryToldWithTheCount",
                 8,
                 {{Call::Fail, "disk", "full"},
                  {Call::Fail, "disk", "full"},
                  {Call::Fail, "disk", "full"},
                  {Call::Over, "disk", "back after {n} failures"},
                  {Call::Over, "disk", "back after {n} failures"}},
                 {"full", "back after 3 failures"}},
        OnceCase{
            "OverWithoutALineIsSilentAndTheNextFailureIsToldAgain",
            8,
            {{Call::Fail, "disk", "full"}, {Call::Over, "disk", ""}, {Call::Fail, "disk", "full"}},
            {"full", "full"}},
        OnceCase{"NothingToRecoverFrom", 8, {{Call::Over, "disk", "back"}}, {}},
        OnceCase{"EachDistinctTextOnceWhenTheTextIsTheSubject",
                 8,
                 {{Call::Fail, "", "a"}, {Call::Fail, "", "b"}, {Call::Fail, "", "a"}},
                 {"a", "b"}},
        OnceCase{"SubjectsAreIndependent",
                 8,
                 {{Call::Fail, "disk", "full"},
                  {Call::Fail, "port", "gone"},
                  {Call::Over, "disk", "disk back"},
                  {Call::Fail, "port", "gone"},
                  {Call::Fail, "disk", "full"}},
                 {"full", "gone", "disk back", "full"}},
        OnceCase{"BoundReachedNewSubjectsAreCountedNotTold",
                 2,
                 {{Call::Fail, "1", "one"},
                  {Call::Fail, "2", "two"},
                  {Call::Fail, "3", "three"},
                  {Call::Fail, "1", "one"},
                  {Call::Over, "1", ""},
                  {Call::Fail, "3", "three"}},
                 {"one", "two", "three"},
                 1},
        OnceCase{"LongSubjectsAreKnownByTheirBeginning",
                 8,
                 {{Call::Fail, "", kLong + "1"}, {Call::Fail, "", kLong + "2"}},
                 {kLong + "1"}}));

TEST(ReportOnce, PiecesAreJoinedIntoOneLine) {
  test::RecordingOperatorLog log;
  ReportOnce once(log);
  EXPECT_TRUE(once.Failed("step", {"Ошибка таймера (", "шаг", "): ", "сбой"}));
  EXPECT_FALSE(once.Failed("step", {"другой текст"}));
  EXPECT_TRUE(once.Failing("step"));
  EXPECT_EQ(log.Lines(), std::vector<std::string>{"Ошибка таймера (шаг): сбой"});
  once.AllOver();
  EXPECT_FALSE(once.AnyFailing());
}

// Many threads failing alike: the operator hears it once, and every failure counts.
TEST(ReportOnce, ThreadsFailingAtOnceTellItOnce) {
  test::RecordingOperatorLog log;
  ReportOnce once(log);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 500; ++i) once.Failed("disk", {"full"});
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(log.Lines(), std::vector<std::string>{"full"});
  EXPECT_EQ(once.Over("disk"), 2000u);
}

TEST(CurrentExceptionText, NamesWhatIsBeingHandled) {
  try {
    throw std::runtime_error("gone");
  } catch (...) {
    EXPECT_STREQ(CurrentExceptionText(), "gone");
  }
  try {
    throw 42;
  } catch (...) {
    EXPECT_STREQ(CurrentExceptionText(), "неизвестная ошибка");
    EXPECT_EQ(CurrentExceptionText(nullptr), nullptr);
  }
}

}  // namespace
}  // namespace kestrel
