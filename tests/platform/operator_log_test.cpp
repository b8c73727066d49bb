#include "platform/operator_log.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace kestrel {
namespace {

TEST(JournalStream, ParsesDeviceAndInode) {
  struct Case {
    const char* text;
    std::optional<StreamId> id;
  };
  const Case cases[] = {
      {"8:12345", StreamId{8, 12345}},
      {"0:1", StreamId{0, 1}},
      {"18446744073709551615:7", StreamId{18446744073709551615ull, 7}},
      {"", std::nullopt},
      {":5", std::nullopt},
      {"5:", std::nullopt},
      {"5", std::nullopt},
      {"a:5", std::nullopt},
      {"5:5x", std::nullopt},
      {"-1:5", std::nullopt},
      {"5:6:7", std::nullopt},
      {"18446744073709551616:1", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(ParseJournalStream(c.text), c.id) << c.text;
}

TEST(LogLineFormat, PriorityPrefixOnlyUnderTheJournal) {
  EXPECT_EQ(FormatLogLine(LogPriority::Error, "Порт COM1 закрыт.", true), "<3>Порт COM1 закрыт.");
  EXPECT_EQ(FormatLogLine(LogPriority::Notice, "Соединение установлено.", true),
            "<5>Соединение установлено.");
  EXPECT_EQ(FormatLogLine(LogPriority::Info, "x", true), "<6>x");
  EXPECT_EQ(FormatLogLine(LogPriority::Error, "Порт COM1 закрыт.", false), "Порт COM1 закрыт.");
  EXPECT_EQ(FormatLogLine(LogPriority::Notice, "", false), "");
}

// Outside the journal (as in tests) each line goes out whole, as FormatLogLine
// makes it, one to a line; pieces are joined with nothing between them.
TEST(StderrOperatorLog, WritesEachLineWholeOnItsOwnLine) {
  if (StderrIsJournal()) GTEST_SKIP() << "standard error is the journal";
  StderrOperatorLog log;
  ::testing::internal::CaptureStderr();
  log.Report("Ошибка: диск заполнен");
  log.Notice("связь есть");
  log.Warning("");
  ReportJoined(log, {"Таблица (", "num.mmm", ") снова сохраняется."});
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "Ошибка: диск заполнен\nсвязь есть\n\nТаблица (num.mmm) снова сохраняется.\n");
}

}  // namespace
}  // namespace kestrel
